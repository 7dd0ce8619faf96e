// Every real file written by other programs either opens with the field list
// and record count those programs report, or is refused with the engine's
// message. Cut and damaged copies of them never crash the engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/paths.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

namespace fs = std::filesystem;

namespace {

struct Summary {
  bool present = false;
  std::string versionText;
  int64_t records = -1;
  struct Field {
    std::string name, type;
    int width, decimals;
  };
  std::vector<Field> fields;
};

Summary ReadSummary(const fs::path& dbf) {
  Summary s;
  fs::path p = dbf.parent_path() / (dbf.stem().string() + "_summary.txt");
  std::ifstream in(p);
  if (!in) return s;
  s.present = true;
  std::string line;
  bool inFields = false;
  while (std::getline(in, line)) {
    if (line.rfind("Type:", 0) == 0) s.versionText = line;
    if (line.rfind("Records:", 0) == 0) s.records = std::stoll(line.substr(8));
    if (line.rfind("-----", 0) == 0) {
      inFields = true;
      continue;
    }
    if (inFields) {
      std::istringstream ls(line);
      Summary::Field f;
      if (ls >> f.name >> f.type >> f.width >> f.decimals) s.fields.push_back(f);
    }
  }
  return s;
}

// Opens a table the way a reader does; "" on success, else the engine's message.
// Anything other than the engine's exceptions escapes and fails the test.
std::string TryOpen(const std::string& dos, int64_t* records = nullptr, bool readAll = false) {
  try {
    HXO_dBaseFld t(dos, true, false);
    if (records) *records = t.RecordCount();
    if (readAll) {
      for (t.GetRecord(kGetFirst); !t.Eof(); t.GetRecord(kGetNext)) {
      }
    }
    return "";
  } catch (const EKeldorError& e) {
    return e.what();
  } catch (const EKeldorEncryption& e) {
    return e.what();
  }
}

class FixtureDrive {
 public:
  FixtureDrive() {
    platform::DriveMapping m;
    m.hostRoot = VEL_FIXTURES_DIR;
    platform::MapDrive('R', m);
  }
  ~FixtureDrive() { platform::UnmapDrive('R'); }
  static std::string Dos(const fs::path& p) {
    std::string rel = fs::relative(p, VEL_FIXTURES_DIR).string();
    for (char& c : rel)
      if (c == '/') c = '\\';
    return "R:\\" + rel;
  }
};

std::vector<fs::path> AllFixtures() {
  std::vector<fs::path> files;
  if (!fs::exists(VEL_FIXTURES_DIR)) return files;
  for (const auto& e : fs::recursive_directory_iterator(VEL_FIXTURES_DIR))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

TEST(RealTables, OpenWithTheirFieldsOrAreRefused) {
  auto files = AllFixtures();
  VEL_REQUIRE(!files.empty(), "the real fixtures at " << VEL_FIXTURES_DIR);
  FixtureDrive drive;
  int opened = 0;
  for (const auto& path : files) {
    const std::string dos = FixtureDrive::Dos(path);
    SCOPED_TRACE(dos);
    std::string ext = HxUpperCase(path.extension().string());
    Summary sum = ReadSummary(path);
    const bool tableFile = ext == ".DBF" || ext == ".DBC";
    const std::string bytes = ReadHostFile(path.string());
    const bool knownVersion = !bytes.empty() && IsKnownDbfVersion(static_cast<uint8_t>(bytes[0]));

    std::string err = TryOpen(dos);
    if (tableFile && !knownVersion) {
      EXPECT_EQ(err, "Table Header for " + dos + " is invalid");
      continue;
    }
    if (!tableFile) continue;  // memo, index, text files: refused or not, never a crash
    ASSERT_EQ(err, "");
    ++opened;
    HXO_dBaseFld t(dos, true, false);
    EXPECT_EQ(t.RecordCount(),
              static_cast<int64_t>(GetLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + 4)));
    if (!sum.present) continue;
    EXPECT_EQ(t.RecordCount(), sum.records);
    ASSERT_EQ(t.FieldCount(), static_cast<int>(sum.fields.size()));
    for (int i = 1; i <= t.FieldCount(); ++i) {
      const ThxDBFFields* f = t.FieldEntry(i);
      const auto& want = sum.fields[static_cast<size_t>(i - 1)];
      EXPECT_EQ(f->name, want.name);
      EXPECT_EQ(std::string(1, f->type), want.type);
      EXPECT_EQ(static_cast<int>(f->length), want.width) << f->name;
      if (f->type != 'C') {
        EXPECT_EQ(f->decimals, want.decimals) << f->name;
      }
    }
    // Every record reads.
    int64_t n = 0;
    for (t.GetRecord(kGetFirst); !t.Eof(); t.GetRecord(kGetNext)) ++n;
    EXPECT_EQ(n, t.RecordCount());
  }
  EXPECT_GE(opened, 12);
}

TEST(RealTables, CutAndDamagedCopiesGiveTheEnginesMessages) {
  auto files = AllFixtures();
  VEL_REQUIRE(!files.empty(), "the real fixtures at " << VEL_FIXTURES_DIR);
  TempDrive temp;
  std::mt19937 rng(20260108);
  int cases = 0;
  for (const auto& path : files) {
    std::string ext = HxUpperCase(path.extension().string());
    if (ext != ".DBF" && ext != ".DBC") continue;
    const std::string bytes = ReadHostFile(path.string());
    if (bytes.size() < 32) continue;
    SCOPED_TRACE(path.string());
    const size_t hl = GetLE16(reinterpret_cast<const uint8_t*>(bytes.data()) + 8);
    std::vector<size_t> cuts = {0, 1, 31, 32, 33, 64, hl - 1, hl, hl + 1, bytes.size() - 1};
    for (size_t cut : cuts) {
      if (cut > bytes.size()) continue;
      WriteHostFile(temp.Host("cut.dbf"), bytes.substr(0, cut));
      std::string err = TryOpen(temp.Dos("cut.dbf"), nullptr, true);
      if (cut < 32) {
        EXPECT_EQ(err, "Error on Read of file " + temp.Dos("cut.dbf"));
      }
      if (cut < hl && cut >= 32 && err.empty()) ADD_FAILURE() << "cut at " << cut << " opened";
      ++cases;
    }
    // Random header and descriptor damage: refused or readable, never worse.
    for (int round = 0; round < 40; ++round) {
      std::string d = bytes;
      int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits; ++e) {
        size_t at = rng() % std::min<size_t>(d.size(), hl + 64);
        d[at] = static_cast<char>(rng() & 0xFF);
      }
      if (round % 5 == 0) d[8 + rng() % 4] = static_cast<char>(rng() & 0xFF);  // the lengths
      WriteHostFile(temp.Host("bad.dbf"), d);
      TryOpen(temp.Dos("bad.dbf"), nullptr, true);
      ++cases;
    }
  }
  EXPECT_GT(cases, 100);
}
