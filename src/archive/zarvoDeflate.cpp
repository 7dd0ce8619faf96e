#include "archive/zarvoDeflate.h"

#include <zlib.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/exceptions.h"

int DeflateLevel(TDeflateType type) {
  switch (type) {
    case dtDeflateS:
      return 0;
    case dtDeflateF:
      return 1;
    case dtDeflateX:
      return 9;
    case dtDeflateN:
      break;
  }
  return Z_DEFAULT_COMPRESSION;
}

uint16_t DeflateFlagBits(TDeflateType type) {
  switch (type) {
    case dtDeflateS:
      return 6;
    case dtDeflateF:
      return 4;
    case dtDeflateX:
      return 2;
    case dtDeflateN:
      break;
  }
  return 0;
}

// ---- checksums ----

namespace {

const std::array<uint32_t, 256>& Crc32Table() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

const std::array<uint16_t, 256>& Crc16Table() {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint16_t c = static_cast<uint16_t>(n);
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? static_cast<uint16_t>(0xA001u ^ (c >> 1)) : static_cast<uint16_t>(c >> 1);
      t[n] = c;
    }
    return t;
  }();
  return table;
}

}  // namespace

uint32_t UpdateCrc32(uint32_t reg, const void* data, size_t count) {
  // zlib works on finished values; the register is the finished value xor-ed.
  const auto* p = static_cast<const Bytef*>(data);
  uLong crc = reg ^ 0xFFFFFFFFu;
  while (count > 0) {
    uInt n = count > 0x40000000u ? 0x40000000u : static_cast<uInt>(count);
    crc = crc32(crc, p, n);
    p += n;
    count -= n;
  }
  return static_cast<uint32_t>(crc) ^ 0xFFFFFFFFu;
}

uint32_t Crc32Byte(uint32_t reg, uint8_t byte) { return Crc32Table()[(reg ^ byte) & 0xFF] ^ (reg >> 8); }

uint32_t Crc32(const void* data, size_t count) {
  return UpdateCrc32(kCrc32Preset, data, count) ^ 0xFFFFFFFFu;
}

uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB) {
  return static_cast<uint32_t>(crc32_combine(crcA, crcB, static_cast<z_off_t>(lengthB)));
}

uint16_t UpdateCrc16(uint16_t reg, const void* data, size_t count) {
  const auto& t = Crc16Table();
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < count; ++i) reg = static_cast<uint16_t>(t[(reg ^ p[i]) & 0xFF] ^ (reg >> 8));
  return reg;
}

// ---- the deflating writer ----

namespace {

// zlib's allocations are zero-filled.
voidpf ZeroAlloc(voidpf, uInt items, uInt size) { return std::calloc(items, size); }
void ZeroFree(voidpf, voidpf address) { std::free(address); }

}  // namespace

struct TZarvoDeflater::State {
  z_stream z{};
  bool initialised = false;
  std::vector<uint8_t> out;
};

TZarvoDeflater::TZarvoDeflater(int level, int windowBits) : s_(std::make_unique<State>()) {
  s_->out.resize(kOutBufferSize);
  s_->z.zalloc = ZeroAlloc;
  s_->z.zfree = ZeroFree;
  s_->z.opaque = Z_NULL;
  int rc = deflateInit2(&s_->z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) throw EStreamError("Out of memory while initialising the compressor");
  s_->initialised = true;
  s_->z.next_out = s_->out.data();
  s_->z.avail_out = static_cast<uInt>(kOutBufferSize);
}

TZarvoDeflater::~TZarvoDeflater() {
  if (s_->initialised) deflateEnd(&s_->z);
}

uint64_t TZarvoDeflater::TotalIn() const { return s_->z.total_in; }
uint64_t TZarvoDeflater::TotalOut() const { return s_->z.total_out; }

void TZarvoDeflater::EmptyBuffer(size_t count) {
  if (count > 0 && Sink) Sink(s_->out.data(), count);
  s_->z.next_out = s_->out.data();
  s_->z.avail_out = static_cast<uInt>(kOutBufferSize);
}

size_t TZarvoDeflater::Write(const void* data, size_t count) {
  if (finished_) return 0;
  z_stream& z = s_->z;
  const auto* p = static_cast<const uint8_t*>(data);
  size_t left = count;
  while (left > 0 && !Cancelled()) {
    // zlib takes at most 4 GiB per call; hand larger buffers over in parts.
    uInt part = left > 0x40000000u ? 0x40000000u : static_cast<uInt>(left);
    z.next_in = const_cast<Bytef*>(p);
    z.avail_in = part;
    while (z.avail_in > 0 && !Cancelled()) {
      uInt before = z.avail_in;
      int rc = deflate(&z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR) throw EStreamError("Compression failed");
      if (Remaining) *Remaining -= static_cast<int64_t>(before - z.avail_in);
      if (Cancelled()) break;
      if (z.avail_out == 0) EmptyBuffer(kOutBufferSize);
      if (OnProgress) OnProgress(z.total_in);
    }
    size_t used = part - z.avail_in;
    p += used;
    left -= used;
    if (z.avail_in > 0) break;  // cancelled
  }
  z.next_in = Z_NULL;
  z.avail_in = 0;
  return count;
}

void TZarvoDeflater::Finish() {
  if (finished_) return;
  finished_ = true;
  z_stream& z = s_->z;
  z.next_in = Z_NULL;
  z.avail_in = 0;
  int rc = deflate(&z, Z_FINISH);
  while (rc != Z_STREAM_END && z.avail_out == 0 && !Cancelled()) {
    EmptyBuffer(kOutBufferSize);
    rc = deflate(&z, Z_FINISH);
  }
  if (rc != Z_STREAM_END && rc != Z_OK && rc != Z_BUF_ERROR) throw EStreamError("Compression failed");
  EmptyBuffer(kOutBufferSize - z.avail_out);
}

std::unique_ptr<uint8_t[]> DeflateBuffer(const void* data, size_t count, int level, size_t& outCount) {
  std::vector<uint8_t> out;
  TZarvoDeflater d(level);
  d.Sink = [&out](uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); };
  d.Write(data, count);
  d.Finish();
  outCount = out.size();
  auto result = std::make_unique<uint8_t[]>(out.size() ? out.size() : 1);
  if (!out.empty()) std::memcpy(result.get(), out.data(), out.size());
  return result;
}
