// Shared by the archiver tests: an independent zip reader that checks every
// entry (local header against central record, data inflated, CRC compared),
// recording helpers for events and a scripted message-box handler.
#pragma once

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/application.h"

namespace ziptest {

inline std::vector<uint8_t> ReadBytes(const std::string& hostPath) {
  std::ifstream f(hostPath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void WriteBytes(const std::string& hostPath, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(hostPath).parent_path());
  std::ofstream f(hostPath, std::ios::binary | std::ios::trunc);
  f << data;
}

// Deletes a file, as another program would, while the run's workers may be
// reading it: Windows refuses to delete a file that is open, so the attempt
// is repeated for a moment. True when the file is gone.
inline bool RemoveFile(const std::string& hostPath) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    std::error_code ec;
    std::filesystem::remove(hostPath, ec);
    if (!std::filesystem::exists(hostPath, ec)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

inline uint16_t U16(const std::vector<uint8_t>& b, size_t o) {
  return static_cast<uint16_t>(b[o] | (b[o + 1] << 8));
}
inline uint32_t U32(const std::vector<uint8_t>& b, size_t o) {
  return static_cast<uint32_t>(b[o] | (b[o + 1] << 8) | (b[o + 2] << 16)) |
         (static_cast<uint32_t>(b[o + 3]) << 24);
}

struct Entry {
  std::string name;
  uint16_t flags = 0, method = 0, madeBy = 0, internalAttr = 0;
  uint32_t crc = 0, packed = 0, size = 0, externalAttr = 0, localOffset = 0, dosDateTime = 0;
  uint16_t disk = 0;
  std::string data;  // inflated (empty when encrypted and no password given)
  bool crcOk = false;
};

struct Archive {
  bool ok = false;
  std::string error;
  std::vector<Entry> entries;
  std::string comment;
  uint64_t firstLocal = 0;
  uint16_t endEntries = 0;
  const Entry* Find(const std::string& name) const {
    for (const auto& e : entries)
      if (e.name == name) return &e;
    return nullptr;
  }
  // The entry of that name; a missing one fails the test (an exception
  // GoogleTest reports) instead of crashing it.
  const Entry& At(const std::string& name) const {
    if (const Entry* e = Find(name)) return *e;
    throw std::out_of_range("no entry " + name + (ok ? "" : " (" + error + ")"));
  }
};

inline bool Inflate(const uint8_t* p, size_t n, size_t expected, std::string& out) {
  out.assign(expected, '\0');
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return false;
  zs.next_in = const_cast<uint8_t*>(p);
  zs.avail_in = static_cast<uInt>(n);
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&zs, Z_FINISH);
  bool good = rc == Z_STREAM_END && zs.total_out == expected;
  inflateEnd(&zs);
  return good;
}

struct Crypt {
  uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
  explicit Crypt(const std::string& pw) {
    for (char c : pw) Update(static_cast<uint8_t>(c));
  }
  void Update(uint8_t c) {
    const z_crc_t* t = get_crc_table();
    k0 = t[(k0 ^ c) & 0xFF] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = t[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
  }
  uint8_t Decrypt(uint8_t c) {
    uint32_t t = (k2 | 2) & 0xFFFF;
    uint8_t plain = c ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8);
    Update(plain);
    return plain;
  }
};

// Reads a whole single-file archive the way an unzip would.
inline Archive Parse(const std::vector<uint8_t>& b, const std::string& password = "") {
  Archive a;
  if (b.size() < 22) return a.error = "too short", a;
  size_t end = std::string::npos;
  for (size_t i = b.size() - 22 + 1; i-- > 0;) {
    if (U32(b, i) == 0x06054B50) {
      end = i;
      break;
    }
  }
  if (end == std::string::npos) return a.error = "no end record", a;
  a.endEntries = U16(b, end + 10);
  uint32_t dirSize = U32(b, end + 12), dirOff = U32(b, end + 16);
  uint16_t clen = U16(b, end + 20);
  if (end + 22 + clen != b.size()) return a.error = "comment length", a;
  a.comment.assign(b.begin() + static_cast<long>(end) + 22, b.end());
  if (static_cast<uint64_t>(dirOff) + dirSize != end) return a.error = "directory position", a;
  size_t p = dirOff;
  a.firstLocal = UINT64_MAX;
  while (p < end) {
    if (p + 46 > end || U32(b, p) != 0x02014B50) return a.error = "central signature", a;
    Entry e;
    e.madeBy = U16(b, p + 4);
    e.flags = U16(b, p + 8);
    e.method = U16(b, p + 10);
    e.dosDateTime = (static_cast<uint32_t>(U16(b, p + 14)) << 16) | U16(b, p + 12);
    e.crc = U32(b, p + 16);
    e.packed = U32(b, p + 20);
    e.size = U32(b, p + 24);
    uint16_t n = U16(b, p + 28), x = U16(b, p + 30), c = U16(b, p + 32);
    e.disk = U16(b, p + 34);
    e.internalAttr = U16(b, p + 36);
    e.externalAttr = U32(b, p + 38);
    e.localOffset = U32(b, p + 42);
    e.name.assign(reinterpret_cast<const char*>(&b[p + 46]), n);
    p += 46u + n + x + c;
    size_t l = e.localOffset;
    if (l + 30 > b.size() || U32(b, l) != 0x04034B50) return a.error = "local signature of " + e.name, a;
    if (U16(b, l + 6) != e.flags || U16(b, l + 8) != e.method || U32(b, l + 14) != e.crc ||
        U32(b, l + 18) != e.packed || U32(b, l + 22) != e.size)
      return a.error = "local header differs from central record: " + e.name, a;
    size_t data = l + 30 + U16(b, l + 26) + U16(b, l + 28);
    if (data + e.packed > b.size()) return a.error = "data past end: " + e.name, a;
    a.firstLocal = std::min<uint64_t>(a.firstLocal, l);
    std::vector<uint8_t> raw(b.begin() + static_cast<long>(data),
                             b.begin() + static_cast<long>(data + e.packed));
    if (e.flags & 1) {
      if (password.empty() || raw.size() < 12) {
        a.entries.push_back(e);
        continue;
      }
      Crypt k(password);
      for (auto& ch : raw) ch = k.Decrypt(ch);
      if (raw[11] != static_cast<uint8_t>(e.crc >> 24)) return a.error = "password check byte: " + e.name, a;
      raw.erase(raw.begin(), raw.begin() + 12);
    }
    if (e.method == 0) {
      e.data.assign(raw.begin(), raw.end());
      if (e.data.size() != e.size) return a.error = "stored size: " + e.name, a;
    } else if (e.method == 8) {
      if (!Inflate(raw.data(), raw.size(), e.size, e.data)) return a.error = "inflate: " + e.name, a;
    } else {
      return a.error = "method", a;
    }
    uint32_t crc = e.data.empty()
                       ? 0
                       : static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()),
                                                     static_cast<uInt>(e.data.size())));
    e.crcOk = crc == e.crc;
    if (!e.crcOk) return a.error = "CRC of " + e.name, a;
    a.entries.push_back(e);
  }
  if (a.entries.size() != a.endEntries) return a.error = "entry count", a;
  a.ok = true;
  return a;
}

