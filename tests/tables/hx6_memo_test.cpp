#include "tables/hx6_memo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>

#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

using tabletest::MessageOf;
using tabletest::ShortLockWait;

using tabletest::DbfImage;

namespace {

uint32_t LE32(const std::string& s, size_t at) {
  return GetLE32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}
uint32_t BE32(const std::string& s, size_t at) {
  return GetBE32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}
void SetLE32(std::string& s, size_t at, uint32_t v) { PutLE32(reinterpret_cast<uint8_t*>(s.data()) + at, v); }
void SetBE32(std::string& s, size_t at, uint32_t v) { PutBE32(reinterpret_cast<uint8_t*>(s.data()) + at, v); }

std::string Db3File(uint32_t nextFree = 1) {
  std::string h(512, '\0');
  SetLE32(h, 0, nextFree);
  return h + '\x1A';
}

std::string Db4File(uint32_t head = 1, uint32_t blockSize = 512) {
  std::string h(blockSize, '\0');
  SetLE32(h, 0, head);
  h[18] = 2;
  h[19] = 1;
  SetLE32(h, 20, blockSize);
  return h;
}

std::string FptFile(uint32_t nextFree = 8, uint16_t blockSize = 64) {
  std::string h(512, '\0');
  SetBE32(h, 0, nextFree);
  h[6] = static_cast<char>(blockSize >> 8);
  h[7] = static_cast<char>(blockSize & 0xFF);
  return h;
}

// A table NAME C 10, NOTE M and a memo file beside it, both written byte by byte.
struct MemoFixture {
  TempDrive drive;
  std::string table, memo;  // host paths
  MemoFixture(uint8_t version, const std::string& memoBytes, int records = 2,
              const std::string& memoExt = "") {
    DbfImage img;
    img.version = version;
    const int width = version == 0x30 ? 4 : 10;
    img.fields = {{"NAME", 'C', 10}, {"NOTE", 'M', width}};
    if (version == 0x30) {
      img.flags = 2;
      img.extraArea = 263;
    }
    for (int i = 0; i < records; ++i)
      img.records.push_back(" R" + std::to_string(i + 1) +
                            std::string(8 - std::to_string(i + 1).size(), ' ') +
                            (version == 0x30 ? std::string(4, '\0') : std::string(10, ' ')));
    table = drive.Host("T.dbf");
    WriteHostFile(table, tabletest::Bytes(img));
    std::string ext = memoExt.empty() ? (version == 0x30 || version == 0xF5 ? "fpt" : "dbt") : memoExt;
    memo = drive.Host("T." + ext);
    if (!memoBytes.empty()) WriteHostFile(memo, memoBytes);
  }
  std::string Dbf() const { return drive.Dos("T.dbf"); }
  std::string MemoBytes() const { return ReadHostFile(memo); }
};

}  // namespace

TEST(HXobjMemo, DBase3BlocksReuseAndMove) {
  MemoFixture fx(0x83, Db3File());
  HXO_dBaseFld t(fx.Dbf(), false, true);
  HXobjMemo* memo = t.MemoFile();
  ASSERT_NE(memo, nullptr);
  EXPECT_STREQ(memo->FormatName(), "dBase III");
  EXPECT_EQ(memo->BlockSize(), 512u);

  // 510 bytes and the two terminators fill one block; 511 bytes need two.
  uint32_t a = 0;
  EXPECT_EQ(memo->PutMemo(std::string(510, 'a').data(), a, 510), 1u);
  EXPECT_EQ(memo->BlocksInUse(), 1u);
  uint32_t b = 0;
  EXPECT_EQ(memo->PutMemo(std::string(511, 'b').data(), b, 511), 2u);
  EXPECT_EQ(memo->BlocksInUse(), 2u);
  std::string file = fx.MemoBytes();
  EXPECT_EQ(LE32(file, 0), 4u);
  EXPECT_EQ(file.size(), 4u * 512);
  EXPECT_EQ(file.substr(512 + 510, 2), "\x1A\x1A");
  EXPECT_EQ(file.substr(1024 + 511, 3), std::string("\x1A\x1A\0", 3));
  EXPECT_EQ(memo->MemoLength(1), 510u);
  EXPECT_EQ(memo->MemoLength(2), 511u);
  EXPECT_EQ(memo->MemoLength(0), 0u);

  // Shorter text: in place. Longer than its blocks: to the next free block.
  EXPECT_EQ(memo->PutMemo("short", a, 5), 1u);
  EXPECT_EQ(memo->ReadMemo(1), "short");
  EXPECT_EQ(memo->PutMemo(std::string(600, 'c').data(), a, 600), 4u);
  EXPECT_EQ(LE32(fx.MemoBytes(), 0), 6u);
  EXPECT_EQ(memo->ReadMemo(4), std::string(600, 'c'));
  EXPECT_EQ(memo->ReadMemo(2), std::string(511, 'b'));  // the neighbour is untouched

  // GetMemo reads at most what is asked for.
  char buf[8];
  size_t len = 3;
  memo->GetMemo(buf, 2, len);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(std::string(buf, 3), "bbb");
  len = sizeof buf;
  memo->GetMemo(buf, 0, len);
  EXPECT_EQ(len, 0u);

  // An empty memo for a field without one writes nothing.
  const std::string before = fx.MemoBytes();
  uint32_t none = 0;
  EXPECT_EQ(memo->PutMemo("", none, 0), 0u);
  EXPECT_EQ(fx.MemoBytes(), before);
}

