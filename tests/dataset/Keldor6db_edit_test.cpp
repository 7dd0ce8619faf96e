// Editing through the table dataset: edit, insert and append at the end,
// post, cancel, delete with the cursor moving on, recall, refresh, the state
// and field checks, and memo fields as streams. Record locks between two
// processes are in Keldor6db_edit_posix_test.cpp.
#include <gtest/gtest.h>

#include "dataset/Keldor6db.h"
#include "dataset_test_util.h"
#include "platform/text.h"
#include "tables/hx6_dbf.h"

using namespace dstest;

TEST(KeldorDataSetEdit, PostWritesBackOrAppendsAtTheEndAndCancelWritesNothing) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  const std::string before = f.Read("p.dbf");
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  ds->SetRecNo(2);
  ds->Edit();
  EXPECT_EQ(ds->State(), TDataSetState::dsEdit);
  ds->FieldByName("NAME")->SetAsString("Johns");
  EXPECT_EQ(ds->FieldByName("NAME")->OldValue().AsString(), "Jones");
  ds->Cancel();
  EXPECT_EQ(f.Read("p.dbf"), before);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Jones");

  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("Johns");
  ds->Post();
  EXPECT_EQ(ds->RecNo(), 2);
  std::string file = f.Read("p.dbf");
  EXPECT_EQ(RecordBytes(file, 2), " Johns     London       20.00");
  EXPECT_EQ(RecordsInFile(file), 8);

  // Insert in the middle: the new record still goes to the end.
  ds->SetRecNo(3);
  ds->Insert();
  EXPECT_EQ(ds->RecNo(), 0);
  EXPECT_EQ(ds->FieldByName("AMOUNT")->AsFloat(), 0);  // a blank record holds zeros in numbers
  ds->FieldByName("NAME")->SetAsString("Ivy");
  ds->Post();
  EXPECT_EQ(ds->RecNo(), 9);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Ivy");
  ds->Append();
  ds->FieldByName("NAME")->SetAsString("Zed");
  ds->FieldByName("AMOUNT")->SetAsFloat(1.5);
  ds->Post();
  EXPECT_EQ(ds->RecNo(), 10);
  ds->AppendRecord({Variant("Whole"), Variant("Oslo"), Variant(2.25)});
  ds->Append();
  ds->Cancel();  // nothing written
  file = f.Read("p.dbf");
  EXPECT_EQ(RecordsInFile(file), 11);
  EXPECT_EQ(RecordBytes(file, 9), " Ivy                     0.00");
  EXPECT_EQ(RecordBytes(file, 10), " Zed                     1.50");
  EXPECT_EQ(RecordBytes(file, 11), " Whole     Oslo          2.25");
  EXPECT_EQ(file.back(), '\x1A');
  EXPECT_EQ(ds->RecordCount(), 11);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Whole");
}

TEST(KeldorDataSetEdit, StateAndFieldChecksUseTheirOwnMessages) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  MakeCdx(f.Dos("p.dbf"), "p.cdx", {{"NAME", "NAME", ""}});
  auto ds = f.DataSet("p.dbf");
  ds->IndexFiles().Add("p.cdx");
  ds->Open();
  TField* name = ds->FieldByName("NAME");
  EXPECT_EQ(MessageOf([&] { name->SetAsString("x"); }), "Dataset not in edit or insert mode");
  name->SetReadOnly(true);
  ds->Edit();
  EXPECT_EQ(MessageOf([&] { name->SetAsString("x"); }), "Field 'NAME' cannot be modified");
  EXPECT_EQ(MessageOf([&] { ds->CreateBlobStream(name, TBlobStreamMode::bmWrite); }),
            "Field 'NAME' cannot be modified");
  ds->Cancel();
  name->SetReadOnly(false);
  // Key state: only the active tag's fields take values.
  ds->SetIndexName("NAME");
  ds->SetKey();
  name->SetAsString("Adams");
  EXPECT_EQ(MessageOf([&] { ds->FieldByName("CITY")->SetAsString("x"); }),
            "Field 'CITY' is not indexed and cannot be modified");
  ds->Cancel();
  ds->Close();
  // A read-only dataset refuses edits with the framework's message.
  ds->SetReadOnly(true);
  ds->Open();
  EXPECT_EQ(MessageOf([&] { ds->Edit(); }), "ds: Cannot modify a read-only dataset");
  EXPECT_EQ(MessageOf([&] { ds->Delete(); }), "ds: Cannot modify a read-only dataset");
  // The handler has no write access: asking for write access while open
  // does not give it.
  ds->SetReadOnly(false);
  EXPECT_TRUE(ds->ReadOnly());
  ds->Close();
  ds->SetReadOnly(false);
  ds->Open();
  ds->SetReadOnly(false);
  EXPECT_FALSE(ds->ReadOnly());
  ds->SetReadOnly(true);
  EXPECT_TRUE(ds->ReadOnly());
}

