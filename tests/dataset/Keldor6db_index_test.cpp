// Index files, the active tag, filters, locate and lookup, master/detail and
// status reports through the table dataset.
#include <gtest/gtest.h>

#include "dataset/Keldor6db.h"
#include "dataset_test_util.h"

using namespace dstest;

namespace {

// p.dbf with the sample people and p.cdx: NAME, CITYNAME (CITY+NAME),
// UNAME (UPPER(NAME)), AMOUNTD (AMOUNT, descending).
void WriteIndexedPeople(const DataFolder& f, const std::vector<Person>& more = {}) {
  std::vector<Person> rows = SamplePeople();
  rows.insert(rows.end(), more.begin(), more.end());
  f.Write("p.dbf", PeopleImage(rows));
  MakeCdx(f.Dos("p.dbf"), "p.cdx",
          {{"NAME", "NAME", ""},
           {"CITYNAME", "CITY + NAME", ""},
           {"UNAME", "UPPER(NAME)", ""},
           {"AMOUNTD", "AMOUNT", "", true}});
}

}  // namespace

TEST(KeldorDataSetIndex, OnlyListedFilesOpenAndTheirTagsBecomeIndexDefinitions) {
  DataFolder f;
  WriteIndexedPeople(f);
  // The table's own base name and the structural flag do not open p.cdx.
  std::string bytes = f.Read("p.dbf");
  bytes[28] = 1;
  f.WriteBytes("p.dbf", bytes);
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  EXPECT_EQ(ds->IndexDefs().Count(), 0);
  EXPECT_EQ(ds->Handler()->IndexFileCount(), 0);
  EXPECT_EQ(MessageOf([&] { ds->SetIndexName("NAME"); }), "Cannot find index tag NAME");
  EXPECT_EQ(ds->IndexName(), "");

  ds->IndexFiles().Add("P.CDX");  // while open: opened at once
  // One definition per tag, in the file's order of tags.
  const TIndexDefs& defs = ds->IndexDefs();
  ASSERT_EQ(defs.Count(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(defs[i].Name(), ds->Handler()->TagByNumber(i + 1)->Name());
  ASSERT_NE(defs.Find("name"), nullptr);
  EXPECT_EQ(defs.Find("NAME")->Fields(), "NAME");
  EXPECT_EQ(defs.Find("CITYNAME")->Fields(), "CITY;NAME");
  EXPECT_FALSE(defs.Find("CITYNAME")->Options().Contains(TIndexOption::ixExpression));
  EXPECT_EQ(defs.Find("UNAME")->Fields(), "");
  EXPECT_EQ(defs.Find("UNAME")->Expression(), "UPPER(NAME)");
  EXPECT_TRUE(defs.Find("UNAME")->Options().Contains(TIndexOption::ixExpression));
  EXPECT_TRUE(defs.Find("AMOUNTD")->Options().Contains(TIndexOption::ixDescending));

  // The same file twice: refused while open, one of them quietly at open.
  EXPECT_EQ(MessageOf([&] { ds->IndexFiles().Add(f.Dos("p.cdx")); }),
            "Index file " + f.Dos("p.cdx") + " already open");
  ds->Close();
  ds->Open();
  EXPECT_EQ(ds->Handler()->IndexFileCount(), 1);
  ds->SetIndexName("cityname");
  EXPECT_EQ(ds->IndexName(), "cityname");
  EXPECT_FALSE(ds->IsSequenced());
  // An empty list while open drops the order.
  ds->IndexFiles().Clear();
  EXPECT_EQ(ds->IndexName(), "");
  EXPECT_EQ(ds->IndexDefs().Count(), 0);
  EXPECT_EQ(Names(*ds).front(), "Smith");
}

TEST(KeldorDataSetIndex, IndexNameOrdersTheRowsAndKeepsTheCurrentRecord) {
  DataFolder f;
  WriteIndexedPeople(f);
  auto ds = f.DataSet("p.dbf");
  ds->IndexFiles().Add("p.cdx");
  ds->SetIndexName("NAME");
  ds->Open();
  EXPECT_EQ(Names(*ds),
            (std::vector<std::string>{"Adams", "Baker", "Brown", "Clark", "Evans", "Jones", "Smith"}));
  ds->SetIndexName("CITYNAME");
  EXPECT_EQ(Names(*ds),
            (std::vector<std::string>{"Clark", "Jones", "Brown", "Smith", "Adams", "Evans", "Baker"}));
  ds->SetIndexName("AMOUNTD");
  EXPECT_EQ(Names(*ds).front(), "Baker");
  // On a record in the middle the dataset stays on it in the new order.
  ds->First();
  ds->Next();
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Clark");
  ds->SetIndexName("NAME");
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Clark");
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Evans");
  ds->SetIndexName("");
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Evans");
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Baker");
  EXPECT_EQ(MessageOf([&] { ds->SetIndexName("NOPE"); }), "Cannot find index tag NOPE");

  // Writes keep the order: a changed key moves the record, an appended one
  // takes its place.
  ds->SetIndexName("NAME");
  ds->First();
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("Zorro");
  ds->Post();
  ds->AppendRecord({Variant("Able"), Variant("Oslo"), Variant(1.0)});
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Able", "Baker", "Brown", "Clark", "Evans", "Jones",
                                                  "Smith", "Zorro"}));
  ds->Close();
  ds->SetIndexName("");
  HXO_dBHandler h(f.Dos("p.dbf"), false, false);
  h.OpenIndex("p.cdx");
  HxIndexCheckReport report = HxCheckIndexFile(*h.IndexFile(1));
  EXPECT_TRUE(report.Ok()) << (report.problems.empty() ? "" : report.problems[0]);
}

