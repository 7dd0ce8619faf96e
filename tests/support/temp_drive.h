// A fresh host folder mapped as a drive letter for the life of a test.
// Tests never touch the real C: mapping or the user's home.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/paths.h"

class TempDrive {
 public:
  explicit TempDrive(char letter = 'T') : letter_(letter) {
    // A fresh folder of our own: create_directory fails on a name taken.
    std::random_device random;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; root_.empty(); ++attempt) {
      if (attempt == 1000) std::abort();
      std::filesystem::path p = base / ("veltest-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) root_ = p.string();
    }
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
