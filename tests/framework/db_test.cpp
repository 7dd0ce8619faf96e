#include "framework/db.h"

#include <gtest/gtest.h>

#include "framework/memory_dataset.h"
#include "support/scoped_env.h"

namespace {

using S = TDataSetState;

template <class F>
void ExpectDbError(F action, const std::string& text) {
  try {
    action();
    ADD_FAILURE() << "no error, expected: " << text;
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), text);
  }
}

// NAME C(10), QTY integer, PRICE float; row i has QTY i and PRICE i.5.
TMemoryDataSet* Goods(TComponent& form, const std::string& name, const std::vector<std::string>& names) {
  auto* ds = TComponent::Create<TMemoryDataSet>(form);
  ds->SetName(name);
  ds->defs = {{"NAME", TFieldType::ftString, 10},
              {"QTY", TFieldType::ftInteger, 0},
              {"PRICE", TFieldType::ftFloat, 0}};
  int i = 1;
  for (const std::string& n : names) {
    ds->AddRow({n, std::to_string(i), std::to_string(i) + ".5"});
    ++i;
  }
  return ds;
}

std::vector<std::string> Column(TDataSet& ds, const char* field = "NAME") {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(field)->AsString());
  return out;
}

// A grid-like link: wants several rows and lists what the window holds.
class GridLink : public TDataLink {
 public:
  std::vector<int> scrolls;
  int activeChanges = 0;
  std::string Rows() {
    std::string out;
    int keep = ActiveRecord();
    for (int i = 0; i < RecordCount(); ++i) {
      SetActiveRecord(i);
      std::string name = DataSet()->FieldByName("NAME")->AsString();
      out += (name.empty() ? "_" : name) + (i == keep ? "* " : " ");
    }
    SetActiveRecord(keep);
    return out;
  }

 protected:
  void DataSetScrolled(int distance) override { scrolls.push_back(distance); }
  void ActiveChanged() override { ++activeChanges; }
};

class DataSetTest : public ::testing::Test {
 protected:
  ScopedEnv lcAll_{"LC_ALL", std::nullopt};
  ScopedEnv lcNumeric_{"LC_NUMERIC", std::string("C")};
  ScopedEnv oemCp_{"VELUPDATE_OEMCP", std::nullopt};
  TComponent form;
};

}  // namespace

TEST_F(DataSetTest, OpensWithDefaultFieldsAndNamesItselfInItsOwnMessages) {
  TMemoryDataSet* ds = Goods(form, "tbNewTable", {"A", "B"});
  std::vector<std::string> log;
  ds->BeforeOpen = [&](TDataSet*) { log.push_back("BeforeOpen"); };
  ds->AfterOpen = [&](TDataSet*) { log.push_back("AfterOpen"); };
  ds->BeforeScroll = [&](TDataSet*) { log.push_back("BeforeScroll"); };
  ds->AfterScroll = [&](TDataSet*) { log.push_back("AfterScroll"); };
  ds->BeforeClose = [&](TDataSet*) { log.push_back("BeforeClose"); };
  ds->AfterClose = [&](TDataSet*) { log.push_back("AfterClose"); };

  ExpectDbError([&] { ds->Next(); }, "tbNewTable: Cannot perform this operation on a closed dataset");
  ExpectDbError([&] { ds->Edit(); }, "tbNewTable: Cannot perform this operation on a closed dataset");
  // The subclass's own check is plain.
  ExpectDbError([&] { ds->RecordCount(); }, "Cannot perform this operation on a closed dataset");

  ds->Open();
  ds->Open();  // opening an open dataset changes nothing
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "BeforeScroll", "AfterScroll", "AfterOpen"}));
  EXPECT_TRUE(ds->Active());
  EXPECT_EQ(ds->State(), S::dsBrowse);
  EXPECT_TRUE(ds->DefaultFields());
  ASSERT_EQ(ds->FieldCount(), 3);
  EXPECT_TRUE(ds->Bof());
  EXPECT_FALSE(ds->Eof());
  TField* name = ds->FieldByName("name");
  EXPECT_EQ(name->FieldName(), "NAME");
  EXPECT_NE(dynamic_cast<TStringField*>(name), nullptr);
  EXPECT_EQ(name->Size(), 10);
  EXPECT_NE(dynamic_cast<TIntegerField*>(ds->Fields()[1]), nullptr);
  EXPECT_EQ(ds->Fields()[2]->FieldNo(), 3);
  EXPECT_EQ(ds->Fields()[2]->Index(), 2);
  EXPECT_EQ(name->AsString(), "A");
  ExpectDbError([&] { ds->FieldByName("X"); }, "tbNewTable: Field 'X' not found");
  ExpectDbError([&] { ds->GetFieldList("NAME; QTY ;NOPE"); }, "tbNewTable: Field 'NOPE' not found");
  EXPECT_EQ(ds->GetFieldList(" NAME; QTY ").size(), 2u);
  ExpectDbError([&] { ds->Fields()[3]; }, "tbNewTable: Field index out of range");
  ExpectDbError([&] { ds->FieldDefs().Add("name", TFieldType::ftInteger); },
                "tbNewTable: Duplicate field name 'name'");

  log.clear();
  ds->Close();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeClose", "AfterClose"}));
  EXPECT_EQ(ds->State(), S::dsInactive);
  EXPECT_EQ(ds->FieldCount(), 0);
  EXPECT_EQ(form.ComponentCount(), 1);  // the default fields are gone with the close
  EXPECT_EQ(ds->FindField("NAME"), nullptr);
}

