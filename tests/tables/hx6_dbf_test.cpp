#include "tables/hx6_dbf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

#include "platform/file.h"
#include "platform/system.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_date.h"
#include "tables/hx6_encrxm.h"
#include "tables/hx6_tool.h"

using tabletest::MessageOf;
using tabletest::ShortLockWait;

using tabletest::DbfImage;

namespace {

std::string Rec(const HXO_dBaseDBF& t) {
  return std::string(reinterpret_cast<const char*>(t.RecordBuffer()), t.RecordLength());
}

void SetRec(HXO_dBaseDBF& t, const std::string& bytes) {
  std::string r = bytes;
  r.resize(t.RecordLength(), ' ');
  std::memcpy(t.RecordBuffer(), r.data(), r.size());
}

uint32_t HeaderCount(const std::string& file) {
  return GetLE32(reinterpret_cast<const uint8_t*>(file.data()) + 4);
}

// Records every StatusUpdate.
class Recorder : public HXO_dBaseFld {
 public:
  using HXO_dBaseFld::HXO_dBaseFld;
  void StatusUpdate(int code, int64_t value) override {
    calls.push_back({code, value});
    HXO_dBaseFld::StatusUpdate(code, value);
  }
  std::vector<std::pair<int, int64_t>> calls;
};

}  // namespace

TEST(DbfTable, OpensWithCountFromFileSizeAndReadsRecords) {
  TempDrive drive;
  DbfImage img = tabletest::SampleTable(12);
  img.headerCount = 10;  // the header lies; the file size decides
  WriteHostFile(drive.Host("sample.dbf"), tabletest::Bytes(img));

  HXO_dBaseFld t(drive.Dos("SAMPLE"), true, false);  // ".DBF" added, case ignored
  EXPECT_EQ(t.FileName(), drive.Dos("SAMPLE.DBF"));
  EXPECT_EQ(t.Alias(), "SAMPLE");
  EXPECT_EQ(t.Version(), 0x03);
  EXPECT_EQ(t.RecordCount(), 12);
  EXPECT_EQ(t.HeaderLength(), 32u * 4 + 1);
  EXPECT_EQ(t.RecordLength(), 20u);
  EXPECT_EQ(t.FieldCount(), 3);
  EXPECT_EQ(t.RecNo(), 0);
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(Rec(t), std::string(20, ' '));
  EXPECT_EQ(t.RecordBuffer()[20], 0x1A);

  t.GetRecord(kGetFirst);
  EXPECT_EQ(t.RecNo(), 1);
  EXPECT_EQ(Rec(t), img.records[0]);
  t.GetRecord(kGetNext);
  EXPECT_EQ(Rec(t), img.records[1]);
  t.GetRecord(kGetLast);
  EXPECT_EQ(t.RecNo(), 12);
  EXPECT_EQ(Rec(t), img.records[11]);
  t.GetRecord(5);
  EXPECT_EQ(Rec(t), img.records[4]);
  EXPECT_EQ(std::memcmp(t.SavedRecord(), img.records[4].data(), 20), 0);
  t.GetRecord(kGetPrevious);
  EXPECT_EQ(t.RecNo(), 4);
  t.GetRecord(kGetCurrent);
  EXPECT_EQ(t.RecNo(), 4);
  t.GetRecord(0);  // nothing
  EXPECT_EQ(t.RecNo(), 4);

  // Previous on record 1 sets BOF and stays.
  t.GetRecord(1);
  t.GetRecord(kGetPrevious);
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.RecNo(), 1);

  // One past the end is EOF, two past is an error; the position stays.
  t.GetRecord(13);
  EXPECT_TRUE(t.Eof());
  EXPECT_FALSE(t.Bof());
  EXPECT_EQ(t.RecNo(), 1);
  t.GetRecord(12);
  t.GetRecord(kGetNext);
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(MessageOf([&] { t.GetRecord(14); }),
            "Record number 14 is not in table " + drive.Dos("SAMPLE.DBF"));
  EXPECT_EQ(MessageOf([&] { t.GetRecord(-6); }),
            "Record number -6 is not in table " + drive.Dos("SAMPLE.DBF"));
  EXPECT_EQ(t.RecNo(), 12);
}

