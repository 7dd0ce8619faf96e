// The restructure's copy through the table dataset, beside the table object
// doing the same copy directly.
//
// A source table of 20,000 records (NAME C 20, CITY C 15, AMOUNT N 10.2,
// QTY N 5, BORN D, OK L; every tenth record deleted) is copied into an empty
// table of the same structure, both opened shared as the program opens them.
// Dataset: walk the source with First/Next, Append a row to the target, assign
// every field by name as a variant, Post. Baseline: the table object reads
// each live record and appends it, field by field as text. Figures are
// records per second; compare the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dataset/Keldor6db.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"
#include "tables/table_test_util.h"

namespace {

constexpr int kRecords = 20000;

tabletest::DbfImage Structure() {
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 20}, {"CITY", 'C', 15}, {"AMOUNT", 'N', 10, 2},
                {"QTY", 'N', 5},   {"BORN", 'D', 8},  {"OK", 'L', 1}};
  return img;
}

struct Folder {
  TempDrive drive{'B'};
  int live = 0;
  Folder() {
    tabletest::DbfImage src = Structure();
    for (int i = 1; i <= kRecords; ++i) {
      char buf[128];
      std::snprintf(buf, sizeof buf, "%c%-20s%-15s%10.2f%5d%04d%02d%02d%c", i % 10 == 0 ? '*' : ' ',
                    ("Name " + std::to_string(i)).c_str(), ("City " + std::to_string(i % 97)).c_str(),
                    i * 1.25, i % 1000, 1950 + i % 50, 1 + i % 12, 1 + i % 28, i % 2 ? 'T' : 'F');
      src.records.push_back(buf);
      if (i % 10 != 0) ++live;
    }
    WriteHostFile(drive.Host("src.dbf"), tabletest::Bytes(src));
  }
  void FreshTarget() { WriteHostFile(drive.Host("dst.dbf"), tabletest::Bytes(Structure())); }
};

Folder& TheFolder() {
  static Folder folder;
  return folder;
}

void BM_CopyThroughDataSets(benchmark::State& state) {
  Folder& f = TheFolder();
  for (auto _ : state) {
    state.PauseTiming();
    f.FreshTarget();
    state.ResumeTiming();
    TKeldorDataSet src, dst;
    src.SetDatabaseName(f.drive.Dos());
    src.SetTableName("src.dbf");
    dst.SetDatabaseName(f.drive.Dos());
    dst.SetTableName("dst.dbf");
    src.Open();
    dst.Open();
    int copied = 0;
    for (src.First(); !src.Eof(); src.Next()) {
      dst.Append();
      for (int i = 0; i < src.FieldCount(); ++i) {
        TField* from = src.Fields()[i];
        dst.FieldByName(from->FieldName())->SetAsVariant(from->AsVariant());
      }
      dst.Post();
      ++copied;
    }
    src.Close();
    dst.Close();
    if (copied != f.live) state.SkipWithError("wrong number of records copied");
  }
  state.counters["records/s"] =
      benchmark::Counter(double(f.live) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_CopyThroughTableObjectsBaseline(benchmark::State& state) {
  Folder& f = TheFolder();
  for (auto _ : state) {
    state.PauseTiming();
    f.FreshTarget();
    state.ResumeTiming();
    HXO_dBaseFld src(f.drive.Dos("src.dbf"), true, true);
    HXO_dBaseFld dst(f.drive.Dos("dst.dbf"), true, true);
    std::vector<int> target;
    for (int n = 1; n <= src.FieldCount(); ++n) target.push_back(dst.FieldNumber(src.FieldName(n)));
    int copied = 0;
    std::string text;
    for (int64_t r = 1; r <= src.RecordCount(); ++r) {
      src.GetRecord(r);
      if (src.RecordBuffer()[0] == '*') continue;
      dst.BlankRecord();
      for (int n = 1; n <= src.FieldCount(); ++n) {
        src.GetRaw(n, text);
        dst.PutRaw(target[static_cast<size_t>(n - 1)], text);
      }
      dst.AppendRecord();
      ++copied;
    }
    if (copied != f.live) state.SkipWithError("wrong number of records copied");
  }
  state.counters["records/s"] =
      benchmark::Counter(double(f.live) * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_CopyThroughTableObjectsBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyThroughDataSets)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