TEST_F(DataSetTest, PersistentFieldsAreBoundByNameAndCheckedAgainstTheDefinitions) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A"});
  auto* name = TComponent::Create<TStringField>(form);
  name->SetFieldName("NAME");
  name->SetSize(10);
  name->SetDataSet(ds);
  auto* total = TComponent::Create<TFloatField>(form);
  total->SetFieldName("TOTAL");
  total->SetCalculated(true);
  total->SetDataSet(ds);

  ds->Open();
  EXPECT_FALSE(ds->DefaultFields());
  EXPECT_EQ(ds->FieldCount(), 2);
  EXPECT_EQ(name->FieldNo(), 1);
  EXPECT_EQ(total->FieldNo(), 0);
  EXPECT_EQ(ds->CalcFieldsSize(), 9);
  EXPECT_EQ(name->AsString(), "A");
  auto* late = TComponent::Create<TIntegerField>(form);
  late->SetFieldName("QTY");
  ExpectDbError([&] { late->SetDataSet(ds); }, "tbGoods: Cannot perform this operation on an open dataset");
  ExpectDbError([&] { name->SetSize(12); }, "tbGoods: Cannot perform this operation on an open dataset");
  ds->Close();
  EXPECT_EQ(ds->FieldCount(), 2);  // persistent fields stay
  EXPECT_EQ(name->FieldNo(), 0);

  auto* dup = TComponent::Create<TStringField>(form);
  dup->SetFieldName("name");
  ExpectDbError([&] { dup->SetDataSet(ds); }, "tbGoods: Duplicate field name 'name'");

  name->SetSize(8);
  ExpectDbError([&] { ds->Open(); }, "tbGoods: Size mismatch for field 'NAME', expecting: 8 actual: 10");
  EXPECT_FALSE(ds->Active());
  name->SetSize(10);
  auto* ghost = TComponent::Create<TIntegerField>(form);
  ghost->SetFieldName("PRICE");
  ghost->SetDataSet(ds);
  ExpectDbError([&] { ds->Open(); },
                "tbGoods: Type mismatch for field 'PRICE', expecting: Integer actual: Float");
  ghost->SetFieldName("GHOST");
  ExpectDbError([&] { ds->Open(); }, "tbGoods: Field 'GHOST' not found");
  ghost->SetDataSet(nullptr);
  auto* calcMemo = TComponent::Create<TMemoField>(form);
  calcMemo->SetFieldName("REMARK");
  calcMemo->SetCalculated(true);
  calcMemo->SetDataSet(ds);
  ExpectDbError([&] { ds->Open(); }, "tbGoods: Fields of type Memo cannot be calculated");
  EXPECT_FALSE(ds->Active());
  // A field freed while attached leaves the list.
  form.RemoveComponent(calcMemo);
  EXPECT_EQ(ds->FieldCount(), 2);
  ds->Open();
  EXPECT_TRUE(ds->Active());
}

