#include "archive/zarvoDeflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Inflate(const std::vector<uint8_t>& raw) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  std::string out;
  std::vector<uint8_t> buf(1 << 16);
  z.next_in = const_cast<Bytef*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = buf.data();
    z.avail_out = static_cast<uInt>(buf.size());
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(reinterpret_cast<char*>(buf.data()), buf.size() - z.avail_out);
    if (rc == Z_BUF_ERROR) break;
  }
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u) << "trailing bytes after the deflate stream";
  inflateEnd(&z);
  return out;
}

std::string MixedData(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    if (rng() % 3 == 0) {
      for (int i = 0; i < 5000; ++i) s.push_back(static_cast<char>(rng()));
    } else {
      s += "record " + std::to_string(rng() % 1000) +
           ";name=Velmora;amount=" + std::to_string(rng() % 99999) + "\n";
    }
  }
  s.resize(n);
  return s;
}

}  // namespace

TEST(ZarvoChecksums, KnownVectorsAndPiecewiseUpdates) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc16(check.data(), check.size()), 0xBB3D);
  EXPECT_EQ(Crc16("", 0), 0);

  // The register form carried between writes equals one pass over the whole.
  std::string data = MixedData(200000, 7);
  uint32_t reg = kCrc32Preset;
  uint32_t byByte = kCrc32Preset;
  uint16_t r16 = 0;
  for (size_t pos = 0; pos < data.size(); pos += 777) {
    size_t n = std::min<size_t>(777, data.size() - pos);
    reg = UpdateCrc32(reg, data.data() + pos, n);
    r16 = UpdateCrc16(r16, data.data() + pos, n);
  }
  for (char c : data) byByte = Crc32Byte(byByte, static_cast<uint8_t>(c));
  EXPECT_EQ(reg ^ 0xFFFFFFFFu, Crc32(data.data(), data.size()));
  EXPECT_EQ(byByte, reg);
  EXPECT_EQ(reg ^ 0xFFFFFFFFu, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                                           static_cast<uInt>(data.size()))));
  EXPECT_EQ(r16, Crc16(data.data(), data.size()));
}

TEST(ZarvoDeflate, LevelsAndFlagBits) {
  EXPECT_EQ(DeflateLevel(dtDeflateS), 0);
  EXPECT_EQ(DeflateLevel(dtDeflateF), 1);
  EXPECT_EQ(DeflateLevel(dtDeflateN), -1);
  EXPECT_EQ(DeflateLevel(dtDeflateX), 9);
  EXPECT_EQ(DeflateFlagBits(dtDeflateS), 6);
  EXPECT_EQ(DeflateFlagBits(dtDeflateF), 4);
  EXPECT_EQ(DeflateFlagBits(dtDeflateN), 0);
  EXPECT_EQ(DeflateFlagBits(dtDeflateX), 2);
}

TEST(ZarvoDeflate, RoundTripsThroughInflateAtEveryLevel) {
  const std::string data = MixedData(700000, 11);  // several full output buffers
  for (TDeflateType t : {dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX}) {
    std::vector<uint8_t> out;
    std::vector<size_t> sinkSizes;
    TZarvoDeflater d(DeflateLevel(t));
    d.Sink = [&](uint8_t* p, size_t n) {
      sinkSizes.push_back(n);
      out.insert(out.end(), p, p + n);
    };
    int64_t remaining = static_cast<int64_t>(data.size());
    d.Remaining = &remaining;
    uint64_t lastIn = 0;
    bool monotonic = true;
    d.OnProgress = [&](uint64_t in) {
      monotonic = monotonic && in >= lastIn;
      lastIn = in;
    };
    // Odd-sized writes, as a copy loop hands them over.
    for (size_t pos = 0; pos < data.size(); pos += 61440) {
      size_t n = std::min<size_t>(61440, data.size() - pos);
      EXPECT_EQ(d.Write(data.data() + pos, n), n);
    }
    d.Finish();
    EXPECT_EQ(Inflate(out), data) << "level " << t;
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(d.TotalIn(), data.size());
    EXPECT_EQ(d.TotalOut(), out.size());
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(lastIn, data.size());
    // Every part but the last is a full buffer.
    for (size_t i = 0; i + 1 < sinkSizes.size(); ++i) EXPECT_EQ(sinkSizes[i], TZarvoDeflater::kOutBufferSize);
    // Same bytes as zlib called directly with the same parameters (level 0
    // cuts its stored blocks by the output space, so only the others).
    if (t == dtDeflateS) continue;
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, DeflateLevel(t), Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> ref(deflateBound(&z, data.size()));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = ref.data();
    z.avail_out = static_cast<uInt>(ref.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    ref.resize(z.total_out);
    deflateEnd(&z);
    EXPECT_EQ(out, ref) << "level " << t;
  }

  // Empty input at level 6: the two-byte empty final block.
  size_t n = 0;
  auto empty = DeflateBuffer("", 0, 6, n);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(empty[0], 0x03);
  EXPECT_EQ(empty[1], 0x00);
}

TEST(ZarvoDeflate, CancelStopsFeedingButStillFinishes) {
  const std::string data = MixedData(2000000, 3);
  bool cancel = false;
  std::vector<uint8_t> out;
  TZarvoDeflater d(6);
  d.Cancel = &cancel;
  d.Sink = [&](uint8_t* p, size_t k) { out.insert(out.end(), p, p + k); };
  int steps = 0;
  d.OnProgress = [&](uint64_t) {
    if (++steps == 3) cancel = true;
  };
  EXPECT_EQ(d.Write(data.data(), data.size()), data.size());  // a write reports its count
  EXPECT_LT(d.TotalIn(), data.size());
  const uint64_t consumed = d.TotalIn();
  d.Write(data.data(), data.size());  // nothing more is fed once cancelled
  EXPECT_EQ(d.TotalIn(), consumed);
  d.Finish();
  EXPECT_TRUE(d.Finished());
  d.Finish();  // harmless twice
}