TEST(HXobjMemo, DBase3MemosReadToTheirTerminatorBoundedByTheFile) {
  // A memo far longer than 64 KiB, written the way the format writes it:
  // every byte of it comes back, through every way of reading it.
  std::string text;
  for (int i = 0; text.size() < 200000; ++i) text += "line " + std::to_string(i) + " of a long memo\r\n";
  std::string file = Db3File(2);
  file.resize(512);
  file += text + "\x1A\x1A";
  file.resize((file.size() + 511) / 512 * 512, '\0');
  MemoFixture fx(0x83, file);
  {
    std::string dbf = ReadHostFile(fx.table);
    const size_t hl = GetLE16(reinterpret_cast<const uint8_t*>(dbf.data()) + 8);
    std::memcpy(dbf.data() + hl + 11, "         1", 10);  // record 1: NOTE -> block 1
    WriteHostFile(fx.table, dbf);
  }
  HXO_dBaseFld t(fx.Dbf(), false, false);
  HXobjMemo* memo = t.MemoFile();
  EXPECT_EQ(memo->MemoLength(1), text.size());
  EXPECT_EQ(memo->ReadMemo(1), text);
  std::string buffer(text.size() + 10, '\0');
  size_t length = buffer.size();
  memo->GetMemo(buffer.data(), 1, length);
  EXPECT_EQ(length, text.size());
  EXPECT_EQ(buffer.substr(0, length), text);
  t.GetRecord(1);
  EXPECT_EQ(t.MemoSize(2), text.size());
  EXPECT_EQ(t.FieldText(2), text);  // what a restructure copies

  // Without any terminator the memo ends with the file, never past it.
  file = Db3File(200);
  file.resize(512);
  file += std::string(70000, 'x');
  MemoFixture open(0x83, file);
  HXO_dBaseFld u(open.Dbf(), false, false);
  EXPECT_EQ(u.MemoFile()->MemoLength(1), 70000u);
  EXPECT_EQ(u.MemoFile()->ReadMemo(1), std::string(70000, 'x'));
  EXPECT_EQ(u.MemoFile()->MemoLength(137), 70000u - 136 * 512);
}

TEST(HXobjMemo, BlockNumberAtTheFilesBlockCountIsBad) {
  // Files of exactly `count` blocks: the last block is block count - 1.
  struct Case {
    uint8_t version;
    std::string file;
    uint32_t blockSize, count;
  } cases[] = {{0x83, Db3File(4), 512, 4}, {0x8B, Db4File(4), 512, 4}, {0xF5, FptFile(10), 64, 10}};
  for (auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.version));
    const uint32_t count = c.count;
    c.file.resize(count * c.blockSize, c.version == 0x83 ? '\x1A' : '\0');
    const size_t last = (count - 1) * c.blockSize;
    if (c.version == 0x8B) c.file.replace(last, 8, std::string("\xFF\xFF\x08\x00\x08\x00\x00\x00", 8));
    if (c.version == 0xF5) SetBE32(c.file, last, 1);
    MemoFixture fx(c.version, c.file);
    HXO_dBaseFld t(fx.Dbf(), false, false);
    HXobjMemo* memo = t.MemoFile();
    const std::string bad = "Memo record is bad in " + memo->FileName();
    EXPECT_EQ(memo->ReadMemo(count - 1), "");  // the last block is a (empty) memo
    EXPECT_EQ(MessageOf([&] { memo->ReadMemo(count); }), bad);
    EXPECT_EQ(MessageOf([&] { memo->MemoLength(count); }), bad);
    EXPECT_EQ(MessageOf([&] {
                char buf[4];
                size_t len = sizeof buf;
                memo->GetMemo(buf, count, len);
              }),
              bad);
    EXPECT_EQ(MessageOf([&] { memo->ReadMemo(count + 1000); }), bad);
  }
}

