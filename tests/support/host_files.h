// Reading and writing whole host files in tests, beside the engine under test
// (so a test never checks the engine with the engine).
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// A host path (UTF-8) as a path object; a plain std::string would be read in
// the ANSI page on Windows.
inline std::filesystem::path HostFsPath(const std::string& hostPath) {
  return std::filesystem::path(std::u8string(hostPath.begin(), hostPath.end()));
}

// The file's bytes; empty when it cannot be opened.
inline std::string ReadHostFile(const std::string& hostPath) {
  std::ifstream f(HostFsPath(hostPath), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Creates or replaces the file with `bytes`, making its folders as needed;
// false when it cannot be written.
inline bool WriteHostFile(const std::string& hostPath, const std::string& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(HostFsPath(hostPath).parent_path(), ec);
  std::ofstream f(HostFsPath(hostPath), std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}
