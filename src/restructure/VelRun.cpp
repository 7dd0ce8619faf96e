#include "restructure/VelRun.h"

#include <algorithm>
#include <set>

#include "dataset/Keldor6db.h"
#include "framework/application.h"
#include "framework/sysutils.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "restructure/VelBulk.h"
#include "tables/hx6_dbf.h"

namespace {

std::string Reason() { return platform::ErrorText(platform::LastError()); }

std::string WorkFile(const char* ext) { return std::string(kWorkTable) + ext; }

void SetUpTable(TKeldorDataSet* tb, const char* name, const char* tableName) {
  tb->SetName(name);
  tb->SetExclusive(false);
  tb->SetAutoFlush(false);
  tb->SetLockProtocol(ThxLokProtocol::Default);
  tb->SetTranslateASCII(true);
  tb->SetUseDeleted(false);
  tb->SetUserID(0);
  tb->SetLargeIntegerAs(ThxIntFields::asInteger);
  tb->SetDatabaseName("C:\\VELMORA");
  tb->SetTableName(tableName);
}

// The creator of a new table for `table`, with the window's settings.
TCreateKeldorDataSet* CreatorFor(TComponent& owner, TKeldorDataSet* table) {
  TCreateKeldorDataSet* creator = TComponent::Create<TCreateKeldorDataSet>(owner);
  creator->SetDBFTable(table);
  creator->SetDBFType(ThxDBFTypes::FoxPro2);
  creator->SetAutoOverwrite(false);
  return creator;
}

TFieldSpec SpecOf(HXO_dBaseFld& t, int n) {
  return {t.FieldName(n), t.FieldType(n), t.FieldWidth(n), t.FieldDecimals(n)};
}

std::vector<TFieldSpec> SpecsOf(HXO_dBaseFld& t) {
  std::vector<TFieldSpec> specs;
  for (int n = 1; n <= t.FieldCount(); ++n) specs.push_back(SpecOf(t, n));
  return specs;
}

// An old field and the new field of its name.
struct TFieldLink {
  TField* from = nullptr;
  TField* to = nullptr;  // null: the new structure lacks it
  bool check = false;    // its values can be lost and are checked
  TFieldSpec target;
};

std::vector<TFieldLink> LinkFields(TKeldorDataSet& from, TKeldorDataSet& to) {
  std::vector<TFieldLink> links;
  HXO_dBaseFld& a = *from.Handler();
  HXO_dBaseFld& b = *to.Handler();
  for (int i = 0; i < from.FieldCount(); ++i) {
    TFieldLink l;
    l.from = from.Fields()[i];
    l.to = to.FindField(l.from->FieldName());
    const int na = a.FieldNumber(l.from->FieldName());
    const int nb = l.to ? b.FieldNumber(l.to->FieldName()) : 0;
    if (l.to && na > 0 && nb > 0) {
      l.target = SpecOf(b, nb);
      l.check = CanLoseValues(SpecOf(a, na), l.target);
    }
    links.push_back(l);
  }
  return links;
}

// Assigns the old value to the new field as the copy does (a blank value
// clears the field) and notes it when it does not come back. With `refusals`
// a value the field refuses is noted too instead of stopping the copy.
void CopyValue(const TFieldLink& l, int64_t recno, TLossList& losses, std::string* refusal) {
  if (l.from->IsNull()) {
    l.to->Clear();
    return;
  }
  const Variant v = l.from->AsVariant();
  if (!l.check) {
    l.to->SetAsVariant(v);
    return;
  }
  if (refusal) {
    try {
      l.to->SetAsVariant(v);
    } catch (const Exception& e) {
      losses.Add({recno, l.from->FieldName(), std::string("refused: ") + e.what(), LossValueText(v)});
      if (refusal->empty()) *refusal = "record " + std::to_string(recno) + ": " + e.what();
      return;
    }
  } else {
    l.to->SetAsVariant(v);
  }
  const Variant back = l.to->AsVariant();
  if (!ValueSurvives(v, back))
    losses.Add({recno, l.from->FieldName(), LossReason(v, back, l.target), LossValueText(v)});
}

}  // namespace

// ---- components ----

TVelComponents CreateVelComponents(TComponent& owner) {
  TVelComponents c;
  c.tbDictionary = TComponent::Create<TKeldorDataSet>(owner);
  SetUpTable(c.tbDictionary, "tbDictionary", "Dictionary.dbf");
  c.tbDictionary->IndexFiles().Add("dictionary.CDX");
  c.tbNewTable = TComponent::Create<TKeldorDataSet>(owner);
  SetUpTable(c.tbNewTable, "tbNewTable", "NEWTable");
  c.tbOriginalTable = TComponent::Create<TKeldorDataSet>(owner);
  SetUpTable(c.tbOriginalTable, "tbOriginalTable", "");
  c.chdNewTables = CreatorFor(owner, c.tbNewTable);
  c.chdNewTables->SetName("chdNewTables");

  c.VelZip = CreateVelZip(owner);
  return c;
}

