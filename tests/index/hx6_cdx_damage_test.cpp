// Index files that are damaged, written by others with a collation the
// engine lacks, or enciphered: the engine reports them as corrupted or stops
// the walk, never crashes or hangs; general-collation tags read but refuse
// to be searched or changed; enciphered tables keep enciphered indexes.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "expr/hx6_sql.h"
#include "framework/bytes.h"
#include "index_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_encrxm.h"

using namespace indextest;

namespace {

// A table of `n` rows and its index with tags on NAME and AMOUNT; answers
// the index file's bytes.
std::string MakeIndexed(TempDrive& drive, int n) {
  std::vector<Row> rows;
  std::mt19937 rng(n);
  for (int i = 0; i < n; ++i)
    rows.push_back({std::string(1 + rng() % 8, char('A' + rng() % 26)), double(i % 50), ""});
  WriteTable(drive, "people.dbf", PeopleTable(rows));
  IndexedTable t(drive.Dos("people.dbf"));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.AddTag("AMOUNT", "AMOUNT", false, true, "NAME > 'B'");
  t.files.clear();
  return ReadHostFile(drive.Host("people.cdx"));
}

// Opens the index and walks and checks every tag. Answers "" when all went
// through, else the message of the engine error that stopped it. Anything
// but an engine error escapes and fails the test.
std::string OpenAndWalk(TempDrive& drive) {
  try {
    IndexedTable t(drive.Dos("people.dbf"), false, false);
    auto file = HxOpenIndexFile(&t, "people.cdx");
    for (int i = 0; i < file->TagCount(); ++i) {
      HXobjIndexTag& tag = *file->Tags(i);
      size_t n = 0;
      for (int64_t r = tag.First(); r != 0 && n < 100000; r = tag.Next()) ++n;
      if (n >= 100000) return "walk did not end";
      if (tag.KeyType() == hxKeyCharacter) tag.Seek(Text("M"));
    }
    HxCheckIndexFile(*file);
    return "";
  } catch (const EKeldorError& e) {
    return e.what();
  } catch (const EKeldorExpression& e) {
    return e.what();
  }
}

void Patch(std::string& bytes, size_t at, uint32_t value, int size = 4) {
  for (int i = 0; i < size; ++i) bytes[at + size_t(i)] = char(value >> (8 * i));
}

}  // namespace

TEST(CdxDamage, BadHeadersShortFilesAndImpossibleNodesAreCorrupted) {
  TempDrive drive;
  const std::string good = MakeIndexed(drive, 600);
  const std::string corrupted = FormatKeldorMessage(hxErrIndexCorrupted, "people.cdx");
  const uint32_t nameHeader = [&] {
    IndexedTable probe(drive.Dos("people.dbf"), false, false);
    auto f = HxOpenIndexFile(&probe, "people.cdx");
    return static_cast<uint32_t>(f->TagByName("NAME")->HeaderOffset());
  }();
  const uint32_t nameRoot = GetLE32(reinterpret_cast<const uint8_t*>(good.data()) + nameHeader);
  struct Case {
    const char* what;
    std::function<void(std::string&)> damage;
  };
  const std::vector<Case> cases = {
      {"root offset zero", [&](std::string& b) { Patch(b, nameHeader, 0); }},
      {"root offset off the block grid", [&](std::string& b) { Patch(b, nameHeader, nameRoot + 7); }},
      {"root offset past the end", [&](std::string& b) { Patch(b, nameHeader, uint32_t(b.size())); }},
      {"key length above 240", [&](std::string& b) { Patch(b, nameHeader + 12, 241, 2); }},
      {"key length zero", [&](std::string& b) { Patch(b, nameHeader + 12, 0, 2); }},
      {"empty key expression", [&](std::string& b) { b[nameHeader + 512] = 0; }},
      {"directory root zero", [&](std::string& b) { Patch(b, 0, 0); }},
      {"tag header beyond the end", [&](std::string& b) { b.resize(nameHeader + 700); }},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    c.damage(bytes);
    ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
    EXPECT_EQ(OpenAndWalk(drive), corrupted) << c.what;
  }
  // Impossible nodes: a key count no leaf can hold, a child pointing back at
  // the root (a loop), a child outside the file.
  {
    std::string bytes = good;
    Patch(bytes, nameRoot + 2, 9999, 2);
    ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
    EXPECT_EQ(OpenAndWalk(drive), FormatKeldorMessage(hxErrIndexCorrupted, drive.Dos("people.cdx")));
  }
  const uint8_t* root = reinterpret_cast<const uint8_t*>(good.data()) + nameRoot;
  ASSERT_LT(GetLE16(root), 2) << "the NAME tag needs an interior root for this test";
  {
    std::string bytes = good;
    uint8_t* e = reinterpret_cast<uint8_t*>(bytes.data()) + nameRoot + 12 + 10 + 4;
    PutBE32(e, nameRoot);
    ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
    EXPECT_EQ(OpenAndWalk(drive), FormatKeldorMessage(hxErrIndexCorrupted, drive.Dos("people.cdx")));
    PutBE32(e, 0x7FFFFE00);
    ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
    EXPECT_EQ(OpenAndWalk(drive), FormatKeldorMessage(hxErrIndexCorrupted, drive.Dos("people.cdx")));
  }
  ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), good));
  EXPECT_EQ(OpenAndWalk(drive), "");
}

