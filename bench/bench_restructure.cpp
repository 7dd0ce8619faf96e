// The restructure of a big table, beside its baselines measured in the same run.
//
// The table BIG (ID N 8, NAME C 30, CITY C 20, AMOUNT N 12.2, BORN D,
// ACTIVE L, NOTES M; every 20th record deleted, a memo on every 10th) has a
// memo file and a CDX of three tags; its dictionary widens NAME to C 40 and
// adds EMAIL C 30. Figures:
//
//   restructure   the run's UpdateTables (copy, index rebuild, swap) beside
//                 `cp` of the table's three files (goal: within 5x);
//   peer          the same on a table of a tenth the size beside a python3-dbf
//                 script copying the records into the new structure (goal: at
//                 least 20x faster);
//   datasets      the copy through the two datasets (what a table whose
//                 structure needs conversions takes), on the smaller table;
//   backup        the Start command's backup read back and checked, beside
//                 `zip -6` then `unzip -t` of the same files (goal: no slower);
//   memory        peak memory (VmHWM) of a restructure in a fresh process, on
//                 both sizes (goal: under 64 MB and flat).
//
//   bench_restructure [--records N] [benchmark flags]   (default 1,000,000)
//   bench_restructure --child FOLDER_DOS                one restructure; prints "hwm <kB>"
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "app/operator_folder.h"
#include "dataset/Keldor6db.h"
#include "restructure/VelRun.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;