TEST(KeldorDataSetIndex, FiltersCombineTheExpressionTheEventAndTheOrder) {
  DataFolder f;
  WriteIndexedPeople(f);
  auto ds = f.DataSet("p.dbf");
  ds->IndexFiles().Add("p.cdx");
  ds->Open();
  ds->SetFilter("CITY = \"Paris\"");  // stored only: not filtered yet
  EXPECT_EQ(Names(*ds).size(), 7u);
  ds->SetFiltered(true);
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Smith", "Brown"}));
  ds->SetFilterOptions({TFilterOption::foCaseInsensitive});
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Smith", "Brown", "Baker"}));
  EXPECT_FALSE(ds->IsSequenced());
  ds->SetIndexName("NAME");
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Baker", "Brown", "Smith"}));
  // The event filters on top of the expression.
  ds->OnFilterRecord = [](TDataSet* d, bool& accept) {
    EXPECT_EQ(d->State(), TDataSetState::dsFilter);
    accept = d->FieldByName("AMOUNT")->AsFloat() > 15;
  };
  ds->First();
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Baker", "Brown"}));
  // A record edited out of the filter leaves the view at once.
  ds->First();
  ds->Edit();
  ds->FieldByName("CITY")->SetAsString("Madrid");
  ds->Post();
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Brown"}));
  // Wildcard comparison is on unless switched off.
  ds->OnFilterRecord = nullptr;
  ds->SetFilterOptions({});
  ds->SetFilter("CITY = \"Par*\"");
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Brown", "Smith"}));
  ds->SetFilterOptions({TFilterOption::foNoPartialCompare});
  EXPECT_TRUE(Names(*ds).empty());
  EXPECT_TRUE(ds->IsEmpty());

  // A filter that yields no logical value fails and shows every record.
  EXPECT_EQ(MessageOf([&] { ds->SetFilter("AMOUNT"); }), "Filter expression must return boolean result");
  EXPECT_EQ(ds->Filter(), "AMOUNT");
  EXPECT_EQ(Names(*ds).size(), 7u);
  ds->SetFiltered(false);
  ds->SetFilter("NAME = \"Jones\"");
  EXPECT_EQ(Names(*ds).size(), 7u);
  ds->SetFiltered(true);
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Jones"}));
  // Filtered with only the event.
  ds->SetFilter("");
  ds->OnFilterRecord = [](TDataSet* d, bool& accept) {
    accept = d->FieldByName("CITY")->AsString() == "Rome";
  };
  ds->First();
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Adams", "Evans"}));
  EXPECT_EQ(ds->RecordCount(), 8);
  ds->SetExactCount(true);
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(KeldorDataSetIndex, LocateMovesToTheRecordAndLookupLeavesTheRowAlone) {
  DataFolder f;
  WriteIndexedPeople(f);
  auto ds = f.DataSet("p.dbf");
  ds->IndexFiles().Add("p.cdx");
  ds->Open();
  ds->SetRecNo(2);
  EXPECT_TRUE(ds->Locate("CITY;NAME", {Variant("Rome"), Variant("Evans")}, {}));
  EXPECT_EQ(ds->RecNo(), 7);
  EXPECT_FALSE(ds->Locate("NAME", {Variant("Nobody")}, {}));
  EXPECT_EQ(ds->RecNo(), 7);
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Baker");  // the handler is back on record 7
  EXPECT_TRUE(
      ds->Locate("NAME", {Variant("cla")}, {TLocateOption::loCaseInsensitive, TLocateOption::loPartialKey}));
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Clark");
  EXPECT_FALSE(ds->Locate("NAME", {Variant("cla")}, {TLocateOption::loPartialKey}));
  EXPECT_FALSE(ds->Locate("NAME", {Variant("Young")}, {}));  // deleted
  EXPECT_EQ(MessageOf([&] { ds->Locate("NOPE", {Variant("x")}, {}); }), "ds: Field 'NOPE' not found");

  std::vector<Variant> v = ds->Lookup("NAME", {Variant("Brown")}, "CITY;AMOUNT");
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].AsString(), "Paris");
  EXPECT_DOUBLE_EQ(v[1].AsDouble(), 30);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Clark");
  EXPECT_TRUE(ds->Lookup("NAME", {Variant("brown")}, "CITY")[0].IsNull());
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Evans");
}

