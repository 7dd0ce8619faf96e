// The table creator: a new, empty table from field descriptions, opened
// through a table dataset.
//
//   DBFType    builder          version with memo  memo file
//   Clipper    HXO_DBFBuild     0x83               .DBT (dBase III)
//   DBaseIII   HXO_DBFBuild     0x83               .DBT (dBase III)
//   DBaseIV    HXO_DB4Build     0x8B               .DBT (dBase IV)
//   FoxPro2    HXO_DBFoxBuild   0xF5               .fpt
//
// A table without memo fields carries 0x03 in every flavour.
#include <memory>

#include "dataset/Keldor6db.h"
#include "framework/application.h"
#include "framework/dberrors.h"
#include "framework/sysutils.h"
#include "platform/file.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

namespace {

std::unique_ptr<HXO_DBFBuild> MakeBuilder(ThxDBFTypes type, const std::string& target) {
  switch (type) {
    case ThxDBFTypes::DBaseIV:
      return std::make_unique<HXO_DB4Build>(target);
    case ThxDBFTypes::FoxPro2:
      return std::make_unique<HXO_DBFoxBuild>(target);
    case ThxDBFTypes::Clipper:
    case ThxDBFTypes::DBaseIII:
      break;
  }
  return std::make_unique<HXO_DBFBuild>(target);
}

}  // namespace

TCreateKeldorDataSet::TCreateKeldorDataSet(TComponent* owner) : TComponent(owner) {}

TCreateKeldorDataSet::~TCreateKeldorDataSet() = default;

void TCreateKeldorDataSet::SetDBFTable(TKeldorDataSet* table) {
  if (table == dbfTable_) return;
  if (dbfTable_) RemoveFreeNotification(dbfTable_);
  dbfTable_ = table;
  // A dataset freed before this component must not leave a dangling reference.
  if (dbfTable_) FreeNotification(dbfTable_);
}

void TCreateKeldorDataSet::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == dbfTable_) dbfTable_ = nullptr;
}

std::string TCreateKeldorDataSet::TargetFile() const {
  if (!dbfTable_) return std::string();
  // The folder as the dataset resolves it, then the table name as it stands;
  // the builder adds ".DBF" to a name without extension, and so does the
  // dataset when it opens the table.
  return ExpandFileName(DefaultExtension(HxTrim(dbfTable_->TableFolder() + dbfTable_->TableName()), ".DBF"));
}

bool TCreateKeldorDataSet::CreateTable() {
  if (!dbfTable_) DatabaseError(KeldorMessage(hxErrTableNotAssigned));
  if (dbfTable_->Active()) DatabaseError(KeldorMessage(hxErrTableIsOpen));
  // Without a name the builder would write a file called ".DBF" in the
  // folder, which the dataset then refuses to open.
  if (HxTrim(dbfTable_->TableName()).empty()) DatabaseError(KeldorMessage(hxDsTableNameMissing));

  // The question asks about the file the build would replace: with the
  // extension the builder adds, so that a table named without one (the
  // restructure's NEWTable) is not replaced unasked.
  const std::string target = TargetFile();
  if (!autoOverwrite_ && platform::FileExists(target)) {
    const int answer = Application().MessageBox(KeldorMessage(hxMsgTableExists), Application().Title(),
                                                MB_OKCANCEL | MB_ICONWARNING);
    if (answer != IDOK) return false;
  }

  // The whole list is checked before a builder exists: a builder destroyed
  // unbuilt would still write its table.
  std::vector<std::string> lines;
  lines.reserve(static_cast<size_t>(createFields_.Count()));
  for (int i = 0; i < createFields_.Count(); ++i) lines.push_back(createFields_.Strings(i));
  const ThxFieldListCheck check = CheckFieldList(lines);
  if (!check.valid) DatabaseError(KeldorMessage(hxErrFieldListInvalid));

  bool built = false;
  {
    std::unique_ptr<HXO_DBFBuild> builder = MakeBuilder(dbfType_, target);
    for (const ThxFieldDescription& f : check.fields) builder->AddField(f.name, f.type, f.size, f.decimals);
    builder->Build();
    built = builder->DiskFile() != nullptr;
  }  // closes the new table, so that the dataset can open it shared
  if (built) dbfTable_->Open();
  return built;
}