namespace {

int64_t gRecords = 1000000;
std::unique_ptr<TempDrive> gDrive;
std::string gSelf;
std::map<std::string, double> gSeconds;

struct NullView : TVelView {
  void SetInformation(const std::string&) override {}
  void SetArchiveName(const std::string& name) override { archive = name; }
  std::string ArchiveName() override { return archive; }
  void ArchiveProgress(TComponent*, uint8_t, uint8_t) override {}
  void SetTableProgressMax(int) override {}
  void SetTableProgress(int) override {}
  void Problem(const std::string& reason) override { problem = reason; }
  std::string archive, problem;
};

const char* const kNames[] = {"ANDERSEN", "BAKER",   "CASTILLO", "DUBOIS", "EKSTROM",  "FISCHER",
                              "GARCIA",   "HOFFMAN", "IVANOV",   "JENSEN", "KOWALSKI", "LINDQVIST"};
const char* const kCities[] = {"VELMORA", "OSTBURG", "KARNHOLM", "RIVADELLA", "MONTFORT", "SALZHEIM"};

// Writes BIG.DBF, BIG.FPT (records directly) and BIG.CDX (through the index
// engine) with `records` records, and the dictionary, into `name` on B:.
void Generate(const std::string& name, int64_t records) {
  const std::string host = gDrive->Host(name), dos = gDrive->Dos(name);
  fs::create_directories(host);
  opfolder::WriteDictionary(dos, host,
                            {{"BIG", "ID", "N", 8, 0},
                             {"BIG", "NAME", "C", 40, 0},
                             {"BIG", "CITY", "C", 20, 0},
                             {"BIG", "AMOUNT", "N", 12, 2},
                             {"BIG", "BORN", "D", 8, 0},
                             {"BIG", "ACTIVE", "L", 1, 0},
                             {"BIG", "NOTES", "M", 10, 0},
                             {"BIG", "EMAIL", "C", 30, 0}});
  tabletest::DbfImage header;
  header.version = 0xF5;
  header.fields = {{"ID", 'N', 8},   {"NAME", 'C', 30},  {"CITY", 'C', 20}, {"AMOUNT", 'N', 12, 2},
                   {"BORN", 'D', 8}, {"ACTIVE", 'L', 1}, {"NOTES", 'M', 10}};
  header.endOfFile = false;
  header.headerCount = static_cast<uint32_t>(records);
  std::ofstream dbf(host + "/BIG.DBF", std::ios::binary);
  dbf << tabletest::Bytes(header);
  std::ofstream fpt(host + "/BIG.FPT", std::ios::binary);
  std::string memoHeader(512, '\0');
  memoHeader[7] = 64;
  fpt << memoHeader;
  uint32_t nextBlock = 8;
  std::string out;
  for (int64_t i = 1; i <= records; ++i) {
    std::string ref(10, ' ');
    if (i % 10 == 0) {
      const std::string text = "Note on customer " + std::to_string(i) +
                               ": calls on Mondays, invoices by post, " + "keeps the account in " +
                               kCities[i % 6] + ".";
      std::string block(8, '\0');
      opfolder::PutBE32(block, 0, 1);
      opfolder::PutBE32(block, 4, static_cast<uint32_t>(text.size()));
      block += text;
      block.resize((block.size() + 63) / 64 * 64, '\0');
      fpt << block;
      ref = opfolder::Fixed("%10u", nextBlock);
      nextBlock += static_cast<uint32_t>(block.size() / 64);
    }
    out += opfolder::Fixed(
        "%c%8lld%-30s%-20s%12.2f%04d%02d%02d%c%s", i % 20 == 0 ? '*' : ' ', static_cast<long long>(i),
        (std::string(kNames[i % 12]) + " " + std::to_string(i)).c_str(), kCities[i % 6],
        static_cast<double>(i % 100000) / 7.0, 1940 + static_cast<int>(i % 60), 1 + static_cast<int>(i % 12),
        1 + static_cast<int>(i % 28), i % 3 ? 'T' : 'F', ref.c_str());
    if (out.size() > (1 << 20)) {
      dbf << out;
      out.clear();
    }
  }
  dbf << out << '\x1A';
  dbf.close();
  fpt.seekp(0);
  std::string next(4, '\0');
  opfolder::PutBE32(next, 0, nextBlock);
  fpt << next;
  fpt.close();
  opfolder::Index(dos + "\\BIG.DBF", "BIG.CDX",
                  {{"ID", "STR(ID,8)"}, {"NAME", "UPPER(NAME)"}, {"CITY", "CITY+STR(ID,8)"}});
}

// A fresh copy of folder `from` in `to` (nothing timed).
void Fresh(const std::string& from, const std::string& to) {
  fs::remove_all(gDrive->Host(to));
  fs::copy(gDrive->Host(from), gDrive->Host(to));
}

double Seconds(const std::function<void()>& work) {
  const auto t = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The restructure of the table in `folder`: table list, then every table
// rebuilt (no backup).
void Restructure(const std::string& folderDos, bool direct) {
  TComponent owner;
  const TVelComponents c = CreateVelComponents(owner);
  for (TKeldorDataSet* tb : {c.tbDictionary, c.tbNewTable, c.tbOriginalTable}) tb->SetDatabaseName(folderDos);
  TStringList names, files;
  NullView view;
  TVelRun run(c, names, files, view);
  run.DirectCopy = direct;
  c.tbDictionary->Open();
  run.CreateTableList();
  if (!run.UpdateTables() || run.TablesRebuilt() != 1)
    throw std::runtime_error("restructure failed: " + view.problem);
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void BM_CpBaseline(benchmark::State& state) {
  for (auto _ : state) {
    fs::remove_all(gDrive->Host("cp"));
    fs::create_directories(gDrive->Host("cp"));
    gSeconds["cp"] = Seconds([] {
      Shell("cp '" + gDrive->Host("big/BIG.DBF") + "' '" + gDrive->Host("big/BIG.FPT") + "' '" +
            gDrive->Host("big/BIG.CDX") + "' '" + gDrive->Host("cp") + "'");
    });
    state.SetIterationTime(gSeconds["cp"]);
  }
}

void BM_Restructure(benchmark::State& state) {
  for (auto _ : state) {
    Fresh("big", "work");
    gSeconds["restructure"] = Seconds([] { Restructure(gDrive->Dos("work"), true); });
    state.SetIterationTime(gSeconds["restructure"]);
  }
}

void BM_RestructureSmall(benchmark::State& state) {
  const bool direct = state.range(0) != 0;
  for (auto _ : state) {
    Fresh("small", "work");
    const double s = Seconds([direct] { Restructure(gDrive->Dos("work"), direct); });
    gSeconds[direct ? "restructure_small" : "datasets_small"] = s;
    state.SetIterationTime(s);
  }
}

void BM_PythonDbfPeer(benchmark::State& state) {
  const std::string script = std::string(VEL_SOURCE_DIR) + "/bench/bench_restructure_peer.py";
  for (auto _ : state) {
    fs::remove(gDrive->Host("small/PEER.DBF"));
    fs::remove(gDrive->Host("small/PEER.FPT"));
    gSeconds["python_small"] = Seconds([&] {
      Shell("/usr/bin/python3 '" + script + "' '" + gDrive->Host("small/BIG.DBF") + "' '" +
            gDrive->Host("small/PEER.DBF") + "'");
    });
    state.SetIterationTime(gSeconds["python_small"]);
  }
}

void BM_VerifiedBackup(benchmark::State& state) {
  for (auto _ : state) {
    Fresh("big", "work");
    fs::remove_all(gDrive->Host("archive"));
    TComponent owner;
    const TVelComponents c = CreateVelComponents(owner);
    for (TKeldorDataSet* tb : {c.tbDictionary, c.tbNewTable, c.tbOriginalTable})
      tb->SetDatabaseName(gDrive->Dos("work"));
    TStringList names, files;
    NullView view;
    TVelRun run(c, names, files, view);
    run.ArchiveFolder = gDrive->Dos("archive\\");
    c.tbDictionary->Open();
    run.CreateTableList();
    gSeconds["backup"] = Seconds([&] {
      if (!run.BackUp()) throw std::runtime_error("backup incomplete");
    });
    state.SetIterationTime(gSeconds["backup"]);
  }
}

void BM_ZipThenUnzipTest(benchmark::State& state) {
  for (auto _ : state) {
    fs::remove(gDrive->Host("zip6.zip"));
    gSeconds["zip"] = Seconds([] {
      Shell("cd '" + gDrive->Host("big") +
            "' && zip -6 -q ../zip6.zip BIG.DBF BIG.FPT BIG.CDX && unzip -tq ../zip6.zip >/dev/null");
    });
    state.SetIterationTime(gSeconds["zip"]);
  }
}

long PeakKbOfChild(const std::string& folderDos) {
  const std::string out = gDrive->Host("child.txt");
  const std::string cmd = "VELUPDATE_DRIVE_B='" + gDrive->Root() + "' '" + gSelf + "' --child '" + folderDos +
                          "' > '" + out + "'";
  if (std::system(cmd.c_str()) != 0) return -1;
  std::ifstream f(out);
  std::string word;
  long kb = -1;
  while (f >> word)
    if (word == "hwm") f >> kb;
  return kb;
}

int ChildMain(const std::string& folderDos) {
  Restructure(folderDos, true);
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0)
      std::cout << "hwm " << std::strtol(line.c_str() + 6, nullptr, 10) << "\n";
  return 0;
}

}  // namespace

BENCHMARK(BM_CpBaseline)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_Restructure)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_RestructureSmall)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_PythonDbfPeer)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_VerifiedBackup)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_ZipThenUnzipTest)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();