std::string Right(const std::string& text, int count) {
  if (count <= 0) return "";
  if (static_cast<size_t>(count) >= text.size()) return text;
  return text.substr(text.size() - static_cast<size_t>(count));
}

std::string ArchiveNameFor(const platform::LocalTime& date, const platform::LocalTime& time) {
  auto two = [](int v) { return Right("00" + IntToStr(v), 2); };
  return "Velmora_" + Right("0000" + IntToStr(date.year), 4) + two(date.month) + two(date.day) +
         two(time.hour) + two(time.minute) + two(time.second);
}

bool TRunPlan::Safe() const {
  for (const TTablePlan& t : tables)
    if (!t.losses.Empty() || !t.stop.empty()) return false;
  return true;
}

// ---- the run ----

TVelRun::TVelRun(const TVelComponents& components, TStrings& tableNames, TStrings& fileList, TVelView& view)
    : c_(components), tableNames_(tableNames), fileList_(fileList), view_(view) {
  HookArchive(true);
}

TVelRun::~TVelRun() { HookArchive(false); }

std::string TVelRun::DataFolder() const {
  std::string f = c_.tbDictionary->TableFolder();
  if (f.size() > 3 && f.back() == '\\') f.pop_back();
  return f;
}

bool TVelRun::Start() {
  if (running_) return false;
  running_ = true;
  struct Done {
    bool& running;
    ~Done() { running = false; }
  } done{running_};
  archivePath_.clear();
  filesBackedUp_ = 0;
  check_ = TBackupCheck{};
  tablesRebuilt_ = 0;

  CleanUpAfterFailedRun();
  fileList_.Clear();
  view_.SetInformation("Collecting File List");
  // A closed dictionary fails below, as the first use of it.
  std::unique_ptr<TRunLock> lock;
  if (c_.tbDictionary->Active()) {
    lock = std::make_unique<TRunLock>(DataFolder());
    const TSwapRecovery recovery = RecoverInterruptedSwap(DataFolder());
    if (recovery.outcome != TSwapRecovery::None) view_.Notice(recovery.Message());
  }
  CreateTableList();
  Application().ProcessMessages();
  if (!BackUp()) return false;
  if (!UpdateTables()) return false;
  return tablesRebuilt_ == tableNames_.Count();
}

void TVelRun::CleanUpAfterFailedRun() {
  TKeldorDataSet& to = *c_.tbNewTable;
  if (to.State() == TDataSetState::dsInsert || to.State() == TDataSetState::dsEdit) to.Cancel();
  to.Close();
  c_.tbOriginalTable->Close();
}

void TVelRun::CreateTableList() {
  TKeldorDataSet& d = *c_.tbDictionary;
  tableNames_.Clear();
  // The filter the last table's field rows left would hide every other table.
  d.SetFiltered(false);
  d.SetIndexName("MyTables");
  d.First();
  const std::string folder = DataFolder() + "\\";
  for (; !d.Eof(); d.Next()) {
    const std::string name = d.Fields()[1]->AsString();
    if (platform::FileExists(folder + name + ".dbf")) {
      tableNames_.Add(name);
      fileList_.Add(name + ".dbf");
    }
    if (platform::FileExists(folder + name + ".cdx")) fileList_.Add(name + ".cdx");
    if (platform::FileExists(folder + name + ".fpt")) fileList_.Add(name + ".fpt");
  }
}

std::vector<std::string> TVelRun::FieldLines(const std::string& tableName) {
  TKeldorDataSet& d = *c_.tbDictionary;
  d.SetFilter(Format("Tablename = \"%s\"", {tableName}));
  d.SetFiltered(true);
  d.First();
  std::vector<std::string> lines;
  for (; !d.Eof(); d.Next())
    lines.push_back(Format(
        "%s;%s;%d;%d", {d.FieldByName("Fieldname")->AsString(), d.FieldByName("Fieldtype")->AsString(),
                        d.FieldByName("Fieldsize")->AsInteger(), d.FieldByName("Fielddec")->AsInteger()}));
  return lines;
}