inline Archive ParseFile(const std::string& hostPath, const std::string& password = "") {
  return Parse(ReadBytes(hostPath), password);
}

// Message boxes answered from a script; every text shown is kept.
class ScriptedUi : public UiHandler {
 public:
  std::vector<std::string> shown;
  std::vector<int> answers;
  int processed = 0;
  int MessageBox(const std::string& text, const std::string&, unsigned) override {
    shown.push_back(text);
    if (answers.empty()) return IDCANCEL;
    int a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  void ProcessMessages() override { ++processed; }
};

struct UiScope {
  explicit UiScope(UiHandler* h) { Application().SetHandler(h); }
  ~UiScope() { Application().SetHandler(nullptr); }
};

// Text of n bytes that deflates well and looks like table rows.
inline std::string TableLike(size_t n, int seed = 0) {
  std::string s;
  s.reserve(n + 64);
  for (int row = 0; s.size() < n; ++row) {
    s += " ";
    s += "CUSTOMER" + std::to_string((row * 7 + seed) % 1000);
    s += "      Velmora Street " + std::to_string(row % 97) + "      " + std::to_string(row * 13 % 10007) +
         ".50";
  }
  s.resize(n);
  return s;
}

// Bytes that do not deflate.
inline std::string Noise(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

}  // namespace ziptest