TEST_F(DataSetTest, NavigatesVisibleRowsAndReportsTheEnds) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B", "C", "D", "E"});
  ds->rows[1].deleted = true;
  ds->Open();
  EXPECT_EQ(Column(*ds), (std::vector<std::string>{"A", "C", "D", "E"}));
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "E");  // Next at the end stays on the last row
  EXPECT_EQ(ds->MoveBy(1), 0);
  ds->First();
  EXPECT_EQ(ds->MoveBy(10), 3);
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->MoveBy(-10), -3);
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "A");
  ds->Last();
  EXPECT_TRUE(ds->Eof());
  EXPECT_FALSE(ds->Bof());
  ds->Prior();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "D");
  EXPECT_EQ(ds->RecNo(), 4);  // physical number: the deleted row still counts
  ds->SetRecNo(3);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "C");
  EXPECT_EQ(ds->RecordCount(), 4);

  TMemoryDataSet* empty = Goods(form, "tbEmpty", {});
  empty->Open();
  EXPECT_TRUE(empty->IsEmpty());
  EXPECT_TRUE(empty->Bof());
  EXPECT_TRUE(empty->Eof());
  EXPECT_TRUE(empty->FieldByName("NAME")->IsNull());
  EXPECT_EQ(empty->FieldByName("QTY")->AsInteger(), 0);
  EXPECT_TRUE(empty->FieldByName("QTY")->AsVariant().IsNull());
  empty->Last();
  EXPECT_TRUE(empty->Bof() && empty->Eof());
  EXPECT_EQ(empty->RecNo(), 0);
}

TEST_F(DataSetTest, TheWindowOfBuffersFollowsTheLinkThatWantsMost) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"});
  TDataSource source;
  source.SetDataSet(ds);
  GridLink grid;
  grid.SetDataSource(&source);
  grid.SetBufferCount(3);
  ds->Open();
  EXPECT_EQ(grid.Rows(), "1* 2 3 ");
  ds->Next();
  ds->Next();
  EXPECT_EQ(grid.Rows(), "1 2 3* ");
  ds->Next();
  EXPECT_EQ(grid.Rows(), "2 3 4* ");
  EXPECT_EQ(grid.scrolls, (std::vector<int>{0, 0, -1}));
  EXPECT_EQ(ds->MoveBy(-3), -3);
  EXPECT_EQ(grid.Rows(), "1* 2 3 ");
  EXPECT_EQ(grid.scrolls.back(), 1);
  ds->Last();
  EXPECT_EQ(grid.Rows(), "8 9 10* ");

  ds->First();
  ds->MoveBy(4);
  EXPECT_EQ(grid.Rows(), "3 4 5* ");
  grid.SetBufferCount(5);  // the window grows around the current row
  EXPECT_EQ(grid.Rows(), "3 4 5* 6 7 ");
  TBookmark five = ds->GetBookmark();
  ds->Last();
  ds->GotoBookmark(five);  // centred
  EXPECT_EQ(grid.Rows(), "3 4 5* 6 7 ");

  // Insert puts the new row before the current one; Cancel takes it out.
  grid.SetBufferCount(3);
  ds->First();
  ds->Next();
  ds->Insert();
  EXPECT_EQ(grid.Rows(), "1 _* 2 ");
  ds->Cancel();
  EXPECT_EQ(grid.Rows(), "1 2* 3 ");
  // Append puts it after the last rows; Cancel goes back to the last one.
  ds->Append();
  EXPECT_EQ(grid.Rows(), "9 10 _* ");
  EXPECT_TRUE(ds->Eof());
  ds->Cancel();
  EXPECT_EQ(grid.Rows(), "8 9 10* ");
  ds->Append();
  ds->FieldByName("NAME")->SetAsString("11");
  ds->Post();
  EXPECT_EQ(grid.Rows(), "9 10 11* ");
  EXPECT_EQ(ds->RecNo(), 11);

  grid.SetDataSource(nullptr);  // back to one buffer, still on the same row
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "11");
  ds->Prior();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "10");
}