TEST(KeldorDataSetEdit, DeleteMovesToTheNextRecordOrTheLastAndRecallBringsItBack) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  ds->SetRecNo(3);  // Brown
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Adams");
  EXPECT_EQ(RecordBytes(f.Read("p.dbf"), 3)[0], '*');
  ds->Last();  // Baker
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Evans");  // the record before it
  EXPECT_TRUE(ds->Eof() || ds->RecNo() == 7);
  ds->Next();
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Smith", "Jones", "Adams", "Clark", "Evans"}));

  // A delete during an edit gives the lock back first and deletes all the same.
  ds->First();
  ds->Edit();
  ds->Delete();
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Jones");

  ds->SetUseDeleted(true);
  ds->Refresh();
  ds->SetRecNo(3);
  EXPECT_EQ(RecordBytes(f.Read("p.dbf"), 3)[0], '*');
  ds->Recall();
  EXPECT_EQ(RecordBytes(f.Read("p.dbf"), 3)[0], ' ');
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Brown");
  EXPECT_TRUE(ds->UseDeleted());
  ds->SetUseDeleted(false);
  ds->Refresh();
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Jones", "Brown", "Adams", "Clark", "Evans"}));

  // Deleting every record leaves an empty dataset.
  while (!ds->IsEmpty()) ds->Delete();
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->RecordCount(), 8);
}

TEST(KeldorDataSetEdit, RefreshShowsWhatAnotherWriterChangedAndFiltersItAgain) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  auto ds = f.DataSet("p.dbf");
  ds->SetFilter("CITY = \"Paris\"");
  ds->SetFiltered(true);
  ds->Open();
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Smith", "Brown"}));
  {
    HXO_dBaseFld other(f.Dos("p.dbf"), true, true);
    other.GetRecord(4);
    other.PutString(2, "Paris");
    other.PutRecord(4);
    other.GetRecord(1);
    other.PutString(1, "Smythe");
    other.PutRecord(1);
  }
  ds->First();
  ds->Refresh();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Smythe");
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Smythe", "Brown", "Adams"}));
}

namespace {

// NAME C 10, NOTES M 10 in a FoxPro table with its memo file.
void WriteMemoTable(const DataFolder& f, const std::vector<std::string>& memos) {
  std::vector<int> blocks;
  f.WriteBytes("m.fpt", FptImage(memos, &blocks));
  DbfImage img;
  img.version = 0xF5;
  img.fields = {{"NAME", 'C', 10}, {"NOTES", 'M', 10}};
  for (size_t i = 0; i < memos.size(); ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " R%-9zu%10d", i + 1, blocks[i]);
    img.records.push_back(buf);
  }
  img.records.push_back(" EMPTY               ");  // no memo
  f.Write("m.dbf", img);
}

std::string ReadAll(TStream& s) {
  std::string out;
  char buf[7];
  for (int64_t n; (n = s.Read(buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  return out;
}

}  // namespace

TEST(KeldorDataSetMemo, StreamsReadWriteAndTranslateMemoText) {
  DataFolder f;
  WriteMemoTable(f, {"first memo",
                     "Gr\x94\xE1"
                     "e"});
  auto ds = f.DataSet("m.dbf");
  ds->Open();
  TField* notes = ds->FieldByName("NOTES");
  EXPECT_EQ(notes->DataType(), TFieldType::ftMemo);
  EXPECT_EQ(notes->AsString(), "first memo");
  {
    auto s = ds->CreateBlobStream(notes, TBlobStreamMode::bmRead);
    char buf[5];
    EXPECT_EQ(s->Read(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "first");
    EXPECT_EQ(s->Seek(-4, TSeekOrigin::soEnd), 6);
    EXPECT_EQ(ReadAll(*s), "memo");
    EXPECT_EQ(s->Read(buf, 5), 0);
    EXPECT_EQ(s->Write("x", 1), 0);  // a read stream takes nothing
  }
  EXPECT_EQ(MessageOf([&] { ds->CreateBlobStream(notes, TBlobStreamMode::bmWrite); }),
            "Dataset not in edit or insert mode");
  ds->Next();
  EXPECT_EQ(platform::AnsiToUtf8(notes->AsString()), "Größe");  // OEM on disk, ANSI here
  ds->Next();
  EXPECT_TRUE(notes->IsNull());  // block 0
  EXPECT_EQ(notes->AsString(), "");

  // Write mode starts empty; read-write keeps the text; a write past the
  // end fills the gap with blanks.
  ds->First();
  ds->Edit();
  {
    auto s = ds->CreateBlobStream(notes, TBlobStreamMode::bmReadWrite);
    EXPECT_EQ(s->Seek(3, TSeekOrigin::soEnd), 13);
    EXPECT_EQ(s->Write("end", 3), 3);
    EXPECT_EQ(s->Seek(0, TSeekOrigin::soBeginning), 0);
    EXPECT_EQ(ReadAll(*s), "first memo   end");
  }  // released without Commit: still written
  EXPECT_EQ(notes->AsString(), "first memo   end");
  ds->Post();
  {
    auto s = ds->CreateBlobStream(notes, TBlobStreamMode::bmRead);
    EXPECT_EQ(ReadAll(*s), "first memo   end");
  }
  ds->Edit();
  {
    auto s = ds->CreateBlobStream(notes, TBlobStreamMode::bmWrite);
    EXPECT_EQ(s->Size(), 0);
    s->Write(
        "Stra\xDF"
        "e",
        6);  // ANSI
    s->Commit();
  }
  ds->Post();
  ds->Last();
  ds->Edit();
  notes->SetAsString("new memo");  // into a record that had none
  ds->Post();
  ds->Close();

  HXO_dBaseFld raw(f.Dos("m.dbf"), false, false);
  raw.GetRecord(1);
  EXPECT_EQ(raw.ReadMemoText(2),
            "Stra\xE1"
            "e");  // OEM on disk
  raw.GetRecord(3);
  EXPECT_EQ(raw.ReadMemoText(2), "new memo");
}
