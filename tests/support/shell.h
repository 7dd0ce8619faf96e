// Building shell command lines in tests that run programs through the shell.
#pragma once

#include <string>

// `s` as one shell word: in single quotes, any single quote inside closed,
// escaped and reopened.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
