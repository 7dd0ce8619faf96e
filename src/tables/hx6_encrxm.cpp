#include "tables/hx6_encrxm.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// Key schedule of the last password used, so that record-by-record work does
// not rebuild it for every buffer.
struct KeySchedule {
  std::string password;
  std::array<uint8_t, 256> state{};
  bool valid = false;
};

const std::array<uint8_t, 256>& ScheduleFor(const std::string& password) {
  thread_local KeySchedule cache;
  if (!cache.valid || cache.password != password) {
    auto& s = cache.state;
    for (int i = 0; i < 256; ++i) s[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    uint8_t j = 0;
    const size_t n = password.size();
    for (size_t i = 0; i < 256; ++i) {
      j = static_cast<uint8_t>(j + s[i] + static_cast<uint8_t>(password[i % n]));
      std::swap(s[i], s[j]);
    }
    cache.password = password;
    cache.valid = true;
  }
  return cache.state;
}

}  // namespace

int Transform(const std::string& password, const void* source, void* destination, size_t count,
              int direction) {
  if (password.empty()) {
    if (source != destination && count) std::memmove(destination, source, count);
    return 0;
  }
  std::array<uint8_t, 256> s = ScheduleFor(password);
  const uint8_t* in = static_cast<const uint8_t*>(source);
  uint8_t* out = static_cast<uint8_t*>(destination);
  uint8_t i = 0, j = 0;
  // The first 256 keystream bytes are dropped: they carry the most of the key's bias.
  for (int k = 0; k < 256; ++k) {
    i = static_cast<uint8_t>(i + 1);
    j = static_cast<uint8_t>(j + s[i]);
    std::swap(s[i], s[j]);
  }
  for (size_t k = 0; k < count; ++k) {
    i = static_cast<uint8_t>(i + 1);
    j = static_cast<uint8_t>(j + s[i]);
    std::swap(s[i], s[j]);
    out[k] = static_cast<uint8_t>(in[k] ^ s[static_cast<uint8_t>(s[i] + s[j])]);
  }
  return direction == 1 ? 1 : -1;
}
