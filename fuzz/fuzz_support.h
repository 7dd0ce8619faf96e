// Shared by the fuzz targets: a scratch folder mapped as drive Q: for the
// life of the process, files written there byte for byte, and an input cut
// into parts at a separator line.
//
// A target writes the input's parts as files on Q:, opens them through the
// engine and reads everything it can. Only the engine's own exceptions (the
// framework's Exception and its descendants) count as a proper answer to a
// bad file; anything else (std::bad_alloc, std::length_error, a crash, a
// sanitizer report, a hang) is a finding.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.h"

namespace fuzzsupport {

// The host folder behind Q:, made on first use and removed at exit. Never
// freed: the exit handler that removes the folder still needs its name.
inline const std::string& Root() {
  static const std::string& root = *new std::string([] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velfuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    platform::DriveMapping m;
    m.hostRoot = tmpl;
    platform::MapDrive('Q', m);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(Root(), ec);
    });
    return tmpl;
  }());
  return root;
}

inline std::string Host(const std::string& name) { return Root() + "/" + name; }
inline std::string Dos(const std::string& name) { return "Q:\\" + name; }

inline void WriteFile(const std::string& name, std::string_view bytes) {
  FILE* f = std::fopen(Host(name).c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

inline void RemoveFile(const std::string& name) { std::remove(Host(name).c_str()); }

// The separator between the files of one input. Seeds are made with it and
// the dictionaries carry it, so the fuzzer keeps the parts apart.
inline constexpr std::string_view kSeparator = "\n--VELFUZZ--\n";

// The input cut at each separator into at most `parts` pieces (the last one
// keeps any later separators); missing pieces are empty.
inline std::vector<std::string_view> Split(const uint8_t* data, size_t size, size_t parts) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> out;
  while (out.size() + 1 < parts) {
    size_t at = all.find(kSeparator);
    if (at == std::string_view::npos) break;
    out.push_back(all.substr(0, at));
    all.remove_prefix(at + kSeparator.size());
  }
  out.push_back(all);
  out.resize(parts);
  return out;
}

}  // namespace fuzzsupport