TEST(DbfTable, GetRecordEdgesOfEmptyAndFreshTables) {
  TempDrive drive;
  WriteHostFile(drive.Host("empty.dbf"), tabletest::Bytes(tabletest::SampleTable(0)));
  HXO_dBaseFld t(drive.Dos("empty.dbf"), true, false);
  EXPECT_EQ(t.RecordCount(), 0);
  t.GetRecord(kGetFirst);
  EXPECT_TRUE(t.Bof());
  EXPECT_TRUE(t.Eof());

  WriteHostFile(drive.Host("two.dbf"), tabletest::Bytes(tabletest::SampleTable(2)));
  HXO_dBaseFld u(drive.Dos("two.dbf"), true, false);
  // Before any read there is no current record: previous and re-read stop at BOF.
  u.GetRecord(kGetCurrent);
  EXPECT_TRUE(u.Bof());
  EXPECT_EQ(u.RecNo(), 0);
  u.GetRecord(kGetPrevious);
  EXPECT_TRUE(u.Bof());
  u.GetRecord(kGetNext);  // from nothing, next is record 1
  EXPECT_EQ(u.RecNo(), 1);
}

TEST(DbfTable, PutAndAppendWriteRecordsHeaderAndEndMark) {
  TempDrive drive;
  WriteHostFile(drive.Host("data.dbf"), tabletest::Bytes(tabletest::SampleTable(2)));
  {
    Recorder t(drive.Dos("data.dbf"), false, true);
    t.calls.clear();
    t.GetRecord(2);
    SetRec(t, " CHANGED     1.00F");
    t.PutRecord(2);
    EXPECT_EQ(t.RecNo(), 2);
    EXPECT_FALSE(t.HeaderDirty());

    SetRec(t, "*NEWREC      2.00T");  // the flag byte becomes live on append
    t.AppendRecord();
    EXPECT_EQ(t.RecordCount(), 3);
    EXPECT_EQ(t.RecNo(), 3);
    EXPECT_FALSE(t.Eof());
    // PutRecord beyond the end appends as well.
    SetRec(t, " BEYOND      3.00T");
    t.PutRecord(99);
    EXPECT_EQ(t.RecordCount(), 4);

    std::vector<std::pair<int, int64_t>> want = {{4, 2}, {6, 2},  {5, 2}, {7, 2}, {5, 0},
                                                 {7, 0}, {5, 99}, {5, 0}, {7, 0}};
    EXPECT_EQ(t.calls, want);
  }
  std::string file = ReadHostFile(drive.Host("data.dbf"));
  const size_t hl = 129;
  ASSERT_EQ(file.size(), hl + 4 * 20 + 1);
  EXPECT_EQ(file.substr(hl + 20, 20), std::string(" CHANGED     1.00F").append(2, ' '));
  EXPECT_EQ(file.substr(hl + 40, 20), std::string(" NEWREC      2.00T").append(2, ' '));
  EXPECT_EQ(file.substr(hl + 60, 20), std::string(" BEYOND      3.00T").append(2, ' '));
  EXPECT_EQ(file.back(), '\x1A');
  EXPECT_EQ(HeaderCount(file), 4u);
  // The update date: year modulo 100 (2026 is 26), month, day.
  platform::LocalTime now = platform::Now();
  EXPECT_EQ(static_cast<uint8_t>(file[1]), now.year % 100);
  EXPECT_EQ(static_cast<uint8_t>(file[2]), now.month);
  EXPECT_EQ(static_cast<uint8_t>(file[3]), now.day);
  EXPECT_EQ(static_cast<uint8_t>(file[15]), 0);

  // Read-only tables refuse writes with the engine's message and keep their count.
  HXO_dBaseFld r(drive.Dos("data.dbf"), true, false);
  r.GetRecord(1);
  EXPECT_EQ(MessageOf([&] { r.AppendRecord(); }),
            "Error writing to " + drive.Dos("DATA.DBF").substr(0, 0) + drive.Dos("data.dbf"));
  EXPECT_EQ(r.RecordCount(), 4);
  EXPECT_EQ(r.RecNo(), 1);
  EXPECT_EQ(r.LockCount(), 0);  // the append lock was released
}

