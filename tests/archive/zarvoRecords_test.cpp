#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/zarvoFileIo.h"
#include "archive/zarvoHeaders.h"

using zarvo::GetLE16;
using zarvo::GetLE32;
using zarvo::GetLE64;

TEST(ZarvoRecords, EndRecordSwitchesToSixtyFourBitsAtFourGiB) {
  uint8_t r[kEnd64RecordSize];
  // A directory starting at the last 32-bit offset still fits the plain record.
  ASSERT_EQ(EncodeEndRecord(r, 0xFFFFFFFFull, 100, 3, 5), kEndRecordSize);
  EXPECT_EQ(GetLE32(r), kEndSig);
  EXPECT_EQ(GetLE32(r + 16), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE16(r + 20), 5);

  ASSERT_EQ(EncodeEndRecord(r, k4GiB + 7, 100, 70000, 0), kEnd64RecordSize);
  EXPECT_EQ(GetLE32(r), kEnd64Sig);
  EXPECT_EQ(GetLE64(r + 16), k4GiB + 7);
  EXPECT_EQ(GetLE16(r + 8), 0xFFFF);  // counts are 16-bit
  EXPECT_EQ(GetLE16(r + 10), 0xFFFF);
  EXPECT_EQ(GetLE32(r + 12), 100u);
}

TEST(ZarvoRecords, CentralEntryFollowsItsLocalHeaderAndDeciphers) {
  TCentralBytes c;
  EncodeNewCentral(c, 0, 8, 0x5A2B6C3D, 0x11223344, k4GiB + 10, k4GiB + 20, 5, true, 0x20, 0x1234);
  std::vector<uint8_t> extra(kCentralExt64Size);
  EncodeCentralExt64(extra.data(), 1, 1, 0x1234);

  // An entry copied to beyond 4 GiB: the record and its size extension carry
  // the new offset, not the one it was built with.
  const uint64_t moved = 2 * k4GiB + 0x40;
  std::vector<uint8_t> b = EncodeCentralEntry(c, "a/b.t", extra, "note", false, moved);
  ASSERT_EQ(b.size(), kCentralRecordSize + 5 + kCentralExt64Size + 4);
  EXPECT_EQ(GetLE32(b.data()), kCentralSig);
  EXPECT_EQ(GetLE32(&b[42]), 0x40u);
  EXPECT_EQ(GetLE16(&b[28]), 5);
  EXPECT_EQ(GetLE16(&b[30]), kCentralExt64Size);
  EXPECT_EQ(GetLE16(&b[32]), 4);
  EXPECT_EQ(std::string(b.begin() + 46, b.begin() + 51), "a/b.t");
  uint16_t pHi = 0, uHi = 0, oHi = 0;
  ASSERT_TRUE(ParseExt64(&b[51], kCentralExt64Size, true, pHi, uHi, oHi));
  EXPECT_EQ(oHi, 2);
  EXPECT_EQ(std::string(b.end() - 4, b.end()), "note");

  // Enciphered: "L" signature; deciphering gives the plain record and name,
  // extra bytes and comment are left as they are.
  std::vector<uint8_t> e = EncodeCentralEntry(c, "a/b.t", extra, "note", true, moved);
  ASSERT_EQ(e.size(), b.size());
  EXPECT_EQ(GetLE32(e.data()), kCentralSigL);
  HeaderCipher(e.data() + 4, kCentralRecordSize - 4);
  HeaderCipher(e.data() + kCentralRecordSize, 5);
  EXPECT_TRUE(std::equal(e.begin() + 4, e.end(), b.begin() + 4));
}

TEST(ZarvoRecords, LocalHeaderAndFoundFileRecord) {
  uint8_t h[kLocalHeaderSize];
  EncodeLocalHeader(h, 3, 8, 0x5A2B6C3D, 0xCAFEBABE, k4GiB + 1, 9, 12, true);
  EXPECT_EQ(GetLE32(h), kLocalSig);
  EXPECT_EQ(GetLE16(h + 6), 3);
  EXPECT_EQ(GetLE16(h + 10), 0x6C3D);  // time, then date
  EXPECT_EQ(GetLE16(h + 12), 0x5A2B);
  EXPECT_EQ(GetLE32(h + 18), 1u);  // low 32 bits; the extension holds the rest
  EXPECT_EQ(GetLE16(h + 26), 12);
  EXPECT_EQ(GetLE16(h + 28), kLocalExt64Size);
  uint8_t x[kLocalExt64Size];
  EncodeLocalExt64(x, k4GiB + 1, 9);
  uint16_t pHi = 0, uHi = 7, oHi = 7;
  ASSERT_TRUE(ParseExt64(x, sizeof x, false, pHi, uHi, oHi));
  EXPECT_EQ(pHi, 1);
  EXPECT_EQ(uHi, 0);
  EXPECT_EQ(oHi, 7);  // a local block has no offset part

  // A directory record recovered from the local header: versions 20 / as
  // needed, the header's fields, the offset it was found at.
  TCentralBytes w;
  w.fill(0xEE);
  CentralFromLocal(w, h, 0x777);
  EXPECT_EQ(GetLE32(&w[0]), kCentralSig);
  EXPECT_EQ(GetLE16(&w[4]), 20);
  EXPECT_EQ(GetLE16(&w[6]), 20);
  EXPECT_TRUE(std::equal(h + 6, h + 30, w.begin() + 8));
  EXPECT_EQ(GetLE16(&w[32]), 0);
  EXPECT_EQ(GetLE32(&w[38]), 0u);
  EXPECT_EQ(GetLE32(&w[42]), 0x777u);

  TCentralBytes c;
  c.fill(0xEE);  // leftovers of an earlier use are cleared
  FillCentralBytes(c, k4GiB + 5, 0x5A2B6C3D, 0x21, 0);
  EXPECT_EQ(GetLE32(&c[20]), 5u);
  EXPECT_EQ(GetLE32(&c[24]), 5u);
  EXPECT_EQ(GetLE16(&c[10]), 0);
  EXPECT_EQ(GetLE16(&c[16]), 0);
  EXPECT_EQ(GetLE16(&c[36]), 1);
  EXPECT_EQ(GetLE32(&c[38]), 0x21u);
}