TEST(CdxDamage, SiblingLoopsAreFoundByTheCheckWithoutHanging) {
  TempDrive drive;
  std::string bytes = MakeIndexed(drive, 600);
  IndexedTable t(drive.Dos("people.dbf"));
  {
    auto f = HxOpenIndexFile(&t, "people.cdx");
    HXobjIndexTag& tag = *f->TagByName("NAME");
    HXobjIndexKey root(&tag);
    tag.ReadNode(tag.RootOffset(), root);
    HXobjIndexKey leaf(&tag);
    tag.ReadNode(root.keys[1].Link(), leaf);
    Patch(bytes, size_t(leaf.offset) + 8, uint32_t(leaf.offset));  // its right sibling is itself
  }
  ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
  auto f = HxOpenIndexFile(&t, "people.cdx");
  const HxIndexCheckReport report = HxCheckIndexFile(*f);
  ASSERT_FALSE(report.Ok());
  EXPECT_NE(report.problems[0].find("right sibling"), std::string::npos) << report.problems[0];
  EXPECT_EQ(Walk(*f->TagByName("NAME")).size(), 600u);  // the walk does not follow siblings
}

// Truncations and random byte damage anywhere in the file: every outcome is
// an engine message or a clean walk, each within a bounded time.
TEST(CdxDamage, TruncatedAndScrambledFilesNeverCrashTheEngine) {
  TempDrive drive;
  const std::string good = MakeIndexed(drive, 400);
  for (size_t cut = 513; cut < good.size(); cut += 509) {
    ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), good.substr(0, cut)));
    EXPECT_NE(OpenAndWalk(drive), "walk did not end");
  }
  std::mt19937 rng(77);
  const auto start = std::chrono::steady_clock::now();
  int failures = 0;
  for (int round = 0; round < 120; ++round) {
    std::string bytes = good;
    const int flips = 1 + int(rng() % 6);
    for (int i = 0; i < flips; ++i) {
      const size_t at = 1024 + rng() % (bytes.size() - 1024);
      bytes[at] = char(rng() % 4 == 0 ? 0xFF : rng());
    }
    ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
    const std::string outcome = OpenAndWalk(drive);
    EXPECT_NE(outcome, "walk did not end");
    if (!outcome.empty()) ++failures;
  }
  EXPECT_GT(failures, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(CdxDamage, GeneralCollationTagsWalkInStoredOrderButRefuseChanges) {
  TempDrive drive;
  std::string bytes = MakeIndexed(drive, 50);
  uint32_t header;
  {
    IndexedTable t(drive.Dos("people.dbf"));
    auto f = HxOpenIndexFile(&t, "people.cdx");
    header = uint32_t(f->TagByName("NAME")->HeaderOffset());
  }
  std::memcpy(bytes.data() + header + 494, "GENERAL", 7);
  bytes[header + 15] = 2;
  ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
  IndexedTable t(drive.Dos("people.dbf"));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  HXobjIndexTag& name = *cdx.TagByName("NAME");
  EXPECT_FALSE(name.Orderable());
  EXPECT_EQ(Walk(name).size(), 50u);
  const std::string refusal = MessageOf([&] { name.Seek(Text("A")); });
  EXPECT_NE(refusal.find("Index tag NAME of file " + drive.Dos("people.cdx")), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("GENERAL"), std::string::npos) << refusal;
  // A write that leaves its key alone goes through; one that changes it is refused.
  t.GetRecord(3);
  t.Set("AMOUNT", "1.00");
  EXPECT_EQ(MessageOf([&] { t.PutRecord(3); }), "(no error)");
  t.GetRecord(3);
  t.Set("NAME", "CHANGED");
  EXPECT_EQ(MessageOf([&] { t.PutRecord(3); }), refusal);
  EXPECT_EQ(MessageOf([&] { cdx.Reindex(); }), refusal);
  EXPECT_EQ(Walk(name).size(), 50u);  // nothing was written into it
  // Other tags of the file still work, and the tag may be replaced.
  cdx.AddTag("NAME", "NAME", false, true, "");
  EXPECT_TRUE(cdx.TagByName("NAME")->Orderable());
  EXPECT_EQ(CheckProblems(cdx), "");
}

TEST(CdxEncryption, IndexesOfEncipheredTablesAreEnciphered) {
  TempDrive drive;
  const std::string password = "secret";
  DbfImage img = PeopleTable({{"CAROL", 1, ""}, {"ALICE", 2, ""}, {"BOB", 3, ""}});
  img.encrypted = 1;
  std::string bytes = tabletest::Bytes(img);
  // Descriptors and each record enciphered separately.
  const size_t header = 32 + 32 * img.fields.size() + 1;
  Transform(password, bytes.data() + 32, bytes.data() + 32, header - 33, 1);
  const size_t length = size_t(tabletest::RecordLengthOf(img.fields));
  for (size_t i = 0; i < img.records.size(); ++i)
    Transform(password, bytes.data() + header + i * length, bytes.data() + header + i * length, length, 1);
  ASSERT_TRUE(WriteHostFile(drive.Host("people.dbf"), bytes));
  {
    IndexedTable t(drive.Dos("people.dbf"), false, true, password);
    HXobjIndexFile& cdx = t.Open("people.cdx");
    cdx.AddTag("NAME", "NAME", false, true, "");
    EXPECT_EQ(Walk(*cdx.TagByName("NAME")), (std::vector<int64_t>{2, 3, 1}));
  }
  const std::string raw = ReadHostFile(drive.Host("people.cdx"));
  EXPECT_EQ(raw.find("ALICE"), std::string::npos);
  EXPECT_NE(GetLE32(reinterpret_cast<const uint8_t*>(raw.data())), 1024u);
  {
    IndexedTable t(drive.Dos("people.dbf"), false, true, password);
    HXobjIndexFile& cdx = t.Open("people.cdx");
    EXPECT_EQ(Walk(*cdx.TagByName("NAME")), (std::vector<int64_t>{2, 3, 1}));
    // Re-enciphered under another password, then read back with it.
    cdx.Recrypt(password, "other");
  }
  const std::string again = ReadHostFile(drive.Host("people.cdx"));
  std::string check = again.substr(0, 512);
  Transform("other", check.data(), check.data(), 512, 0);
  EXPECT_EQ(GetLE32(reinterpret_cast<const uint8_t*>(check.data())), 1024u);
}