void TVelRun::DeleteWorkFiles() {
  const std::string folder = DataFolder() + "\\";
  platform::DeleteFile(folder + WorkFile(".dbf"));
  if (platform::FileExists(folder + WorkFile(".fpt"))) platform::DeleteFile(folder + WorkFile(".fpt"));
  // An index file an earlier run left would be taken for this table's.
  if (platform::FileExists(folder + WorkFile(".cdx"))) platform::DeleteFile(folder + WorkFile(".cdx"));
}

bool TVelRun::UpdateTables() {
  TKeldorDataSet& d = *c_.tbDictionary;
  d.SetIndexName("MyFields");
  d.First();
  for (int i = 0; i < tableNames_.Count(); ++i) {
    const std::string name = tableNames_[i];
    const std::vector<std::string> lines = FieldLines(name);
    TStrings& fields = c_.chdNewTables->CreateFields();
    fields.Clear();
    for (const std::string& line : lines) fields.Add(line);
    DeleteWorkFiles();
    // The creator builds NEWTable in the data folder and opens tbNewTable.
    if (!c_.chdNewTables->CreateTable()) continue;
    view_.SetInformation(Format("%s Table Created", {name}));
    if (!CopyDataToNewTable(name)) return false;
    view_.SetInformation(Format("%s Table Updated", {name}));
    ++tablesRebuilt_;
  }
  return true;
}

bool TVelRun::CopyDataToNewTable(const std::string& tableName) {
  TKeldorDataSet& from = *c_.tbOriginalTable;
  TKeldorDataSet& to = *c_.tbNewTable;
  view_.SetTableProgress(0);
  from.SetTableName(tableName + ".dbf");
  from.Open();
  to.Open();
  view_.SetTableProgressMax(from.RecordCount());
  TLossList losses;
  if (!DirectCopy || !CopyDirectly(tableName)) CopyThroughDataSets(losses);
  from.Close();
  to.Close();
  if (!losses.Empty()) view_.Losses(tableName, losses);
  return PutInPlace(tableName);
}

bool TVelRun::CopyDirectly(const std::string& tableName) {
  TKeldorDataSet& to = *c_.tbNewTable;
  const std::string folder = DataFolder() + "\\";
  // The new table is written here, not through its dataset.
  to.Close();
  int64_t copied = 0;
  const TDirectCopy result = CopyRecordImages(
      folder + tableName + ".dbf", folder + WorkFile(".dbf"),
      [this](int64_t recno) {
        view_.SetTableProgress(static_cast<int>(recno));
        Step();
        view_.KeepAlive();
      },
      copied);
  if (result == TDirectCopy::Done) return true;
  if (result == TDirectCopy::NeedsConversion) {
    // Part of the records went across: the new table is made again, empty.
    DeleteWorkFiles();
    if (!c_.chdNewTables->CreateTable())
      throw EVelSwapError("Cannot create " + folder + WorkFile(".dbf") + " again");
  }
  to.Open();
  return false;
}

void TVelRun::CopyThroughDataSets(TLossList& losses) {
  TKeldorDataSet& from = *c_.tbOriginalTable;
  TKeldorDataSet& to = *c_.tbNewTable;
  std::vector<TFieldLink> links = LinkFields(from, to);
  for (from.First(); !from.Eof(); from.Next()) {
    to.Append();
    const int64_t recno = from.RecNo();
    for (TFieldLink& l : links) {
      // A field the new structure lacks stops the run here, with the old
      // table untouched.
      if (!l.to) l.to = to.FieldByName(l.from->FieldName());
      CopyValue(l, recno, losses, nullptr);
    }
    to.Post();
    view_.SetTableProgress(static_cast<int>(recno));
    Step();
    view_.KeepAlive();
  }
}

bool TVelRun::PutInPlace(const std::string& tableName) {
  const std::string folder = DataFolder();
  const std::string oldIndex = folder + "\\" + tableName + ".cdx";
  // The rebuilt table gets the old table's tags, built for its records,
  // before anything of the old table is replaced.
  if (platform::FileExists(oldIndex)) {
    Step();
    RebuildIndexFile(folder + "\\" + WorkFile(".dbf"), folder + "\\" + WorkFile(".cdx"),
                     ReadTagDefinitions(folder + "\\" + tableName + ".dbf", oldIndex));
  }
  TTableSwap swap(folder, tableName);
  swap.OnStep = OnStep;
  std::string failure;
  switch (swap.Run(failure)) {
    case TSwapResult::Done:
      return true;
    case TSwapResult::NotReplaced:
      view_.Problem(failure + ". " + tableName + " is as it was.");
      return false;
    case TSwapResult::Incomplete:
      view_.Problem(failure + ". The next Start completes the restructure of " + tableName + ".");
      return false;
  }
  return false;
}

// ---- the dry run ----