TEST(DbfTable, TableLockDefersHeaderWritesAndSharedOpenersSeeAppends) {
  TempDrive drive;
  WriteHostFile(drive.Host("shared.dbf"), tabletest::Bytes(tabletest::SampleTable(1)));
  HXO_dBaseFld a(drive.Dos("shared.dbf"), true, true);
  HXO_dBaseFld b(drive.Dos("shared.dbf"), true, true);
  a.SetUserID(7);

  ASSERT_TRUE(a.LockTable());
  EXPECT_TRUE(a.TableLocked());
  EXPECT_TRUE(a.LockTable());  // counts
  EXPECT_EQ(a.LockCount(), 2);
  EXPECT_FALSE(b.LockTable());
  EXPECT_FALSE(b.LockAppend());  // the append byte lies inside the table range
  SetRec(a, " UNDERLOCK");
  a.AppendRecord();
  a.AppendRecord();
  EXPECT_EQ(a.LockCount(), 2);
  std::string file = ReadHostFile(drive.Host("shared.dbf"));
  EXPECT_EQ(HeaderCount(file), 1u);  // header write deferred
  EXPECT_TRUE(a.HeaderDirty());
  a.UnlockTable();
  EXPECT_TRUE(a.TableLocked());
  EXPECT_EQ(HeaderCount(ReadHostFile(drive.Host("shared.dbf"))), 1u);
  a.UnlockTable();
  EXPECT_FALSE(a.TableLocked());
  file = ReadHostFile(drive.Host("shared.dbf"));
  EXPECT_EQ(HeaderCount(file), 3u);
  EXPECT_EQ(GetLE32(reinterpret_cast<const uint8_t*>(file.data()) + 20), 7u);

  // b learns about the records appended by a when it reads past its known end.
  EXPECT_EQ(b.RecordCount(), 1);
  b.GetRecord(3);
  EXPECT_EQ(b.RecNo(), 3);
  EXPECT_EQ(Rec(b).substr(0, 10), " UNDERLOCK");
  EXPECT_TRUE(b.HeaderChangedByOthers());

  // Whole-file lock: the same flag handling, and it grants full access.
  ASSERT_TRUE(a.LockWholeFile());
  EXPECT_TRUE(a.HasFullAccess());
  EXPECT_TRUE(a.LockRecord());  // only counts under the table lock
  a.UnlockTable();
  a.UnlockTable();
  EXPECT_EQ(a.LockCount(), 0);

  // Record locks: one byte per record, for the current record.
  a.GetRecord(2);
  ASSERT_TRUE(a.LockRecord());
  EXPECT_EQ(a.LockOffset(), a.HeaderLength() + 20u + 0x40000000u);
  b.GetRecord(2);
  EXPECT_FALSE(b.LockRecord());
  b.GetRecord(3);
  EXPECT_TRUE(b.LockRecord());
  b.UnlockTable();
  a.UnlockTable();
  a.SetLockProtocol(2);
  a.GetRecord(3);
  ASSERT_TRUE(a.LockRecord());
  EXPECT_EQ(a.LockOffset(), 1000000003u);
  a.UnlockTable();
  a.SetLockProtocol(7);
  EXPECT_FALSE(a.LockRecord());
}

TEST(DbfTable, RefusedAppendLockIsWaitedForThenRefused) {
  TempDrive drive;
  WriteHostFile(drive.Host("app.dbf"), tabletest::Bytes(tabletest::SampleTable(1)));
  HXO_dBaseFld a(drive.Dos("app.dbf"), true, true);
  HXO_dBaseFld b(drive.Dos("app.dbf"), true, true);
  ShortLockWait shortWait;

  ASSERT_TRUE(a.LockAppend());  // another writer is appending
  SetRec(b, " FROMB");
  EXPECT_EQ(MessageOf([&] { b.AppendRecord(); }), "Can not Lock file " + drive.Dos("app.dbf"));
  EXPECT_EQ(b.RecordCount(), 1);
  SetRec(a, " FROMA");
  a.AppendRecord();  // holds the append lock already: counts, then releases its level
  a.UnlockTable();
  EXPECT_EQ(a.LockCount(), 0);

  // Now b appends after a's record, never over it.
  b.AppendRecord();
  EXPECT_EQ(b.RecNo(), 3);
  a.GetRecord(2);
  EXPECT_EQ(Rec(a).substr(0, 6), " FROMA");
  a.GetRecord(3);
  EXPECT_EQ(Rec(a).substr(0, 6), " FROMB");

  // Holding a record lock of its own, the table cannot take the append lock:
  // refused at once rather than after a pointless wait.
  a.GetRecord(1);
  ASSERT_TRUE(a.LockRecord());
  EXPECT_EQ(MessageOf([&] { a.AppendRecord(); }), "Can not Lock file " + drive.Dos("app.dbf"));
  EXPECT_EQ(a.LockCount(), 1);
}