TEST_F(DataSetTest, EditPostAndCancelWithTheirEventsAndChecks) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B", "C"});
  std::vector<std::string> log;
  ds->BeforeEdit = [&](TDataSet*) { log.push_back("BeforeEdit"); };
  ds->AfterEdit = [&](TDataSet*) { log.push_back("AfterEdit"); };
  ds->BeforePost = [&](TDataSet*) { log.push_back("BeforePost"); };
  ds->AfterPost = [&](TDataSet*) { log.push_back("AfterPost"); };
  ds->BeforeCancel = [&](TDataSet*) { log.push_back("BeforeCancel"); };
  ds->AfterCancel = [&](TDataSet*) { log.push_back("AfterCancel"); };
  ds->Open();
  TField* name = ds->FieldByName("NAME");

  ExpectDbError([&] { name->SetAsString("X"); }, "Dataset not in edit or insert mode");
  ExpectDbError([&] { ds->Post(); }, "tbGoods: Dataset not in edit or insert mode");

  ds->Next();
  ds->Edit();
  EXPECT_EQ(ds->State(), S::dsEdit);
  EXPECT_FALSE(ds->Modified());
  name->SetAsString("Bee");
  EXPECT_TRUE(ds->Modified());
  ds->Post();
  EXPECT_EQ(ds->State(), S::dsBrowse);
  EXPECT_EQ(name->AsString(), "Bee");
  EXPECT_EQ(ds->RecNo(), 2);
  EXPECT_EQ(ds->posts, 1);

  ds->Edit();
  name->SetAsString("Wasp");
  ds->Cancel();
  EXPECT_EQ(name->AsString(), "Bee");
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost", "BeforeEdit",
                                           "AfterEdit", "BeforeCancel", "AfterCancel"}));

  // Moving on posts a modified edit and drops an untouched insert.
  ds->Edit();
  name->SetAsString("Moth");
  ds->Next();
  ds->Insert();
  ds->Next();
  EXPECT_EQ(Column(*ds), (std::vector<std::string>{"A", "Moth", "C"}));

  // A failed post leaves the edit open; the error event may retry or abort.
  ds->First();
  ds->Edit();
  name->SetAsString("Ant");
  ds->failPosts = 1;
  ExpectDbError([&] { ds->Post(); }, "Disk full");
  EXPECT_EQ(ds->State(), S::dsEdit);
  int tries = 0;
  ds->OnPostError = [&](TDataSet*, const Exception& e, TDataAction& action) {
    EXPECT_EQ(e.Message(), "Disk full");
    ++tries;
    action = TDataAction::daRetry;
  };
  ds->failPosts = 1;
  ds->Post();
  EXPECT_EQ(tries, 1);
  EXPECT_EQ(name->AsString(), "Ant");
  ds->OnPostError = [](TDataSet*, const Exception&, TDataAction& action) { action = TDataAction::daAbort; };
  ds->Edit();
  name->SetAsString("Gnat");
  ds->failPosts = 1;
  EXPECT_THROW(ds->Post(), EAbort);
  ds->Cancel();

  TField* qty = ds->FieldByName("QTY");
  qty->SetRequired(true);
  ds->Insert();
  ExpectDbError([&] { ds->Post(); }, "tbGoods: Field 'QTY' must have a value");
  ds->Cancel();
  qty->SetReadOnly(true);
  ds->Edit();
  ExpectDbError([&] { qty->SetAsInteger(5); }, "Field 'QTY' cannot be modified");
  ds->Cancel();
  EXPECT_FALSE(qty->CanModify());
  ds->readOnly = true;
  EXPECT_FALSE(ds->CanModify());
  ExpectDbError([&] { ds->Edit(); }, "tbGoods: Cannot modify a read-only dataset");
  ExpectDbError([&] { ds->Append(); }, "tbGoods: Cannot modify a read-only dataset");
  ExpectDbError([&] { ds->Delete(); }, "tbGoods: Cannot modify a read-only dataset");
}

