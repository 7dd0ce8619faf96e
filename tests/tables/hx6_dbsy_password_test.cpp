// SetPassword: records, memos and descriptors re-enciphered; a failure puts
// the table back the way it was.
#include <gtest/gtest.h>

#include <cstring>

#include "hx6_dbsy_test_util.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbsy.h"

using tabletest::MessageOf;

namespace {

const char* const kNotes[] = {"first memo", "",
                              "a rather longer memo text that spans more than one block of "
                              "sixty-four bytes in a FoxPro memo file, and then some",
                              "x"};

// NAME C 10, NOTE M, four records with the memos above, version `version`
// (0xF5 with an .fpt, 0x83 with a dBase III .dbt).
struct MemoTable {
  TempDrive drive;
  uint8_t version;
  explicit MemoTable(uint8_t v) : version(v) {
    tabletest::DbfImage img;
    img.version = v;
    img.fields = {{"NAME", 'C', 10}, {"NOTE", 'M', 10}};
    for (int i = 1; i <= 4; ++i) img.records.push_back(" NAME" + std::to_string(i));
    WriteHostFile(drive.Host("m.dbf"), tabletest::Bytes(img));
    std::string memo(512, '\0');
    if (v == 0xF5) {
      memo[3] = 8;   // next free block, big-endian
      memo[7] = 64;  // block size
      WriteHostFile(drive.Host("m.fpt"), memo);
    } else {
      memo[0] = 1;
      WriteHostFile(drive.Host("m.dbt"), memo + '\x1A');
    }
    HXO_dBHandler h(Dbf(), false, true);
    for (int i = 1; i <= 4; ++i) {
      h.GetRecord(i);
      h.PutStringByName("NOTE", kNotes[i - 1]);
      h.PutRecord(i);
    }
  }
  std::string Dbf() const { return drive.Dos("m.dbf"); }
  std::string Bytes() const { return ReadHostFile(drive.Host("m.dbf")); }
  std::string Records() const {
    std::string b = Bytes();
    const uint16_t hl = static_cast<uint16_t>(uint8_t(b[8]) | uint8_t(b[9]) << 8);
    return b.substr(hl);
  }
  // Every name and memo reads back under `password`.
  void ExpectReadable(const std::string& password) const {
    HXO_dBHandler h(Dbf(), false, false, password);
    EXPECT_EQ(h.Encrypted(), !password.empty());
    EXPECT_EQ(h.RecordCount(), 4);
    for (int i = 1; i <= 4; ++i) {
      h.GetRecord(i);
      EXPECT_EQ(h.FieldText(1), "NAME" + std::to_string(i));
      EXPECT_EQ(h.FieldText(2), kNotes[i - 1]);
    }
  }
};

// Fails the n-th record write.
class FailingHandler : public HXO_dBHandler {
 public:
  using HXO_dBHandler::HXO_dBHandler;
  int failAt = -1;
  int writes = 0;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t count) override {
    if (offset >= HeaderLength() && count == RecordLength() && ++writes == failAt)
      throw EKeldorError("injected write failure");
    return HXO_dBHandler::WriteAt(offset, buffer, count);
  }
};

}  // namespace

class HandlerPassword : public ::testing::TestWithParam<uint8_t> {};

TEST_P(HandlerPassword, EnciphersChangesAndRemovesThePassword) {
  MemoTable t(GetParam());
  const std::string plainRecords = t.Records();
  {
    HXO_dBHandler h(t.Dbf(), false, true);
    h.GetRecord(2);
    h.SetPassword("secret");
    EXPECT_EQ(h.RecNo(), 2);  // the current record is read again
    EXPECT_EQ(h.FieldText(1), "NAME2");
    EXPECT_TRUE(h.Encrypted());
  }
  EXPECT_EQ(t.Bytes()[15], 1);
  EXPECT_EQ(t.Records().find("NAME1"), std::string::npos);
  t.ExpectReadable("secret");
  EXPECT_EQ(MessageOf([&] { HXO_dBHandler h(t.Dbf(), false, false); }),
            FormatKeldorMessage(hxErrNoPassword, t.Dbf()));

  {
    HXO_dBHandler h(t.Dbf(), false, true, "secret");
    h.SetBuffering(true);  // the walks of SetPassword and the reads after it go through the window
    h.SetPassword("other");
    h.GetRecord(kGetFirst);
    EXPECT_EQ(h.FieldText(2), kNotes[0]);
  }
  t.ExpectReadable("other");

  {
    HXO_dBHandler h(t.Dbf(), false, true, "other");
    h.SetPassword("");
    EXPECT_FALSE(h.Encrypted());
  }
  EXPECT_EQ(t.Bytes()[15], 0);
  t.ExpectReadable("");
  if (GetParam() == 0xF5) {
    EXPECT_EQ(t.Records(), plainRecords);  // memos stayed in place
  }
}

TEST_P(HandlerPassword, AFailureHalfWayLeavesTheTableUnderItsOldPassword) {
  MemoTable t(GetParam());
  {
    HXO_dBHandler h(t.Dbf(), false, true);
    h.SetPassword("first");
  }
  for (int failAt : {1, 3, 4}) {
    FailingHandler h(t.Dbf(), false, true, "first");
    h.failAt = failAt;
    EXPECT_EQ(MessageOf([&] { h.SetPassword("second"); }), "injected write failure");
    EXPECT_EQ(h.ReadPassword(), "first");
    h.GetRecord(kGetFirst);
    EXPECT_EQ(h.FieldText(2), kNotes[0]);
  }
  t.ExpectReadable("first");
}

INSTANTIATE_TEST_SUITE_P(Memos, HandlerPassword, ::testing::Values(uint8_t{0xF5}, uint8_t{0x83}),
                         [](const auto& info) { return info.param == 0xF5 ? "FoxPro" : "DBaseIII"; });

TEST(HandlerPasswordChecks, RefusedWhereItCannotBeDoneAndNothingForTheSamePassword) {
  MemoTable t(0xF5);
  const std::string before = t.Bytes();
  {
    HXO_dBHandler h(t.Dbf(), true, true);
    EXPECT_EQ(MessageOf([&] { h.SetPassword("x"); }),
              FormatKeldorMessage(hxErrFullAccess, "SetPassword", t.Dbf()));
  }
  {
    HXO_dBHandler h(t.Dbf(), false, false);
    EXPECT_EQ(MessageOf([&] { h.SetPassword("x"); }),
              FormatKeldorMessage(hxErrFullAccess, "SetPassword", t.Dbf()));
    h.SetPassword("");  // plain stays plain: nothing to do, nothing written
  }
  EXPECT_EQ(t.Bytes(), before);

  // A memo that cannot be read stops the change before anything is written.
  std::string bad = before;
  const uint16_t hl = static_cast<uint16_t>(uint8_t(bad[8]) | uint8_t(bad[9]) << 8);
  std::memcpy(&bad[hl + 2 * 21 + 11], "    999999", 10);  // record 3's memo far past the end
  WriteHostFile(t.drive.Host("m.dbf"), bad);
  HXO_dBHandler h(t.Dbf(), false, true);
  EXPECT_EQ(MessageOf([&] { h.SetPassword("x"); }),
            FormatKeldorMessage(hxErrMemoRecordBad, t.drive.Dos("m.fpt")));
  EXPECT_FALSE(h.Encrypted());
  EXPECT_EQ(t.Bytes(), bad);
}
