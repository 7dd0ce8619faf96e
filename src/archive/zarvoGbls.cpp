#include "archive/zarvoGbls.h"

#include "archive/zarvoDeflate.h"

TZipCrypto::TZipCrypto(const std::string& password) {
  for (char c : password) Update(static_cast<uint8_t>(c));
}

uint8_t TZipCrypto::KeyByte() const {
  uint32_t t = (k2_ | 2) & 0xFFFF;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

void TZipCrypto::Update(uint8_t plain) {
  k0_ = Crc32Byte(k0_, plain);
  k1_ = (k1_ + (k0_ & 0xFF)) * 134775813u + 1;
  k2_ = Crc32Byte(k2_, static_cast<uint8_t>(k1_ >> 24));
}

void TZipCrypto::Encipher(uint8_t* buffer, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t plain = buffer[i];
    buffer[i] = plain ^ KeyByte();
    Update(plain);
  }
}

void TZipCrypto::Decipher(uint8_t* buffer, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t plain = buffer[i] ^ KeyByte();
    buffer[i] = plain;
    Update(plain);
  }
}

std::array<uint8_t, 12> TZipCrypto::MakeHeader(const std::array<uint8_t, 11>& seed, uint32_t crc) {
  std::array<uint8_t, 12> h{};
  for (size_t i = 0; i < 11; ++i) h[i] = seed[i];
  h[11] = static_cast<uint8_t>(crc >> 24);
  Encipher(h.data(), h.size());
  return h;
}