TEST(HXobjMemo, FoxProBlocksReuseAndMove) {
  MemoFixture fx(0xF5, FptFile());
  HXO_dBaseFld t(fx.Dbf(), false, true);
  HXobjMemo* memo = t.MemoFile();
  EXPECT_STREQ(memo->FormatName(), "FoxPro");
  EXPECT_EQ(memo->BlockSize(), 64u);
  uint32_t a = 0, b = 0;
  EXPECT_EQ(memo->PutMemo(std::string(56, 'a').data(), a, 56), 8u);
  EXPECT_EQ(memo->BlocksInUse(), 1u);
  EXPECT_EQ(memo->PutMemo(std::string(57, 'b').data(), b, 57), 9u);
  EXPECT_EQ(memo->BlocksInUse(), 2u);
  std::string file = fx.MemoBytes();
  EXPECT_EQ(BE32(file, 0), 11u);
  EXPECT_EQ(BE32(file, 8 * 64), 1u);
  EXPECT_EQ(BE32(file, 8 * 64 + 4), 56u);
  EXPECT_EQ(file.size(), 11u * 64);

  EXPECT_EQ(memo->PutMemo("tiny", b, 4), 9u);  // shorter: same block
  EXPECT_EQ(memo->ReadMemo(9), "tiny");
  EXPECT_EQ(memo->PutMemo(std::string(100, 'c').data(), a, 100), 11u);  // longer: moves
  EXPECT_EQ(BE32(fx.MemoBytes(), 0), 13u);
  EXPECT_EQ(memo->ReadMemo(11), std::string(100, 'c'));
  EXPECT_EQ(memo->MemoLength(8), 56u);  // the abandoned memo stays readable
}

TEST(HXobjMemo, FoxProBlockSizeFromHeader) {
  MemoFixture fx(0xF5, FptFile(16, 32));
  {
    HXO_dBaseFld t(fx.Dbf(), false, true);
    EXPECT_EQ(t.MemoFile()->BlockSize(), 32u);
    uint32_t a = 0;
    EXPECT_EQ(t.MemoFile()->PutMemo("hello", a, 5), 16u);
    EXPECT_EQ(BE32(fx.MemoBytes(), 0), 17u);
  }
  // A next-free block inside the header is not believed.
  std::string file = fx.MemoBytes();
  SetBE32(file, 0, 3);
  WriteHostFile(fx.memo, file);
  HXO_dBaseFld t2(fx.Dbf(), false, true);
  uint32_t c = 0;
  EXPECT_EQ(t2.MemoFile()->PutMemo("x", c, 1), 17u);
  EXPECT_EQ(t2.MemoFile()->ReadMemo(16), "hello");
}