TEST(DbfTable, HeaderValidation) {
  TempDrive drive;
  auto open = [&](const std::string& name, const std::string& bytes) {
    WriteHostFile(drive.Host(name), bytes);
    return MessageOf([&] { HXO_dBaseFld t(drive.Dos(name), true, false); });
  };
  const std::string good = tabletest::Bytes(tabletest::SampleTable(2));
  auto invalid = [&](const std::string& name) {
    return "Table Header for " + drive.Dos(name) + " is invalid";
  };
  auto readError = [&](const std::string& name) { return "Error on Read of file " + drive.Dos(name); };

  EXPECT_EQ(MessageOf([&] { HXO_dBaseFld t(drive.Dos("missing"), true, false); }),
            "File " + drive.Dos("missing.DBF") + " could not be found");
  EXPECT_EQ(open("zero.dbf", ""), readError("zero.dbf"));
  EXPECT_EQ(open("short.dbf", good.substr(0, 31)), readError("short.dbf"));
  EXPECT_EQ(open("desc.dbf", good.substr(0, 70)), readError("desc.dbf"));  // descriptors cut off
  std::string v = good;
  v[0] = 0x02;
  EXPECT_EQ(open("version.dbf", v), invalid("version.dbf"));
  DbfImage img = tabletest::SampleTable(1);
  img.recordLengthOverride = 0;
  EXPECT_EQ(open("rl0.dbf", tabletest::Bytes(img)), invalid("rl0.dbf"));
  img = tabletest::SampleTable(1);
  img.recordLengthOverride = 10;  // fields need 20 bytes
  EXPECT_EQ(open("fit.dbf", tabletest::Bytes(img)), invalid("fit.dbf"));
  std::string hl = good;
  hl[8] = 20;  // shorter than the fixed part
  hl[9] = 0;
  EXPECT_EQ(open("hl.dbf", hl), invalid("hl.dbf"));
  img = tabletest::SampleTable(0);
  img.version = 0x30;
  img.extraArea = 0;  // a Visual FoxPro header must hold the 263-byte area
  img.headerLengthOverride = 200;
  EXPECT_EQ(open("vfp.dbf", tabletest::Bytes(img)), invalid("vfp.dbf"));
  // Header length beyond the end of the file (terminator and records missing).
  std::string cut = good.substr(0, 128);
  EXPECT_EQ(open("long.dbf", cut), invalid("long.dbf"));
  // Exactly the header, no records and no end mark: a valid empty table.
  EXPECT_EQ(open("bare.dbf", good.substr(0, 129)), "(no error)");

  // Headers that only look valid: a field of width 0, or a type byte that is
  // no letter or digit (their columns would read as garbage).
  img = tabletest::SampleTable(1);
  img.fields.push_back({"EMPTY", 'C', 0});
  EXPECT_EQ(open("w0.dbf", tabletest::Bytes(img)), invalid("w0.dbf"));
  img = tabletest::SampleTable(1);
  img.fields[1].width = 0;
  img.fields[1].decimals = 0;
  img.recordLengthOverride = 20;
  EXPECT_EQ(open("n0.dbf", tabletest::Bytes(img)), invalid("n0.dbf"));
  for (char type : {'\0', ' ', '\x01', '\x7F', '\xC1', '*'}) {
    img = tabletest::SampleTable(1);
    img.fields[1].type = type;
    EXPECT_EQ(open("type.dbf", tabletest::Bytes(img)), invalid("type.dbf")) << static_cast<int>(type);
  }

  img = tabletest::SampleTable(1);
  img.fields.push_back({"_NullFlags", '0', 1});
  img.fields.push_back({"N2", 'n', 3});
  EXPECT_EQ(open("digit.dbf", tabletest::Bytes(img)), "(no error)");
}

