// A fresh host folder mapped as a drive letter for the life of a test.
// Tests never touch the real C: mapping or the user's home.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/paths.h"

class TempDrive {
 public:
  explicit TempDrive(char letter = 'T') : letter_(letter) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "veltest-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    if (!made) std::abort();
    root_ = made;
    platform::DriveMapping m;
    m.hostRoot = root_;
    platform::MapDrive(letter_, m);
  }
  ~TempDrive() {
    platform::UnmapDrive(letter_);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempDrive(const TempDrive&) = delete;
  TempDrive& operator=(const TempDrive&) = delete;

  char Letter() const { return letter_; }
  // "T:\" + name, with '/' in `name` turned into '\'.
  std::string Dos(const std::string& name = "") const {
    std::string s = std::string(1, letter_) + ":\\" + name;
    for (char& c : s)
      if (c == '/') c = '\\';
    return s;
  }
  // The host path of the same name.
  std::string Host(const std::string& name = "") const { return name.empty() ? root_ : root_ + "/" + name; }
  const std::string& Root() const { return root_; }

 private:
  char letter_;
  std::string root_;
};
