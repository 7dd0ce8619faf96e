// Raw DBF images for table tests: a header and descriptors written byte by
// byte, so the tests do not depend on the engine's own builders.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "tables/hx6_disk.h"

namespace tabletest {

// True when the tests run under CI (CI=true): there a missing peer program,
// fixture or locale is a failure, elsewhere the test is skipped.
inline bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Skips the test, naming what is missing, unless it runs under CI, where it fails.
#define VEL_REQUIRE(condition, what)                            \
  do {                                                          \
    if (!(condition)) {                                         \
      if (::tabletest::UnderCi()) {                             \
        FAIL() << "missing (required under CI=true): " << what; \
      } else {                                                  \
        GTEST_SKIP() << "skipped, missing: " << what;           \
      }                                                         \
    }                                                           \
  } while (0)

// The message of the exception `fn` raises, or "(no error)".
inline std::string MessageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// A short lock wait for the duration of a test.
struct ShortLockWait {
  HxLockWaitPolicy saved = LockWaitPolicy();
  ShortLockWait() { LockWaitPolicy() = {3, 1}; }
  ~ShortLockWait() { LockWaitPolicy() = saved; }
};

struct FieldDef {
  std::string name;
  char type;
  int width;  // C: up to 65535 (both width bytes)
  int decimals = 0;
};

struct DbfImage {
  uint8_t version = 0x03;
  std::vector<FieldDef> fields;
  std::vector<std::string> records;   // each record length bytes, flag byte included
  uint32_t headerCount = 0xFFFFFFFF;  // count written to the header; default: records.size()
  int extraArea = 0;                  // bytes after the terminator (263 for 0x30)
  bool endOfFile = true;              // 0x1A after the last record
  uint8_t flags = 0;
  uint8_t encrypted = 0;
  int headerLengthOverride = -1;
  int recordLengthOverride = -1;
};

inline int RecordLengthOf(const std::vector<FieldDef>& fields) {
  int n = 1;
  for (const auto& f : fields) n += f.width;
  return n;
}

inline std::string Bytes(const DbfImage& img) {
  const int rl = img.recordLengthOverride >= 0 ? img.recordLengthOverride : RecordLengthOf(img.fields);
  const int hl = img.headerLengthOverride >= 0
                     ? img.headerLengthOverride
                     : 32 + 32 * static_cast<int>(img.fields.size()) + 1 + img.extraArea;
  std::string out(32, '\0');
  out[0] = static_cast<char>(img.version);
  out[1] = 26;
  out[2] = 1;
  out[3] = 2;
  uint32_t count =
      img.headerCount == 0xFFFFFFFF ? static_cast<uint32_t>(img.records.size()) : img.headerCount;
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>(count >> (8 * i));
  out[8] = static_cast<char>(hl & 0xFF);
  out[9] = static_cast<char>(hl >> 8);
  out[10] = static_cast<char>(rl & 0xFF);
  out[11] = static_cast<char>(rl >> 8);
  out[15] = static_cast<char>(img.encrypted);
  out[28] = static_cast<char>(img.flags);
  for (const auto& f : img.fields) {
    std::string d(32, '\0');
    for (size_t i = 0; i < f.name.size() && i < 11; ++i) d[i] = f.name[i];
    d[11] = f.type;
    d[16] = static_cast<char>(f.width & 0xFF);
    d[17] = static_cast<char>(f.type == 'C' ? (f.width >> 8) : f.decimals);
    out += d;
  }
  out += '\x0D';
  out += std::string(static_cast<size_t>(img.extraArea), '\0');
  if (static_cast<int>(out.size()) < hl) out.resize(static_cast<size_t>(hl), '\0');
  out.resize(static_cast<size_t>(hl));
  for (const auto& r : img.records) {
    std::string rec = r;
    rec.resize(static_cast<size_t>(rl), ' ');
    out += rec;
  }
  if (img.endOfFile) out += '\x1A';
  return out;
}

// A small table: NAME C 10, AMOUNT N 8.2, FLAG L 1; record length 20.
inline DbfImage SampleTable(int records) {
  DbfImage img;
  img.fields = {{"NAME", 'C', 10}, {"AMOUNT", 'N', 8, 2}, {"FLAG", 'L', 1}};
  for (int i = 1; i <= records; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " REC%-7d%8.2fT", i, i * 1.5);
    img.records.push_back(buf);
  }
  return img;
}

}  // namespace tabletest
