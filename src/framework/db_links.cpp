// Data sources and data links of the dataset framework: the fan-out of a
// dataset's notifications, the circular-link check and the master link a
// detail dataset follows.
#include <algorithm>

#include "framework/db.h"

namespace {

bool IsEditState(TDataSetState state) {
  return state == TDataSetState::dsEdit || state == TDataSetState::dsInsert;
}

}  // namespace

// ---- TDataSource ----

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  std::vector<TDataLink*> links;
  links.swap(links_);
  for (TDataLink* link : links) {
    link->dataSource_ = nullptr;
    link->UpdateState();
  }
  if (dataSet_) dataSet_->RemoveDataSource(this);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet && IsLinkedTo(dataSet)) DatabaseError(SCircularDataLink, this);
  if (dataSet_) dataSet_->RemoveDataSource(this);
  dataSet_ = dataSet;
  if (dataSet_) dataSet_->AddDataSource(this);
  UpdateLinks();
}

bool TDataSource::IsLinkedTo(const TDataSet* dataSet) const {
  for (int steps = 0; dataSet && steps < 1000; ++steps) {
    const TDataSource* source = dataSet->GetDataSource();
    if (!source) return false;
    if (source == this) return true;
    dataSet = source->DataSet();
  }
  return dataSet != nullptr;
}

void TDataSource::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  UpdateLinks();
}

TDataSetState TDataSource::State() const { return dataSet_ ? dataSet_->State() : TDataSetState::dsInactive; }

void TDataSource::Edit() {
  if (autoEdit_ && State() == TDataSetState::dsBrowse) dataSet_->Edit();
}

void TDataSource::UpdateLinks() {
  std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links)
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->UpdateState();
}

void TDataSource::DataEvent(TDataEvent event, TDataEventInfo info) {
  if (event == TDataEvent::deUpdateState) {
    UpdateLinks();
    if (OnStateChange) OnStateChange(this);
    return;
  }
  if (!enabled_) return;
  std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links)
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->DataEvent(event, info);
  switch (event) {
    case TDataEvent::deFieldChange:
    case TDataEvent::deRecordChange:
      if (OnDataChange) OnDataChange(this, info.field);
      break;
    case TDataEvent::deDataSetChange:
    case TDataEvent::deDataSetScroll:
      if (OnDataChange) OnDataChange(this, nullptr);
      break;
    case TDataEvent::deUpdateRecord:
      if (OnUpdateData) OnUpdateData(this);
      break;
    default:
      break;
  }
}

// ---- TDataLink ----

TDataLink::~TDataLink() {
  // No notifications from here: the subclass part is already gone.
  if (!dataSource_) return;
  auto& links = dataSource_->links_;
  links.erase(std::remove(links.begin(), links.end(), this), links.end());
  if (TDataSet* dataSet = dataSource_->DataSet()) dataSet->UpdateBufferCount();
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == dataSource_) return;
  if (dataSource_) {
    auto& links = dataSource_->links_;
    links.erase(std::remove(links.begin(), links.end(), this), links.end());
    if (TDataSet* dataSet = dataSource_->DataSet()) dataSet->UpdateBufferCount();
  }
  dataSource_ = source;
  if (dataSource_) {
    dataSource_->links_.push_back(this);
    if (TDataSet* dataSet = dataSource_->DataSet()) dataSet->UpdateBufferCount();
  }
  UpdateState();
}

void TDataLink::UpdateState() {
  TDataSet* dataSet = DataSet();
  bool active = dataSource_ && dataSource_->Enabled() && dataSet && dataSet->Active();
  if (active != active_) {
    active_ = active;
    ActiveChanged();
  }
  bool editing = active_ && IsEditState(dataSet->State());
  if (editing != editing_) {
    editing_ = editing;
    EditingChanged();
  }
}

void TDataLink::SetBufferCount(int count) {
  count = std::max(1, count);
  if (count == bufferCount_) return;
  bufferCount_ = count;
  if (TDataSet* dataSet = DataSet()) dataSet->UpdateBufferCount();
}

int TDataLink::ActiveRecord() const { return active_ ? DataSet()->activeRecord_ : 0; }

void TDataLink::SetActiveRecord(int index) {
  if (!active_) return;
  TDataSet* dataSet = DataSet();
  if (index >= 0 && index < std::max(1, dataSet->recordCount_)) dataSet->activeRecord_ = index;
}

int TDataLink::RecordCount() const { return active_ ? DataSet()->recordCount_ : 0; }

bool TDataLink::Edit() {
  if (!readOnly_ && dataSource_) dataSource_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TDataLink::DataEvent(TDataEvent event, TDataEventInfo info) {
  if (!active_) return;
  switch (event) {
    case TDataEvent::deFieldChange:
    case TDataEvent::deRecordChange:
      if (!updating_) RecordChanged(info.field);
      break;
    case TDataEvent::deDataSetChange:
      DataSetChanged();
      break;
    case TDataEvent::deDataSetScroll:
      DataSetScrolled(info.distance);
      break;
    case TDataEvent::deLayoutChange:
    case TDataEvent::deFieldListChange:
      LayoutChanged();
      break;
    case TDataEvent::deUpdateRecord:
      UpdateRecord();
      break;
    case TDataEvent::deCheckBrowseMode:
      CheckBrowseMode();
      break;
    default:
      break;
  }
}

// ---- TMasterDataLink ----

void TMasterDataLink::SetFieldNames(const std::string& names) {
  if (names == fieldNames_) return;
  fieldNames_ = names;
  ResolveFields();
}

void TMasterDataLink::ResolveFields() {
  fields_.clear();
  if (Active() && DataSet()) fields_ = DataSet()->GetFieldList(fieldNames_);
}

void TMasterDataLink::ActiveChanged() {
  fields_.clear();
  if (Active()) {
    ResolveFields();
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void TMasterDataLink::LayoutChanged() { ActiveChanged(); }

void TMasterDataLink::RecordChanged(TField* field) {
  if (!DataSource() || DataSource()->State() == TDataSetState::dsSetKey) return;
  if (field && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
  if (OnMasterChange) OnMasterChange();
}