TEST(HXobjMemo, DBase4FreeListFirstFitAndSplit) {
  MemoFixture fx(0x8B, Db4File());
  HXO_dBaseFld t(fx.Dbf(), false, true);
  HXobjMemo* memo = t.MemoFile();
  EXPECT_STREQ(memo->FormatName(), "dBase IV");
  uint32_t a = 0, b = 0;
  EXPECT_EQ(memo->PutMemo(std::string(1200, 'a').data(), a, 1200), 1u);  // 3 blocks
  EXPECT_EQ(memo->BlocksInUse(), 3u);
  EXPECT_EQ(memo->PutMemo("next", b, 4), 4u);
  std::string file = fx.MemoBytes();
  EXPECT_EQ(LE32(file, 0), 5u);  // the list ends at the end of the file
  EXPECT_EQ(file.substr(512, 4), std::string("\xFF\xFF\x08\x00", 4));
  EXPECT_EQ(LE32(file, 516), 1208u);

  // Rewriting with one block frees the three and takes the first of them;
  // the other two stay free as one chunk.
  EXPECT_EQ(memo->PutMemo("small", a, 5), 1u);
  file = fx.MemoBytes();
  EXPECT_EQ(LE32(file, 0), 2u);
  EXPECT_EQ(LE32(file, 2 * 512), 5u);      // next: the old head
  EXPECT_EQ(LE32(file, 2 * 512 + 4), 2u);  // two blocks
  EXPECT_EQ(memo->ReadMemo(1), "small");
  EXPECT_EQ(memo->ReadMemo(4), "next");

  // A two-block memo fits the chunk exactly; a later one goes to the end.
  uint32_t c = 0, d = 0;
  EXPECT_EQ(memo->PutMemo(std::string(900, 'c').data(), c, 900), 2u);
  EXPECT_EQ(LE32(fx.MemoBytes(), 0), 5u);
  EXPECT_EQ(memo->PutMemo("end", d, 3), 5u);
  EXPECT_EQ(LE32(fx.MemoBytes(), 0), 6u);
  EXPECT_EQ(memo->ReadMemo(2), std::string(900, 'c'));
  EXPECT_EQ(memo->ReadMemo(4), "next");
}