namespace {

// A dBase 7 table: the 32-byte header, a language-driver name, 48-byte descriptors.
std::string Dbase7Image(const std::vector<std::tuple<std::string, char, int, int>>& fields,
                        const std::vector<std::string>& records) {
  int rl = 1;
  for (const auto& f : fields) rl += std::get<2>(f);
  const int hl = 68 + 48 * static_cast<int>(fields.size()) + 1;
  std::string out(68, '\0');
  out[0] = 0x04;
  out[1] = 26;
  out[2] = 1;
  out[3] = 1;
  PutLE32(reinterpret_cast<uint8_t*>(out.data()) + 4, static_cast<uint32_t>(records.size()));
  PutLE16(reinterpret_cast<uint8_t*>(out.data()) + 8, static_cast<uint16_t>(hl));
  PutLE16(reinterpret_cast<uint8_t*>(out.data()) + 10, static_cast<uint16_t>(rl));
  out.replace(32, 8, "DBWINUS0");
  for (const auto& [name, type, width, decimals] : fields) {
    std::string d(48, '\0');
    d.replace(0, name.size(), name);
    d[32] = type;
    d[33] = static_cast<char>(width);
    d[34] = static_cast<char>(decimals);
    out += d;
  }
  out += '\x0D';
  for (const auto& r : records) out += r;
  return out + '\x1A';
}

std::string Be32(uint32_t v) {
  std::string s(4, '\0');
  PutBE32(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

}  // namespace

TEST(DbfTable, Dbase7LayoutReadsItsFields) {
  TempDrive drive;
  // Long names, text, numbers, dates, and the binary integers and doubles.
  const std::vector<std::tuple<std::string, char, int, int>> fields = {
      {"CUSTOMER_NAME_LONGER_THAN_TEN", 'C', 12, 0},
      {"AMOUNT", 'N', 8, 2},
      {"BORN", 'D', 8, 0},
      {"COUNTER", 'I', 4, 0},
      {"ID", '+', 4, 0},
      {"RATIO", 'O', 8, 0}};
  std::string ratio(8, '\0');  // 2.5, sign bit flipped
  PutBE32(reinterpret_cast<uint8_t*>(ratio.data()), 0xC0040000u);
  const std::string rec = std::string(" M\xFC") + "ller      " + "  123.45" + "20240131" +
                          Be32(0x80000000u - 5) + Be32(0x80000007u) + ratio;
  WriteHostFile(drive.Host("d7.dbf"), Dbase7Image(fields, {rec}));
  {
    HXO_dBaseFld t(drive.Dos("d7.dbf"), true, true);
    EXPECT_TRUE(t.Dbase7());
    ASSERT_EQ(t.FieldCount(), 6);
    EXPECT_EQ(t.FieldName(1), "CUSTOMER_NAME_LONGER_THAN_TEN");
    EXPECT_EQ(t.FieldNumber("customer_name_longer_than_ten"), 1);
    EXPECT_EQ(t.FieldOffset(6), 1 + 12 + 8 + 8 + 4 + 4);
    t.GetRecord(1);
    EXPECT_EQ(t.FieldText(1), "M\xFCller");
    EXPECT_EQ(t.GetNumberByName("AMOUNT"), 123.45);
    EXPECT_EQ(t.GetDate(3), DBFDate().ToJulian("20240131"));
    EXPECT_EQ(t.GetNumber(4), -5);
    EXPECT_EQ(t.GetNumberByName("ID"), 7);
    EXPECT_EQ(t.GetNumberByName("RATIO"), 2.5);
    // Written back in the same encodings.
    t.PutNumber(4, 1);
    t.PutNumber(6, -0.75);
    t.PutRecord(1);
    t.BlankRecord();
    t.AppendRecord();
  }
  const std::string file = ReadHostFile(drive.Host("d7.dbf"));
  const size_t hl = 68 + 48 * 6 + 1;
  EXPECT_EQ(file.substr(hl + 29, 4), Be32(0x80000001u));
  HXO_dBaseFld t(drive.Dos("d7.dbf"), true, false);
  t.GetRecord(1);
  EXPECT_EQ(t.GetNumber(6), -0.75);
  t.GetRecord(2);  // a blank record holds zeros, not blanks
  EXPECT_EQ(t.GetNumber(4), 0);
  EXPECT_EQ(t.GetNumber(6), 0);
  EXPECT_EQ(t.FieldText(1), "");

  // A dBase 7 header that does not add up is refused, not read as dBase IV.
  std::string bad = Dbase7Image(fields, {rec});
  bad[68 + 48 * 2 + 33] = 0;  // BORN of width 0
  WriteHostFile(drive.Host("bad7.dbf"), bad);
  EXPECT_EQ(MessageOf([&] { HXO_dBaseFld b(drive.Dos("bad7.dbf"), true, false); }),
            "Table Header for " + drive.Dos("bad7.dbf") + " is invalid");
}

namespace {

// Lets another opener act at the moment this one writes its header.
class HeaderRace : public HXO_dBaseFld {
 public:
  using HXO_dBaseFld::HXO_dBaseFld;
  std::function<void()> beforeHeaderWrite;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t count) override {
    if (offset == 0 && beforeHeaderWrite) {
      auto hook = std::move(beforeHeaderWrite);
      beforeHeaderWrite = nullptr;
      hook();
    }
    return HXO_dBaseFld::WriteAt(offset, buffer, count);
  }
};

}  // namespace

TEST(DbfTable, InPlaceRewritesNeverUndoAConcurrentAppend) {
  TempDrive drive;
  ShortLockWait shortWait;
  for (bool recordLocked : {false, true}) {
    SCOPED_TRACE(recordLocked ? "under a record lock" : "without a lock");
    WriteHostFile(drive.Host("race.dbf"), tabletest::Bytes(tabletest::SampleTable(2)));
    HeaderRace a(drive.Dos("race.dbf"), true, true);
    HXO_dBaseFld b(drive.Dos("race.dbf"), true, true);
    a.GetRecord(1);
    if (recordLocked) {
      ASSERT_TRUE(a.LockRecord());
    }
    SetRec(a, " CHANGED");
    // Another process appends between a's look at the file size and a's header write.
    bool appended = false;
    a.beforeHeaderWrite = [&] {
      SetRec(b, " APPENDED");
      try {
        b.AppendRecord();
        appended = true;
      } catch (const EKeldorError&) {
        // kept out by a's table lock
      }
    };
    a.PutRecord(1);
    if (recordLocked) a.UnlockTable();
    const std::string file = ReadHostFile(drive.Host("race.dbf"));
    const uint32_t inFile = static_cast<uint32_t>((file.size() - a.HeaderLength()) / a.RecordLength());
    EXPECT_EQ(inFile, appended ? 3u : 2u);
    EXPECT_EQ(HeaderCount(file), inFile);
    EXPECT_EQ(file.substr(a.HeaderLength(), 8), " CHANGED");
  }
}

TEST(DbfTable, AnInPlaceRewriteIsSeenByTheOthersRefreshHeader) {
  TempDrive drive;
  WriteHostFile(drive.Host("seen.dbf"), tabletest::Bytes(tabletest::SampleTable(2)));
  HXO_dBaseFld a(drive.Dos("seen.dbf"), true, true);
  HXO_dBaseFld b(drive.Dos("seen.dbf"), true, false);
  b.RefreshHeader();
  EXPECT_FALSE(b.HeaderChangedByOthers());
  // Rewrites in quick succession (several within one millisecond), with and
  // without a record lock: each one is a change for the other opener.
  for (int i = 0; i < 40; ++i) {
    a.GetRecord(1 + i % 2);
    const bool lockRecord = i % 3 == 0;
    if (lockRecord) {
      ASSERT_TRUE(a.LockRecord());
    }
    SetRec(a, " REWRITE" + std::to_string(i));
    a.PutRecord(a.RecNo());
    if (lockRecord) a.UnlockTable();
    b.RefreshHeader();
    EXPECT_TRUE(b.HeaderChangedByOthers()) << "rewrite " << i;
    EXPECT_EQ(b.RecordCount(), 2);
    b.RefreshHeader();
    EXPECT_FALSE(b.HeaderChangedByOthers()) << "rewrite " << i;
  }
}

TEST(DbfTable, DescriptorsEndAtTheTerminator) {
  TempDrive drive;
  // A dBase III table written with the 263-byte area that Visual FoxPro leaves.
  DbfImage img = tabletest::SampleTable(3);
  img.extraArea = 263;
  WriteHostFile(drive.Host("area.dbf"), tabletest::Bytes(img));
  HXO_dBaseFld t(drive.Dos("area.dbf"), true, false);
  EXPECT_EQ(t.FieldCount(), 3);
  EXPECT_EQ(t.RecordCount(), 3);
  t.GetRecord(3);
  EXPECT_EQ(Rec(t), img.records[2]);

  // Visual FoxPro: header length 296 + 32 n gives n fields.
  img.version = 0x30;
  img.flags = 0x01;
  WriteHostFile(drive.Host("vfp.dbf"), tabletest::Bytes(img));
  HXO_dBaseFld v(drive.Dos("vfp.dbf"), true, false);
  EXPECT_EQ(v.HeaderLength(), 296u + 3 * 32);
  EXPECT_EQ(v.FieldCount(), 3);
  EXPECT_TRUE(v.StructuralIndex());
  EXPECT_FALSE(v.HasMemo());  // flag bit 1 clear
  img.flags = 0x02;
  WriteHostFile(drive.Host("vfpm.dbf"), tabletest::Bytes(img));
  EXPECT_TRUE(HXO_dBaseFld(drive.Dos("vfpm.dbf"), true, false).HasMemo());

  // Memo fields with flag bit 1 left clear (as some writers do): the .fpt
  // beside the table still counts, so flush and rename take it along.
  img.flags = 0;
  img.fields.push_back({"NOTES", 'M', 4});
  img.records.assign(1, std::string(" x"));
  WriteHostFile(drive.Host("vfpnoflag.dbf"), tabletest::Bytes(img));
  EXPECT_FALSE(HXO_dBaseFld(drive.Dos("vfpnoflag.dbf"), true, false).HasMemo());
  WriteHostFile(drive.Host("vfpnoflag.FPT"), std::string(512, '\0'));
  EXPECT_TRUE(HXO_dBaseFld(drive.Dos("vfpnoflag.dbf"), true, false).HasMemo());

  // A table without fields (record length 1).
  DbfImage none;
  none.records = {" ", " "};
  WriteHostFile(drive.Host("none.dbf"), tabletest::Bytes(none));
  HXO_dBaseFld n(drive.Dos("none.dbf"), true, false);
  EXPECT_EQ(n.FieldCount(), 0);
  // With one-byte records the end mark is not taken for a third record.
  EXPECT_EQ(n.RecordCount(), 2);
}

TEST(DbfFields, EntriesOffsetsAndLookup) {
  TempDrive drive;
  DbfImage img;
  img.version = 0x83;
  img.fields = {{"NAME", 'C', 300}, {"Amount", 'N', 12, 2}, {"MEMO", 'M', 10}, {"WHEN", 'D', 8}};
  img.records = {" x"};
  WriteHostFile(drive.Host("f.dbf"), tabletest::Bytes(img));
  HXO_dBaseFld t(drive.Dos("f.dbf"), true, false);
  EXPECT_TRUE(t.HasMemo());
  ASSERT_EQ(t.FieldCount(), 4);
  EXPECT_EQ(t.RecordLength(), 331u);
  const ThxDBFFields* name = t.FieldEntry(1);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->name, "NAME");
  EXPECT_EQ(name->type, 'C');
  EXPECT_EQ(name->width, 44);  // the one-byte width; 300 = 44 + 256
  EXPECT_EQ(name->length, 300u);
  EXPECT_EQ(name->offset, 1u);
  EXPECT_EQ(t.FieldEntry(2)->offset, 301u);
  EXPECT_EQ(t.FieldEntry(2)->decimals, 2);
  EXPECT_EQ(t.FieldEntry(3)->offset, 313u);
  EXPECT_EQ(t.FieldEntry(4)->offset, 323u);
  EXPECT_EQ(t.FieldEntry(4)->number, 4);
  EXPECT_EQ(t.FieldEntry(0), nullptr);
  EXPECT_EQ(t.FieldEntry(5), nullptr);
  // In memory the descriptors carry offsets and numbers.
  EXPECT_EQ(GetLE32(t.Descriptor(3) + 12), 313u);
  EXPECT_EQ(GetLE16(t.Descriptor(3) + 26), 3);