TEST(KeldorDataSetIndex, MasterDetailFollowsTheMastersRowThroughTheActiveTag) {
  DataFolder f;
  DbfImage cities;
  cities.fields = {{"CITY", 'C', 10}, {"COUNTRY", 'C', 10}};
  cities.records = {" London    UK        ", " Paris     France    ", " Rome      Italy     ",
                    " Oslo      Norway    "};
  f.Write("cities.dbf", cities);
  // A city whose name begins with another's is not that city.
  WriteIndexedPeople(f, {{"Vale", "Romeo", 1}, {"Ward", "Rome2", 2}});
  TKeldorDataSet master;
  master.SetName("tbCities");
  master.SetDatabaseName(f.Dos());
  master.SetTableName("cities.dbf");
  master.Open();
  TDataSource source;
  source.SetDataSet(&master);

  auto detail = f.DataSet("p.dbf", "tbPeople");
  detail->IndexFiles().Add("p.cdx");
  detail->SetMasterSource(&source);
  detail->SetMasterFields("CITY");
  EXPECT_EQ(MessageOf([&] { detail->Open(); }), "Master/Detail relation failed, no index open for p.dbf");
  EXPECT_FALSE(detail->Active());
  detail->SetIndexName("CITYNAME");
  detail->Open();
  EXPECT_EQ(Names(*detail), (std::vector<std::string>{"Clark", "Jones"}));
  master.Next();
  EXPECT_EQ(Names(*detail), (std::vector<std::string>{"Brown", "Smith"}));  // "paris" is not "Paris"
  master.Next();
  EXPECT_EQ(Names(*detail), (std::vector<std::string>{"Adams", "Evans"}));
  master.Next();
  EXPECT_TRUE(detail->IsEmpty());
  // A master row being inserted has no details.
  master.Prior();
  master.Append();
  EXPECT_TRUE(detail->IsEmpty());
  master.Cancel();  // back on the last city
  EXPECT_TRUE(detail->IsEmpty());
  master.Prior();
  EXPECT_EQ(Names(*detail), (std::vector<std::string>{"Adams", "Evans"}));
  // Two master fields fill the tag's first two fields (CITY and NAME).
  detail->SetMasterFields("CITY;COUNTRY");
  EXPECT_TRUE(detail->IsEmpty());
  // A tag over fewer fields than the link names cannot serve it.
  EXPECT_EQ(MessageOf([&] { detail->SetIndexName("NAME"); }),
            "Master/Detail relation failed, field missmatch for p.dbf");
  detail->Close();
  EXPECT_EQ(MessageOf([&] { detail->Open(); }), "Master/Detail relation failed, field missmatch for p.dbf");
  detail->SetMasterFields("CITY");
  detail->SetIndexName("CITYNAME");
  detail->Open();
  // Without the link every record shows again.
  detail->SetMasterSource(nullptr);
  EXPECT_EQ(Names(*detail).size(), 9u);

  // A link back to the detail itself is refused.
  TDataSource detailSource;
  detailSource.SetDataSet(detail.get());
  EXPECT_EQ(MessageOf([&] { detail->SetMasterSource(&detailSource); }), "Circular datalinks are not allowed");
}

TEST(KeldorDataSetIndex, StatusReportsGoToOnStatus) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  ds->Handler()->EventHook(1, 2, 3);  // nobody listens: nothing happens
  std::vector<int> seen;
  TComponent* sender = nullptr;
  ds->OnStatus = [&](TComponent* s, int a, int b, int c) {
    sender = s;
    seen = {a, b, c};
  };
  ds->Handler()->EventHook(4, 5, 6);
  EXPECT_EQ(sender, ds.get());
  EXPECT_EQ(seen, (std::vector<int>{4, 5, 6}));
}