TEST(HXobjMemo, DBase4BrokenFreeListEndsTheWalk) {
  // Chunks at 1 and 2 point at each other, one block each.
  std::string file = Db4File(1);
  std::string chunk(512, '\0');
  SetLE32(chunk, 0, 2);
  SetLE32(chunk, 4, 1);
  file += chunk;
  SetLE32(chunk, 0, 1);
  file += chunk;
  MemoFixture fx(0x8B, file);
  {
    HXO_dBaseFld t(fx.Dbf(), false, true);
    uint32_t a = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(t.MemoFile()->PutMemo(std::string(700, 'z').data(), a, 700), 3u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(t.MemoFile()->ReadMemo(3), std::string(700, 'z'));
  }
  // A chunk reaching past the end of the file is not used.
  std::string far = Db4File(1);
  std::string big(512, '\0');
  SetLE32(big, 0, 1000);
  SetLE32(big, 4, 100000);
  far += big;
  WriteHostFile(fx.memo, far);
  HXO_dBaseFld t(fx.Dbf(), false, true);
  uint32_t a = 0;
  EXPECT_EQ(t.MemoFile()->PutMemo("abc", a, 3), 2u);
  EXPECT_EQ(fx.MemoBytes().size(), 3u * 512);
}

TEST(HXobjMemo, DBase4ShortFileIsExtended) {
  std::string file = Db4File();
  file.resize(24);
  MemoFixture fx(0x8B, file);
  HXO_dBaseFld t(fx.Dbf(), false, true);
  ASSERT_NE(t.MemoFile(), nullptr);
  EXPECT_EQ(fx.MemoBytes().size(), 512u);
  EXPECT_EQ(fx.MemoBytes().substr(18, 6), file.substr(18, 6));
}

TEST(HXobjMemo, CorruptMemoFilesAreReported) {
  const std::string bad = "Memo record is bad in T:\\T.";
  {
    MemoFixture fx(0x83, Db3File());
    HXO_dBaseFld t(fx.Dbf(), false, false);
    EXPECT_EQ(MessageOf([&] { t.MemoFile()->MemoLength(5); }), bad + "dbt");
    EXPECT_EQ(MessageOf([&] { t.MemoFile()->ReadMemo(0xFFFFFFFF); }), bad + "dbt");
  }
  {
    std::string file = FptFile(10);
    std::string block(64, '\0');
    SetBE32(block, 0, 1);
    SetBE32(block, 4, 0x7FFFFFF0);  // far beyond the end of the file
    file += block;
    SetBE32(block, 0, 7);  // no such block type
    SetBE32(block, 4, 3);
    file += block;
    MemoFixture fx(0xF5, file);
    HXO_dBaseFld t(fx.Dbf(), false, true);
    EXPECT_EQ(MessageOf([&] { t.MemoFile()->ReadMemo(8); }), bad + "fpt");
    EXPECT_EQ(MessageOf([&] { t.MemoFile()->MemoLength(8); }), bad + "fpt");
    EXPECT_EQ(MessageOf([&] { t.MemoFile()->ReadMemo(9); }), bad + "fpt");
    // Rewriting an unreadable memo puts the new one at the end.
    uint32_t blk = 8;
    EXPECT_EQ(t.MemoFile()->PutMemo("fresh", blk, 5), 10u);
    EXPECT_EQ(t.MemoFile()->ReadMemo(10), "fresh");
  }
  {
    std::string file = Db4File(3);
    file += std::string(512, 'q');  // no FF FF
    std::string block(512, '\0');
    block[0] = block[1] = '\xFF';
    SetLE32(block, 4, 4);  // shorter than its own header
    file += block;
    MemoFixture fx(0x8B, file);
    HXO_dBaseFld t(fx.Dbf(), false, false);
    EXPECT_EQ(MessageOf([&] { t.MemoFile()->ReadMemo(1); }), bad + "dbt");
    EXPECT_EQ(MessageOf([&] { t.MemoFile()->MemoLength(2); }), bad + "dbt");
  }
  {
    MemoFixture fx(0xF5, FptFile(8, 0));
    HXO_dBaseFld t(fx.Dbf(), false, false);
    EXPECT_EQ(MessageOf([&] { t.MemoFile(); }), bad + "fpt");
  }
  {
    std::string file = Db4File(1);
    SetLE32(file, 20, 0);
    MemoFixture fx(0x8B, file + std::string(512, '\0'));
    HXO_dBaseFld t(fx.Dbf(), false, false);
    EXPECT_EQ(MessageOf([&] { t.MemoFile(); }), bad + "dbt");
  }
  {
    MemoFixture fx(0xF5, "");
    HXO_dBaseFld t(fx.Dbf(), false, false);
    EXPECT_EQ(MessageOf([&] { t.MemoFile(); }), "File T:\\T.fpt could not be found");
  }
}

TEST(HXobjMemo, FoundAndRenamedWithTheirOwnSpelling) {
  MemoFixture fx(0xF5, FptFile(), 2, "FPT");
  {
    HXO_dBaseFld t(fx.Dbf(), false, true);
    ASSERT_NE(t.MemoFile(), nullptr);
    EXPECT_EQ(t.MemoFile()->FileName(), "T:\\T.FPT");
    t.RenameTo(fx.drive.Dos("NEWT.dbf"));
    EXPECT_EQ(t.MemoFile()->FileName(), "T:\\NEWT.FPT");
  }
  EXPECT_TRUE(std::filesystem::exists(fx.drive.Host("NEWT.FPT")));
  EXPECT_FALSE(std::filesystem::exists(fx.drive.Host("T.FPT")));

  MemoFixture db3(0x83, Db3File());
  {
    HXO_dBaseFld t(db3.Dbf(), false, true);
    t.RenameTo(db3.drive.Dos("LONGERNAME.dbf"));
  }
  const std::string file = ReadHostFile(db3.drive.Host("LONGERNAME.dbt"));
  EXPECT_EQ(file.substr(8, 9), std::string("LONGERNA\0", 9));
}

TEST(HXobjMemo, SharedWritesTakeTheMemoLock) {
  ShortLockWait shortWait;
  MemoFixture fx(0x83, Db3File());
  HXO_dBaseFld t(fx.Dbf(), true, true);
  uint32_t a = 0;
  EXPECT_EQ(t.MemoFile()->PutMemo("one", a, 3), 1u);
  EXPECT_EQ(t.MemoFile()->LockCount(), 0);

  // Another opener holds the memo lock: the write waits, then gives up.
  HXO_DiskFile other(fx.drive.Dos("T.dbt"), true, true);
  other.Open();
  ASSERT_TRUE(other.LockRange(0x7FFFFFFD, 1));
  uint32_t b = 0;
  EXPECT_EQ(MessageOf([&] { t.MemoFile()->PutMemo("two", b, 3); }), "Can not Lock file T:\\T.dbt");
  other.Unlock();
  EXPECT_EQ(t.MemoFile()->PutMemo("two", b, 3), 2u);

  // A protocol without memo locks never gets one.
  t.SetLockProtocol(9);
  EXPECT_EQ(MessageOf([&] { t.MemoFile()->PutMemo("three", b, 5); }), "Can not Lock file T:\\T.dbt");
  EXPECT_EQ(t.MemoFile()->ReadMemo(2), "two");
}