TRunPlan TVelRun::Plan() {
  TRunPlan plan;
  plan.folder = DataFolder();
  TSwapJournal journal;
  if (ReadJournal(plan.folder, journal) && !journal.finished)
    plan.recovery = "An interrupted restructure of " + journal.table + " is settled first (" +
                    JournalPath(plan.folder) + ")";
  CreateTableList();

  // Every table the dictionary names, once, in the order of MyTables.
  TKeldorDataSet& d = *c_.tbDictionary;
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (d.First(); !d.Eof(); d.Next()) {
    const std::string name = d.Fields()[1]->AsString();
    if (seen.insert(platform::AnsiUpperCase(name)).second) names.push_back(name);
  }

  // The new structures are built in a folder of their own in the temporary folder.
  const std::string temp = platform::GetTempFileName(platform::GetTempPath(), "vel");
  if (temp.empty() || !platform::DeleteFile(temp) || !platform::CreateDirectory(temp))
    throw EVelSwapError("Cannot create a folder in " + platform::GetTempPath() + ": " + Reason());
  struct Scratch {
    std::string folder;
    ~Scratch() {
      std::vector<platform::FileInfo> entries;
      platform::ListDirectory(folder, entries);
      for (const auto& e : entries) platform::DeleteFile(folder + "\\" + e.name);
      platform::RemoveDirectory(folder);
    }
  } scratch{temp};

  d.SetIndexName("MyFields");
  const std::string folder = plan.folder + "\\";
  for (const std::string& name : names) {
    TTablePlan t;
    t.name = name;
    t.present = platform::FileExists(folder + name + ".dbf");
    for (const char* ext : {".dbf", ".cdx", ".fpt"})
      if (platform::FileExists(folder + name + ext)) t.files.push_back(name + ext);
    if (t.present) PlanTable(t, scratch.folder, static_cast<int>(plan.tables.size()) + 1);
    plan.tables.push_back(std::move(t));
  }
  return plan;
}

void TVelRun::PlanTable(TTablePlan& t, const std::string& scratchFolder, int number) {
  const std::vector<std::string> lines = FieldLines(t.name);
  const ThxFieldListCheck check = CheckFieldList(lines);
  if (!check.valid) {
    t.stop = "Field list is invalid" +
             (check.line > 0 ? " (line " + std::to_string(check.line) + ": " + check.reason + ")"
                             : std::string(" (no field rows)"));
    return;
  }
  TComponent owner;
  TKeldorDataSet* from = TComponent::Create<TKeldorDataSet>(owner);
  SetUpTable(from, "tbOriginalTable", "");
  from->SetDatabaseName(DataFolder());
  from->SetTableName(t.name + ".dbf");
  TKeldorDataSet* to = TComponent::Create<TKeldorDataSet>(owner);
  SetUpTable(to, "tbNewTable", "");
  to->SetDatabaseName(scratchFolder);
  to->SetTableName("PLAN" + std::to_string(number));
  TCreateKeldorDataSet* creator = CreatorFor(owner, to);
  for (const std::string& line : lines) creator->CreateFields().Add(line);
  creator->CreateTable();
  from->Open();
  t.fields = SpecsOf(*to->Handler());
  t.changes = CompareStructures(SpecsOf(*from->Handler()), t.fields);

  std::vector<TFieldLink> links = LinkFields(*from, *to);
  std::string refusal;
  to->Append();
  for (from->First(); !from->Eof(); from->Next()) {
    const int64_t recno = from->RecNo();
    ++t.records;
    for (const TFieldLink& l : links) {
      if (!l.to) {
        if (t.stop.empty()) t.stop = "tbNewTable: Field '" + l.from->FieldName() + "' not found";
        if (!l.from->IsNull())
          t.losses.Add({recno, l.from->FieldName(), "field dropped", LossValueText(l.from->AsVariant())});
        continue;
      }
      CopyValue(l, recno, t.losses, &refusal);
    }
  }
  to->Cancel();
  if (t.stop.empty() && !refusal.empty()) t.stop = refusal;

  const std::string oldIndex = DataFolder() + "\\" + t.name + ".cdx";
  if (platform::FileExists(oldIndex)) {
    const std::string table = to->TableFolder() + to->TableName();
    to->Close();
    try {
      const std::vector<TTagDefinition> tags =
          ReadTagDefinitions(DataFolder() + "\\" + t.name + ".dbf", oldIndex);
      RebuildIndexFile(table, ChangeFileExt(table, ".cdx"), tags);
      for (const TTagDefinition& tag : tags) t.tags.push_back(tag.name);
    } catch (const Exception& e) {
      if (t.stop.empty()) t.stop = e.what();
    }
  }
}
