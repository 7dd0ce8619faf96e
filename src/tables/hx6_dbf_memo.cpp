// Memo hooks of the table: the memo object is made on first use and owned by
// the table; the table's Flush, RenameTo and lock protocol reach it here.
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"

void HxMemoDeleter::operator()(HXobjMemo* memo) const { std::default_delete<HXobjMemo>()(memo); }

HXobjMemo* HXO_dBaseDBF::MemoFile() {
  if (!memo_ && hasMemo_) {
    memo_.reset(HXobjMemo::OpenFor(*this).release());
    if (memo_) memo_->SetLockProtocol(lock_.Protocol());
  }
  return memo_.get();
}

// A memo file that was never opened has nothing to flush; opening it here
// would make a table with a lost memo file fail on every flush.
void HXO_dBaseDBF::FlushMemo() {
  if (memo_) memo_->Flush();
}

void HXO_dBaseDBF::RenameMemo(const std::string& newTableName) {
  if (memo_) memo_->RenameWithTable(newTableName);
}

void HXO_dBaseDBF::MemoSetLockProtocol(uint8_t protocol) {
  if (memo_) memo_->SetLockProtocol(protocol);
}