TEST_F(DataSetTest, InsertAppendAndDeleteLandWhereAUserExpects) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B", "C"});
  ds->OnNewRecord = [](TDataSet* d) { d->FieldByName("QTY")->SetAsInteger(7); };
  ds->Open();
  ds->Next();
  ds->Insert();
  EXPECT_EQ(ds->State(), S::dsInsert);
  EXPECT_TRUE(ds->FieldByName("NAME")->IsNull());
  EXPECT_EQ(ds->FieldByName("QTY")->AsInteger(), 7);
  EXPECT_FALSE(ds->Modified());
  EXPECT_TRUE(ds->GetBookmark().empty());  // a new row has no bookmark yet
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "B");

  ds->Insert();
  ds->FieldByName("NAME")->SetAsString("D");
  ds->Post();  // rows are only ever added at the end
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "D");
  EXPECT_EQ(ds->RecNo(), 4);
  ds->AppendRecord({Variant("E"), Variant(5), Variant::Null()});
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "E");
  EXPECT_EQ(ds->FieldByName("QTY")->AsInteger(), 5);
  EXPECT_EQ(ds->FieldByName("PRICE")->AsFloat(), 0);
  EXPECT_EQ(Column(*ds), (std::vector<std::string>{"A", "B", "C", "D", "E"}));

  // A deleted row gives way to the next one, or to the one before at the end.
  ds->First();
  ds->Next();
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "C");
  ds->Last();
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "D");
  ds->Edit();  // deleting while editing drops the edit
  ds->FieldByName("NAME")->SetAsString("Z");
  ds->Delete();
  EXPECT_EQ(ds->State(), S::dsBrowse);
  EXPECT_EQ(Column(*ds), (std::vector<std::string>{"A", "C"}));
  ds->First();
  ds->Delete();
  ds->Delete();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->Eof() && ds->Bof());
  ExpectDbError([&] { ds->Delete(); }, "tbGoods: Cannot perform this operation on an empty dataset");
  ds->Edit();  // editing an empty dataset appends
  EXPECT_EQ(ds->State(), S::dsInsert);
  ds->Cancel();
  EXPECT_TRUE(ds->IsEmpty());
}

TEST_F(DataSetTest, ClosingOrDeletingDuringAnEditGivesBackWhatTheEditHeld) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B"});
  ds->Open();
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("Z");
  ds->Close();
  EXPECT_EQ(ds->cancels, 1);
  EXPECT_EQ(ds->posts, 0);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "A");
  ds->Edit();
  ds->Delete();
  EXPECT_EQ(ds->cancels, 2);
  EXPECT_EQ(Column(*ds), (std::vector<std::string>{"B"}));
}

TEST_F(DataSetTest, BookmarksReturnToTheirRows) {
  std::vector<std::string> names;
  for (int i = 1; i <= 12; ++i) names.push_back(std::to_string(i));
  TMemoryDataSet* ds = Goods(form, "tbGoods", names);
  ds->Open();
  EXPECT_EQ(ds->BookmarkSize(), 4);
  ds->SetRecNo(9);
  TBookmark nine = ds->GetBookmark();
  ds->SetRecNo(12);
  TBookmark twelve = ds->GetBookmark();
  EXPECT_EQ(ds->CompareBookmarks(nine, twelve), -1);
  EXPECT_EQ(ds->CompareBookmarks(twelve, nine), 1);
  EXPECT_EQ(ds->CompareBookmarks(nine, ds->GetBookmark()), -1);
  EXPECT_EQ(ds->CompareBookmarks({}, {}), 0);
  EXPECT_EQ(ds->CompareBookmarks({}, nine), -1);
  EXPECT_EQ(ds->CompareBookmarks(nine, {}), 1);
  ds->First();
  ds->GotoBookmark(nine);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "9");
  ds->rows[8].deleted = true;
  ds->Last();
  ExpectDbError([&] { ds->GotoBookmark(nine); }, "tbGoods: Record not found");
  ExpectDbError([&] { ds->GotoBookmark(TBookmark{1, 2}); }, "tbGoods: Record not found");
  ds->GotoBookmark({});  // nothing to go to
  EXPECT_EQ(ds->State(), S::dsBrowse);
}

