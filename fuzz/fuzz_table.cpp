// Fuzz target: a table and its memo file, opened and read record by record,
// field by field, twice: through the table object's typed getters and
// through the dataset layer's field objects, as the program reads tables.
//
// Input: the DBF bytes, the separator line, the memo file's bytes (written
// both as T.FPT and T.DBT, so every version finds its memo file).
#include <cstddef>
#include <cstdint>
#include <string>

#include "dataset/Keldor6db.h"
#include "framework/exceptions.h"
#include "fuzz_support.h"
#include "tables/hx6_dbf.h"

namespace {

// Records read per open: enough to reach every kind of record a small input
// holds, few enough to keep the run quick.
constexpr int64_t kMaxRecords = 400;

void ReadWithTable() {
  try {
    HXO_dBaseFld t(fuzzsupport::Dos("T.DBF"), false, false);
    const int64_t count = std::min<int64_t>(t.RecordCount(), kMaxRecords);
    for (int64_t r = 1; r <= count; ++r) {
      t.GetRecord(r);
      for (int n = 1; n <= t.FieldCount(); ++n) {
        try {
          std::string text;
          t.GetRaw(n, text);
          switch (t.FieldType(n)) {
            case 'N':
            case 'F':
              (void)t.GetNumber(n);
              break;
            case 'D':
              (void)t.GetDate(n);
              break;
            case 'L':
              (void)t.GetLogical(n);
              break;
            case 'M':
            case 'B':
            case 'G':
              if (t.IsMemoField(n)) {
                (void)t.MemoSize(n);
                (void)t.ReadMemoText(n);
              }
              break;
            default:
              t.GetString(n, text);
              break;
          }
        } catch (const Exception&) {
        }
      }
    }
    for (int64_t code : {kGetFirst, kGetNext, kGetLast, kGetPrevious}) t.GetRecord(code);
  } catch (const Exception&) {
  }
}

void ReadWithDataset() {
  try {
    TKeldorDataSet ds;
    ds.SetDatabaseName("Q:\\");
    ds.SetTableName("T.DBF");
    ds.SetReadOnly(true);
    ds.Open();
    int64_t n = 0;
    for (ds.First(); !ds.Eof() && n < kMaxRecords; ds.Next(), ++n) {
      for (int i = 0; i < ds.FieldCount(); ++i) {
        try {
          (void)ds.Fields()[i]->AsString();
        } catch (const Exception&) {
        }
      }
    }
    (void)ds.RecordCount();
  } catch (const Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No keldor.cfg of the user's: the Windows folder is the scratch folder.
  setenv("VELUPDATE_WINDIR", fuzzsupport::Root().c_str(), 1);
  ReloadKeldorAliases();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = fuzzsupport::Split(data, size, 2);
  fuzzsupport::WriteFile("T.DBF", parts[0]);
  fuzzsupport::WriteFile("T.FPT", parts[1]);
  fuzzsupport::WriteFile("T.DBT", parts[1]);
  ReadWithTable();
  ReadWithDataset();
  return 0;
}