  EXPECT_EQ(t.FieldNumber("name "), 1);
  EXPECT_EQ(t.FieldNumber("AMOUNT"), 2);
  EXPECT_EQ(t.FieldNumber("when"), 4);
  EXPECT_EQ(t.FieldNumber("NAM"), 0);
  EXPECT_EQ(t.FieldNumber(""), 0);
  EXPECT_EQ(&t.FieldEntryByName("Memo"), t.FieldEntry(3));
  EXPECT_EQ(MessageOf([&] { t.FieldEntryByName("CITY"); }),
            "There is no field name " + drive.Dos("f.dbf") + "->CITY");
}

TEST(DbfTable, EncryptedTablesNeedTheirPassword) {
  TempDrive drive;
  DbfImage img = tabletest::SampleTable(2);
  img.encrypted = 1;
  std::string bytes = tabletest::Bytes(img);
  const size_t hl = 129;
  // Encipher the descriptor area and each record the way the table does.
  Transform("pw", bytes.data() + 32, bytes.data() + 32, hl - 33, 1);
  for (size_t r = 0; r < 2; ++r)
    Transform("pw", bytes.data() + hl + r * 20, bytes.data() + hl + r * 20, 20, 1);
  WriteHostFile(drive.Host("sec.dbf"), bytes);
  WriteHostFile(drive.Host("plain.dbf"), tabletest::Bytes(tabletest::SampleTable(1)));

  EXPECT_EQ(MessageOf([&] { HXO_dBaseFld t(drive.Dos("sec.dbf"), true, true); }),
            "No Password for encrypted file " + drive.Dos("sec.dbf"));
  EXPECT_EQ(MessageOf([&] { HXO_dBaseFld t(drive.Dos("sec.dbf"), true, true, "wrong"); }),
            "Invalid Password for encrypted file s%");
  EXPECT_THROW(HXO_dBaseFld(drive.Dos("sec.dbf"), true, true, "wrong"), EKeldorEncryption);
  EXPECT_EQ(MessageOf([&] { HXO_dBaseFld t(drive.Dos("plain.dbf"), true, true, "pw"); }),
            "A Password is included for unencrypted file " + drive.Dos("plain.dbf"));

  {
    HXO_dBaseFld t(drive.Dos("sec.dbf"), true, true, "pw");
    EXPECT_TRUE(t.Encrypted());
    EXPECT_EQ(t.FieldEntry(2)->name, "AMOUNT");
    t.GetRecord(2);
    EXPECT_EQ(Rec(t), img.records[1]);
    SetRec(t, " SECRET");
    t.AppendRecord();
  }
  std::string file = ReadHostFile(drive.Host("sec.dbf"));
  EXPECT_EQ(file[15], 1);
  EXPECT_EQ(file.find("SECRET"), std::string::npos);  // written enciphered
  EXPECT_EQ(file.back(), '\x1A');
  HXO_dBaseFld again(drive.Dos("sec.dbf"), true, false, "pw");
  again.GetRecord(3);
  EXPECT_EQ(Rec(again).substr(0, 7), " SECRET");
}