TEST_F(DataSetTest, FilterEventSeesEachCandidateInFilterState) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B", "C", "D", "E"});
  std::vector<S> states;
  ds->OnFilterRecord = [&](TDataSet* d, bool& accept) {
    states.push_back(d->State());
    accept = d->FieldByName("QTY")->AsInteger() % 2 == 1;
  };
  ds->Open();
  EXPECT_TRUE(ds->IsSequenced());
  EXPECT_TRUE(states.empty());  // not filtered yet
  ds->SetFiltered(true);
  EXPECT_EQ(Column(*ds), (std::vector<std::string>{"A", "C", "E"}));
  EXPECT_FALSE(ds->IsSequenced());
  ASSERT_FALSE(states.empty());
  for (S s : states) EXPECT_EQ(s, S::dsFilter);
  EXPECT_EQ(ds->State(), S::dsBrowse);

  ds->SetFilter("QTY > 2");
  ds->SetFilterOptions({TFilterOption::foCaseInsensitive});
  EXPECT_EQ(ds->Filter(), "QTY > 2");
  EXPECT_TRUE(ds->FilterOptions().Contains(TFilterOption::foCaseInsensitive));
  EXPECT_FALSE(ds->FilterOptions().Contains(TFilterOption::foNoPartialCompare));
  ds->SetFiltered(false);
  EXPECT_EQ(Column(*ds).size(), 5u);
}

TEST_F(DataSetTest, CalculatedFieldsFollowFetchesAndEdits) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B"});
  auto* qty = TComponent::Create<TIntegerField>(form);
  qty->SetFieldName("QTY");
  qty->SetDataSet(ds);
  auto* price = TComponent::Create<TFloatField>(form);
  price->SetFieldName("PRICE");
  price->SetDataSet(ds);
  auto* total = TComponent::Create<TFloatField>(form);
  total->SetFieldName("TOTAL");
  total->SetCalculated(true);
  total->SetDataSet(ds);
  std::vector<S> states;
  ds->OnCalcFields = [&](TDataSet* d) {
    states.push_back(d->State());
    total->SetAsFloat(qty->AsInteger() * price->AsFloat());
  };
  ds->Open();
  EXPECT_DOUBLE_EQ(total->AsFloat(), 1.5);
  ds->Next();
  EXPECT_DOUBLE_EQ(total->AsFloat(), 5.0);
  for (S s : states) EXPECT_EQ(s, S::dsCalcFields);
  ExpectDbError([&] { total->SetAsFloat(1); }, "Dataset not in edit or insert mode");
  EXPECT_FALSE(total->CanModify());

  ds->Edit();
  qty->SetAsInteger(4);
  EXPECT_DOUBLE_EQ(total->AsFloat(), 10.0);
  ds->SetAutoCalcFields(false);
  qty->SetAsInteger(5);
  EXPECT_DOUBLE_EQ(total->AsFloat(), 10.0);
  ds->Post();  // the row is fetched again and calculated
  EXPECT_DOUBLE_EQ(total->AsFloat(), 12.5);
  EXPECT_EQ(ds->Lookup("QTY", {Variant(1)}, "TOTAL")[0].AsDouble(), 1.5);
}

