#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/zarvoDeflate.h"
#include "archive/zarvoFileIo.h"
#include "archive/zarvoHeaders.h"

using zarvo::GetLE16;
using zarvo::GetLE32;
using zarvo::GetLE64;

namespace {

std::vector<uint8_t> Block(uint16_t tag, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b(4);
  zarvo::PutLE16(b.data(), tag);
  zarvo::PutLE16(b.data() + 2, static_cast<uint16_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

}  // namespace

TEST(ZarvoRecords, EndRecordsGoZip64WhenCountSizeOrOffsetDoesNotFit) {
  uint8_t r[kMaxEndRecordsSize];
  // A directory starting just below the all-ones value still fits.
  ASSERT_EQ(EncodeEndRecords(r, 0xFFFFFFFEull, 100, 3, 5), kEndRecordSize);
  EXPECT_EQ(GetLE32(r), kEndSig);
  EXPECT_EQ(GetLE16(r + 10), 3);
  EXPECT_EQ(GetLE32(r + 16), 0xFFFFFFFEu);
  EXPECT_EQ(GetLE16(r + 20), 5);

  // Past 4 GiB: Zip64 end record, locator, then the classic record with all ones.
  const uint64_t dir = k4GiB + 7;
  ASSERT_EQ(EncodeEndRecords(r, dir, 100, 3, 0), kMaxEndRecordsSize);
  EXPECT_EQ(GetLE32(r), kZip64EndSig);
  EXPECT_EQ(GetLE64(r + 4), 44u);
  EXPECT_EQ(GetLE16(r + 14), 45);
  EXPECT_EQ(GetLE64(r + 32), 3u);
  EXPECT_EQ(GetLE64(r + 40), 100u);
  EXPECT_EQ(GetLE64(r + 48), dir);
  EXPECT_EQ(GetLE32(r + 56), kZip64LocatorSig);
  EXPECT_EQ(GetLE64(r + 56 + 8), dir + 100);  // where the Zip64 record lies
  EXPECT_EQ(GetLE32(r + 56 + 16), 1u);
  const uint8_t* e = r + 76;
  EXPECT_EQ(GetLE32(e), kEndSig);
  EXPECT_EQ(GetLE16(e + 10), 3);
  EXPECT_EQ(GetLE32(e + 12), 100u);
  EXPECT_EQ(GetLE32(e + 16), 0xFFFFFFFFu);

  // 70,000 entries in a small file: only the count needs the Zip64 record.
  ASSERT_EQ(EncodeEndRecords(r, 1000, 50, 70000, 0), kMaxEndRecordsSize);
  EXPECT_EQ(GetLE64(r + 32), 70000u);
  EXPECT_EQ(GetLE16(r + 76 + 8), 0xFFFF);
  EXPECT_EQ(GetLE16(r + 76 + 10), 0xFFFF);
  EXPECT_EQ(GetLE32(r + 76 + 16), 1000u);
}

TEST(ZarvoRecords, CentralEntryCarriesOnlyTheZip64ValuesThatDoNotFit) {
  TCentralBytes c;
  EncodeNewCentral(c, 0, 8, 0x5A2B6C3D, 0x11223344, 10, 20, 5, 0x20, 0x1234);
  const std::vector<uint8_t> ut = Block(0x5455, {1, 2, 3, 4, 5});
  // Stale size blocks of any kind in the extra bytes are dropped.
  std::vector<uint8_t> extra = Block(kExt64Tag, {0, 0, 0, 0, 0, 0});
  extra.insert(extra.end(), ut.begin(), ut.end());
  const std::vector<uint8_t> z = Block(kZip64Tag, {9, 9, 9, 9, 9, 9, 9, 9});
  extra.insert(extra.end(), z.begin(), z.end());

  std::vector<uint8_t> b = EncodeCentralEntry(c, "a/b.t", extra, "note", false, 10, 20, 0x1234);
  ASSERT_EQ(b.size(), kCentralRecordSize + 5 + ut.size() + 4);
  EXPECT_EQ(GetLE16(&b[6]), 20);
  EXPECT_EQ(GetLE32(&b[20]), 10u);
  EXPECT_EQ(GetLE32(&b[24]), 20u);
  EXPECT_EQ(GetLE32(&b[42]), 0x1234u);
  EXPECT_TRUE(std::equal(ut.begin(), ut.end(), b.begin() + 51));

  // An entry moved beyond 4 GiB: only the offset goes into the Zip64 block.
  const uint64_t moved = 2 * k4GiB + 0x40;
  b = EncodeCentralEntry(c, "a/b.t", extra, "note", false, 10, 20, moved);
  EXPECT_EQ(GetLE16(&b[6]), 45);
  EXPECT_EQ(GetLE32(&b[20]), 10u);
  EXPECT_EQ(GetLE32(&b[42]), 0xFFFFFFFFu);
  ASSERT_EQ(GetLE16(&b[30]), 12 + ut.size());
  EXPECT_EQ(GetLE16(&b[51]), kZip64Tag);
  EXPECT_EQ(GetLE16(&b[53]), 8);
  EXPECT_EQ(GetLE64(&b[55]), moved);
  TZip64Values v;
  ASSERT_TRUE(ReadZip64Block(&b[51], 12 + ut.size(), false, false, true, false, v));
  EXPECT_EQ(v.Offset, moved);
  EXPECT_EQ(std::string(b.end() - 4, b.end()), "note");

  // Sizes and offset together, in the block's order; a mask asks for a value
  // that fits (as the program that made the entry wrote it).
  b = EncodeCentralEntry(c, "x", {}, "", false, k4GiB + 1, 5, 7, kZip64Unpacked);
  EXPECT_EQ(GetLE32(&b[20]), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE32(&b[24]), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE32(&b[42]), 7u);
  ASSERT_EQ(GetLE16(&b[30]), 20);
  EXPECT_EQ(GetLE64(&b[47 + 4]), 5u);          // uncompressed first
  EXPECT_EQ(GetLE64(&b[47 + 12]), k4GiB + 1);  // then compressed
  ASSERT_TRUE(ReadZip64Block(&b[47], 20, true, true, false, false, v));
  EXPECT_EQ(v.Unpacked, 5u);
  EXPECT_EQ(v.Packed, k4GiB + 1);
  // A block too short for what the record asks for is no answer.
  EXPECT_FALSE(ReadZip64Block(&b[47], 20, true, true, true, false, v));

  // Enciphered: "L" signature; deciphering gives the plain record and name,
  // extra bytes and comment are left as they are.
  std::vector<uint8_t> plain = EncodeCentralEntry(c, "a/b.t", extra, "note", false, 10, 20, moved);
  std::vector<uint8_t> ciph = EncodeCentralEntry(c, "a/b.t", extra, "note", true, 10, 20, moved);
  ASSERT_EQ(ciph.size(), plain.size());
  EXPECT_EQ(GetLE32(ciph.data()), kCentralSigL);
  HeaderCipher(ciph.data() + 4, kCentralRecordSize - 4);
  HeaderCipher(ciph.data() + kCentralRecordSize, 5);
  EXPECT_TRUE(std::equal(ciph.begin() + 4, ciph.end(), plain.begin() + 4));
}

TEST(ZarvoRecords, LocalHeadersNewAndRewritten) {
  uint8_t h[kLocalHeaderSize];
  EncodeLocalHeader(h, 3, 8, 0x5A2B6C3D, 0xCAFEBABE, k4GiB + 1, k4GiB + 9, 12, true);
  EXPECT_EQ(GetLE32(h), kLocalSig);
  EXPECT_EQ(GetLE16(h + 4), 45);
  EXPECT_EQ(GetLE16(h + 6), 3);
  EXPECT_EQ(GetLE16(h + 10), 0x6C3D);  // time, then date
  EXPECT_EQ(GetLE16(h + 12), 0x5A2B);
  EXPECT_EQ(GetLE32(h + 18), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE32(h + 22), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE16(h + 28), kLocalZip64Size);
  uint8_t x[kLocalZip64Size];
  EncodeLocalZip64(x, k4GiB + 1, k4GiB + 9);
  TZip64Values v;
  ASSERT_TRUE(ReadZip64Block(x, sizeof x, true, true, false, false, v));
  EXPECT_EQ(v.Unpacked, k4GiB + 9);
  EXPECT_EQ(v.Packed, k4GiB + 1);

  // An old entry with the earlier 0x0064 block gets the standard fields.
  uint8_t old[kLocalHeaderSize];
  EncodeLocalHeader(old, 0, 8, 0x5A2B6C3D, 0x1234, (k4GiB + 2) & 0xFFFFFFFF, (k4GiB + 3) & 0xFFFFFFFF, 5,
                    false);
  zarvo::PutLE16(old + 28, 8);
  std::vector<uint8_t> ext64 = Block(kExt64Tag, {1, 0, 1, 0});
  std::vector<uint8_t> r = RewriteLocalHeader(old, ext64, "a.txt", false, false, k4GiB + 2, k4GiB + 3, false);
  ASSERT_EQ(r.size(), kLocalHeaderSize + 5 + kLocalZip64Size);
  EXPECT_EQ(GetLE16(&r[4]), 45);
  EXPECT_EQ(GetLE32(&r[18]), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE16(&r[28]), kLocalZip64Size);
  ASSERT_TRUE(ReadZip64Block(&r[35], kLocalZip64Size, true, true, false, false, v));
  EXPECT_EQ(v.Packed, k4GiB + 2);
  EXPECT_EQ(v.Unpacked, k4GiB + 3);

  // Renamed: the new name's encoding in bit 11, the Unicode-path block of
  // the old name gone, other blocks kept.
  std::vector<uint8_t> up = {1, 0, 0, 0, 0, 'x'};
  std::vector<uint8_t> extra = Block(kUnicodePathTag, up);
  std::vector<uint8_t> ut = Block(0x5455, {1, 2, 3, 4, 5});
  extra.insert(extra.end(), ut.begin(), ut.end());
  EncodeLocalHeader(old, 0x0800, 0, 0, 0x1234, 7, 7, 5, false);
  r = RewriteLocalHeader(old, extra, "b.txt", false, true, 7, 7, false);
  EXPECT_EQ(GetLE16(&r[6]), 0);
  EXPECT_EQ(GetLE32(&r[18]), 7u);
  EXPECT_EQ(GetLE16(&r[26]), 5);
  EXPECT_EQ(std::string(r.begin() + 30, r.begin() + 35), "b.txt");
  ASSERT_EQ(GetLE16(&r[28]), ut.size());
  EXPECT_TRUE(std::equal(ut.begin(), ut.end(), r.begin() + 35));
  // A streamed entry keeps what its header said about the sizes.
  EncodeLocalHeader(old, kFlagDescriptor, 8, 0, 0, 0, 0, 1, false);
  r = RewriteLocalHeader(old, {}, "\xE2\x82\xAC.txt", true, true, 99, 120, true);
  EXPECT_EQ(GetLE32(r.data()), kLocalSigL);
  HeaderCipher(r.data() + 4, kLocalHeaderSize - 4);
  EXPECT_EQ(GetLE16(&r[6]), kFlagDescriptor | kFlagUtf8);
  EXPECT_EQ(GetLE32(&r[18]), 0u);
  EXPECT_EQ(GetLE16(&r[26]), 7);
}

TEST(ZarvoRecords, ExtraBlocksAndUnicodePaths) {
  std::vector<uint8_t> a = Block(0x5455, {1, 2});
  std::vector<uint8_t> b = Block(kZip64Tag, {3, 3, 3, 3, 3, 3, 3, 3});
  std::vector<uint8_t> all = a;
  all.insert(all.end(), b.begin(), b.end());
  all.insert(all.end(), {0x75, 0x70, 0xFF, 0x00, 1});  // a block longer than what is left
  std::vector<uint8_t> kept = StripExtraBlocks(all, {kZip64Tag});
  std::vector<uint8_t> want = a;
  want.insert(want.end(), {0x75, 0x70, 0xFF, 0x00, 1});
  EXPECT_EQ(kept, want);
  size_t size = 0;
  EXPECT_NE(FindExtraBlock(all.data(), all.size(), kZip64Tag, size), nullptr);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(FindExtraBlock(all.data(), all.size(), kUnicodePathTag, size), nullptr);

  // The Unicode path names the entry only while its CRC matches the header name.
  const std::string header = "?uro.txt";
  const std::string real = "\xE2\x82\xACuro.txt";
  std::vector<uint8_t> data = {1, 0, 0, 0, 0};
  zarvo::PutLE32(&data[1], Crc32(header.data(), header.size()));
  data.insert(data.end(), real.begin(), real.end());
  std::vector<uint8_t> up = Block(kUnicodePathTag, data);
  std::string utf8;
  ASSERT_TRUE(UnicodePathName(up.data(), up.size(), header, utf8));
  EXPECT_EQ(utf8, real);
  EXPECT_FALSE(UnicodePathName(up.data(), up.size(), "renamed.txt", utf8));

  // Names the OEM page holds stay OEM; others go UTF-8, and come back.
  bool utf8Flag = true;
  EXPECT_EQ(zarvo::HeaderNameFromStored("dir\\Caf\xE9.txt", true, &utf8Flag), "dir/Caf\x82.txt");
  EXPECT_FALSE(utf8Flag);
  EXPECT_EQ(zarvo::HeaderNameFromStored("\x80uro.txt", true, &utf8Flag), real);
  EXPECT_TRUE(utf8Flag);
  bool exact = false;
  EXPECT_EQ(zarvo::StoredNameFromHeader("a/" + real, true, true, &exact), "a\\\x80uro.txt");
  EXPECT_TRUE(exact);
  EXPECT_EQ(zarvo::StoredNameFromHeader("\xE6\x97\xA5.txt", true, true, &exact), "?.txt");
  EXPECT_FALSE(exact);
  EXPECT_EQ(zarvo::ValidUtf8("ok\xE6\x97\xA5 \xC3 \xFF\xED\xA0\x80"),
            "ok\xE6\x97\xA5 \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}