TEST(DbfTable, RenameAndCaseInsensitiveNames) {
  TempDrive drive;
  WriteHostFile(drive.Host("NEWTable.dbf"), tabletest::Bytes(tabletest::SampleTable(2)));
  {
    HXO_dBaseFld t(drive.Dos("newtable.DBF"), false, true);
    EXPECT_EQ(t.RecordCount(), 2);
    t.RenameTo(drive.Dos("Renamed.dbf"));
    EXPECT_EQ(t.FileName(), drive.Dos("Renamed.dbf"));
    t.GetRecord(2);
    EXPECT_EQ(t.RecNo(), 2);
    // Exclusive: nobody else gets in while it is open.
    EXPECT_EQ(MessageOf([&] { HXO_dBaseFld u(drive.Dos("RENAMED.DBF"), true, false); }),
              "Access denied to file " + drive.Dos("RENAMED.DBF"));
  }
  EXPECT_FALSE(platform::FileExists(drive.Dos("newtable.dbf")));
  HXO_dBaseFld r(drive.Dos("RENAMED.DBF"), true, true);
  EXPECT_EQ(r.RecordCount(), 2);
}

TEST(DbfTable, FlushReportsAndClosingWritesAPendingHeader) {
  TempDrive drive;
  WriteHostFile(drive.Host("fl.dbf"), tabletest::Bytes(tabletest::SampleTable(1)));
  {
    Recorder t(drive.Dos("fl.dbf"), false, true);
    t.GetRecord(1);
    t.calls.clear();
    t.Flush();
    ASSERT_EQ(t.calls.size(), 1u);
    EXPECT_EQ(t.calls[0], (std::pair<int, int64_t>{8, 1}));
    ASSERT_TRUE(t.LockTable());
    t.AppendRecord();
    EXPECT_TRUE(t.HeaderDirty());
    // Closed while the table lock is still held: the header is written anyway.
  }
  EXPECT_EQ(HeaderCount(ReadHostFile(drive.Host("fl.dbf"))), 2u);
}