TEST_F(DataSetTest, LocateAndLookupSearchWithoutDisturbingTheView) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"Ant", "Bee", "Cat"});
  int scrolls = 0;
  ds->AfterScroll = [&](TDataSet*) { ++scrolls; };
  ds->Open();
  scrolls = 0;
  EXPECT_TRUE(ds->Locate("NAME", {Variant("bee")}, {TLocateOption::loCaseInsensitive}));
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Bee");
  EXPECT_EQ(scrolls, 1);
  EXPECT_TRUE(ds->Locate("NAME;QTY", {Variant("C"), Variant("3")}, {TLocateOption::loPartialKey}));
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Cat");
  EXPECT_FALSE(ds->Locate("NAME", {Variant("Dog")}, {}));
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Cat");

  std::vector<Variant> found = ds->Lookup("NAME", {Variant("Ant")}, "QTY;PRICE");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].AsInteger(), 1);
  EXPECT_DOUBLE_EQ(found[1].AsDouble(), 1.5);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Cat");
  EXPECT_EQ(ds->State(), S::dsBrowse);
  std::vector<Variant> none = ds->Lookup("NAME", {Variant("Dog")}, "QTY;PRICE");
  ASSERT_EQ(none.size(), 2u);
  EXPECT_TRUE(none[0].IsNull() && none[1].IsNull());
}

TEST_F(DataSetTest, KeyStateWritesItsOwnBuffer) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A"});
  ds->Open();
  TField* name = ds->FieldByName("NAME");
  ds->SetKey();
  EXPECT_EQ(ds->State(), S::dsSetKey);
  EXPECT_TRUE(name->IsNull());
  name->SetAsString("Key");
  EXPECT_FALSE(ds->Modified());
  ds->Post();
  EXPECT_EQ(ds->State(), S::dsBrowse);
  EXPECT_EQ(name->AsString(), "A");
  ds->EditKey();
  EXPECT_EQ(name->AsString(), "Key");
  ds->Next();  // moving on ends key editing
  EXPECT_EQ(ds->State(), S::dsBrowse);
  ds->SetKey();
  EXPECT_TRUE(name->IsNull());
  ds->Cancel();
  EXPECT_EQ(ds->State(), S::dsBrowse);
}

TEST_F(DataSetTest, AFailedOpenLeavesNothingBehind) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B", "C"});
  ds->failOpenLate = true;
  ExpectDbError([&] { ds->Open(); }, "Cannot open the rows");
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->FieldCount(), 0);
  EXPECT_EQ(form.ComponentCount(), 1);
  ds->failOpenLate = false;
  ds->failFetchAt = 1;
  ExpectDbError([&] { ds->Open(); }, "Record request beyond range of table");
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->FieldCount(), 0);

  // A row that cannot be read mid-way stops the move, not the dataset.
  ds->failFetchAt = 3;
  ds->Open();
  ds->Next();
  ExpectDbError([&] { ds->Next(); }, "Record request beyond range of table");
  EXPECT_TRUE(ds->Active());
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "B");
  ds->Prior();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "A");
}

// ---- data sources and links ----

