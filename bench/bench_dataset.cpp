// The dataset framework's cost per row, beside plain loops doing the same
// work on the same values.
//
// 200,000 rows (NAME C 20, QTY integer, PRICE float) live in the tests'
// in-memory dataset. Scan: First/Next over every row, reading the three
// fields through their field objects; the baseline reads the same values
// from a vector of structs. Copy: every row is copied into a second dataset
// field by field as variants, looking each field up by name, the way a table
// is rebuilt; the baseline copies the structs into a new vector. Figures are
// rows per second; compare the ratios.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/db.h"
#include "framework/memory_dataset.h"

namespace {

constexpr int kRows = 200000;

struct Rec {
  std::string name;
  int32_t qty;
  double price;
};

std::vector<Rec> MakeRecs() {
  std::vector<Rec> recs;
  recs.reserve(kRows);
  for (int i = 0; i < kRows; ++i) recs.push_back({"name " + std::to_string(i), i % 1000, i / 7.0});
  return recs;
}

std::unique_ptr<TMemoryDataSet> MakeDataSet(bool filled) {
  auto ds = std::make_unique<TMemoryDataSet>();
  ds->defs = {{"NAME", TFieldType::ftString, 20},
              {"QTY", TFieldType::ftInteger, 0},
              {"PRICE", TFieldType::ftFloat, 0}};
  if (filled)
    for (int i = 0; i < kRows; ++i)
      ds->AddRow({"name " + std::to_string(i), std::to_string(i % 1000), std::to_string(i / 8) + ".5"});
  return ds;
}

void BM_ScanBaseline(benchmark::State& state) {
  std::vector<Rec> recs = MakeRecs();
  for (auto _ : state) {
    size_t chars = 0;
    int64_t qty = 0;
    double price = 0;
    for (const Rec& r : recs) {
      std::string name = r.name;
      chars += name.size();
      qty += r.qty;
      price += r.price;
    }
    benchmark::DoNotOptimize(chars + qty + price);
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DataSetScan(benchmark::State& state) {
  auto ds = MakeDataSet(true);
  ds->Open();
  TField* name = ds->FieldByName("NAME");
  TField* qtyField = ds->FieldByName("QTY");
  TField* priceField = ds->FieldByName("PRICE");
  for (auto _ : state) {
    size_t chars = 0;
    int64_t qty = 0;
    double price = 0;
    for (ds->First(); !ds->Eof(); ds->Next()) {
      chars += name->AsString().size();
      qty += qtyField->AsInteger();
      price += priceField->AsFloat();
    }
    benchmark::DoNotOptimize(chars + qty + price);
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_CopyBaseline(benchmark::State& state) {
  std::vector<Rec> recs = MakeRecs();
  for (auto _ : state) {
    std::vector<Rec> copy;
    for (const Rec& r : recs) copy.push_back(r);
    benchmark::DoNotOptimize(copy.data());
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DataSetCopy(benchmark::State& state) {
  auto from = MakeDataSet(true);
  from->Open();
  for (auto _ : state) {
    state.PauseTiming();
    auto to = MakeDataSet(false);
    to->rows.reserve(kRows);
    to->Open();
    state.ResumeTiming();
    for (from->First(); !from->Eof(); from->Next()) {
      to->Append();
      for (int i = 0; i < from->FieldCount(); ++i) {
        TField* source = from->Fields()[i];
        to->FieldByName(source->FieldName())->SetAsVariant(source->AsVariant());
      }
      to->Post();
    }
    state.PauseTiming();
    to.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_ScanBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DataSetScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DataSetCopy)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