int main(int argc, char** argv) {
  gSelf = fs::canonical("/proc/self/exe").string();
  if (argc == 3 && std::string(argv[1]) == "--child") {
    try {
      return ChildMain(argv[2]);
    } catch (const std::exception& e) {
      std::cerr << e.what() << "\n";
      return 1;
    }
  }
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--records" && i + 1 < argc) {
      gRecords = std::strtoll(argv[++i], nullptr, 10);
      continue;
    }
    rest.push_back(argv[i]);
  }
  gDrive = std::make_unique<TempDrive>('B');
  std::printf("generating BIG with %lld records (and a tenth of it)...\n", static_cast<long long>(gRecords));
  Generate("big", gRecords);
  Generate("small", gRecords / 10);
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();

  Fresh("big", "mem_big");
  Fresh("small", "mem_small");
  const long hwmBig = PeakKbOfChild(gDrive->Dos("mem_big"));
  const long hwmSmall = PeakKbOfChild(gDrive->Dos("mem_small"));

  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  auto& s = gSeconds;
  std::printf(
      "\n=== bench_restructure: %lld records (NAME widened, EMAIL added; memo file, CDX of 3 tags) ===\n",
      static_cast<long long>(gRecords));
  std::printf("%-28s %10s %10s %8s\n", "figure", "value", "baseline", "ratio");
  std::printf("%-28s %9.2fs %9.2fs %8.2f  (restructure vs cp; goal <= 5)\n", "restructure", s["restructure"],
              s["cp"], ratio(s["restructure"], s["cp"]));
  std::printf("%-28s %9.2fs %9.2fs %8.2f  (python3-dbf vs restructure, a tenth of the records; goal >= 20)\n",
              "peer", s["restructure_small"], s["python_small"],
              ratio(s["python_small"], s["restructure_small"]));
  std::printf("%-28s %9.2fs %9.2fs %8.2f  (through the datasets vs direct, a tenth of the records)\n",
              "datasets", s["datasets_small"], s["restructure_small"],
              ratio(s["datasets_small"], s["restructure_small"]));
  std::printf("%-28s %9.2fs %9.2fs %8.2f  (verified backup vs zip -6 + unzip -t; goal <= 1)\n", "backup",
              s["backup"], s["zip"], ratio(s["backup"], s["zip"]));
  std::printf("%-28s %8.1fMB %8.1fMB %8.2f  (all records vs a tenth; goal < 64 MB, flat)\n",
              "peak memory (VmHWM)", hwmBig / 1024.0, hwmSmall / 1024.0,
              ratio(static_cast<double>(hwmBig), static_cast<double>(hwmSmall)));
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