TEST_F(DataSetTest, SourcesReportChangesAndDisableControlsHoldsThemBack) {
  TMemoryDataSet* ds = Goods(form, "tbGoods", {"A", "B", "C", "D"});
  auto* source = TComponent::Create<TDataSource>(form);
  int stateChanges = 0, dataChanges = 0;
  source->OnStateChange = [&](TDataSource*) { ++stateChanges; };
  source->OnDataChange = [&](TDataSource*, TField*) { ++dataChanges; };
  source->SetDataSet(ds);
  GridLink link;
  link.SetDataSource(source);
  EXPECT_FALSE(link.Active());
  ds->Open();
  EXPECT_TRUE(link.Active());
  EXPECT_EQ(link.activeChanges, 1);
  EXPECT_EQ(stateChanges, 1);

  int before = dataChanges;
  ds->DisableControls();
  ds->Next();
  ds->Next();
  EXPECT_TRUE(ds->ControlsDisabled());
  EXPECT_EQ(dataChanges, before);
  ds->EnableControls();
  EXPECT_EQ(dataChanges, before + 1);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "C");

  EXPECT_TRUE(link.Edit());  // AutoEdit puts the dataset into edit mode
  EXPECT_TRUE(link.Editing());
  before = dataChanges;
  ds->FieldByName("NAME")->SetAsString("Cow");
  EXPECT_EQ(dataChanges, before + 1);
  ds->Cancel();
  EXPECT_FALSE(link.Editing());
  source->SetEnabled(false);
  EXPECT_FALSE(link.Active());
  source->SetEnabled(true);
  EXPECT_TRUE(link.Active());
  ds->Close();
  EXPECT_FALSE(link.Active());

  // Whichever side goes first, the other forgets it.
  {
    auto owned = std::make_unique<TMemoryDataSet>();
    owned->defs = {{"NAME", TFieldType::ftString, 4}};
    TDataSource s;
    s.SetDataSet(owned.get());
    GridLink l;
    l.SetDataSource(&s);
    owned->Open();
    EXPECT_TRUE(l.Active());
    owned.reset();
    EXPECT_EQ(s.DataSet(), nullptr);
    EXPECT_FALSE(l.Active());
  }
  {
    auto s = std::make_unique<TDataSource>();
    s->SetDataSet(ds);
    GridLink l;
    l.SetDataSource(s.get());
    s.reset();
    EXPECT_EQ(l.DataSource(), nullptr);
    ds->Open();  // the dataset no longer reports to the freed source
    ds->Next();
  }
}

TEST_F(DataSetTest, DetailFollowsItsMasterAndCircularLinksAreRefused) {
  auto* orders = TComponent::Create<TMemoryDataSet>(form);
  orders->SetName("tbOrders");
  orders->defs = {{"ID", TFieldType::ftInteger, 0}};
  for (const char* id : {"1", "2", "3"}) orders->AddRow({id});
  auto* lines = TComponent::Create<TMemoryDataSet>(form);
  lines->SetName("tbLines");
  lines->defs = {{"ORDERID", TFieldType::ftInteger, 0}, {"ITEM", TFieldType::ftString, 10}};
  lines->AddRow({"1", "pen"});
  lines->AddRow({"2", "ink"});
  lines->AddRow({"1", "pad"});
  lines->AddRow({"3", "cap"});
  auto* source = TComponent::Create<TDataSource>(form);
  source->SetName("dsOrders");
  source->SetDataSet(orders);
  lines->detailKey = "ORDERID";
  lines->SetMasterSource(source);
  lines->SetMasterFields("ID");

  orders->Open();
  lines->Open();
  EXPECT_EQ(Column(*lines, "ITEM"), (std::vector<std::string>{"pen", "pad"}));
  orders->Next();
  EXPECT_EQ(Column(*lines, "ITEM"), (std::vector<std::string>{"ink"}));
  orders->Insert();  // a master row being inserted has no details
  EXPECT_TRUE(lines->IsEmpty());
  orders->Cancel();
  EXPECT_EQ(Column(*lines, "ITEM"), (std::vector<std::string>{"ink"}));
  orders->Last();
  EXPECT_EQ(Column(*lines, "ITEM"), (std::vector<std::string>{"cap"}));

  auto* lineSource = TComponent::Create<TDataSource>(form);
  lineSource->SetName("dsLines");
  lineSource->SetDataSet(lines);
  // The dataset's own check is plain; the data source's carries its name.
  ExpectDbError([&] { orders->SetMasterSource(lineSource); }, "Circular datalinks are not allowed");
  ExpectDbError([&] { lines->SetMasterSource(lineSource); }, "Circular datalinks are not allowed");
  ExpectDbError([&] { source->SetDataSet(lines); }, "dsOrders: Circular datalinks are not allowed");
  EXPECT_EQ(source->DataSet(), orders);
  EXPECT_FALSE(lines->IsLinkedTo(source));  // the master does not depend on its detail
  EXPECT_TRUE(orders->IsLinkedTo(lineSource));

  orders->Close();  // the detail is no longer limited
  EXPECT_EQ(Column(*lines, "ITEM").size(), 4u);
}
