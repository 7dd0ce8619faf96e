// veltool as scripts and administrators use it: every subcommand answers
// --help, a wrong command line is exit status 2 with the usage on stderr, a
// failure is status 1 with the engine's message, --json is always JSON.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/shell.h"
#include "support/temp_drive.h"
#include "tables/hx6_tool.h"
#include "tables/table_test_util.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs veltool with `args` (already quoted for the shell), stdin from /dev/null.
ToolRun Tool(const std::string& args, const std::string& env = "") {
  ToolRun r;
  const std::string errFile =
      (std::filesystem::temp_directory_path() / ("veltool-err-" + std::to_string(::getpid()) + ".txt"))
          .string();
  const std::string cmd = env + " " + VEL_VELTOOL + " " + args + " </dev/null 2>" + Quote(errFile);
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int rc = pclose(p);
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.err = ReadHostFile(errFile);
  std::filesystem::remove(errFile);
  return r;
}

}  // namespace

TEST(VeltoolCommandLine, EveryCommandHasHelpAndRefusesUnknownOptions) {
  const ToolRun list = Tool("");
  EXPECT_EQ(list.status, 2);
  for (const char* cmd : {"dump", "eval", "info", "scan", "zip", "ziplist"}) {
    SCOPED_TRACE(cmd);
    EXPECT_NE(list.err.find(std::string("  ") + cmd + " "), std::string::npos) << list.err;
    // Help is the command's own usage, on stdout, and opens nothing.
    const ToolRun help = Tool(std::string(cmd) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(std::string("Usage: veltool ") + cmd + " "), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
    // An unknown option: its name and the usage on stderr, status 2, nothing on stdout.
    const ToolRun bad = Tool(std::string(cmd) + " --no-such-option x");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("--no-such-option"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find(std::string("Usage: veltool ") + cmd), std::string::npos) << bad.err;
  }
  // A help request named like a file is still a help request.
  EXPECT_EQ(Tool("info --help.DBF").status, 2);
  EXPECT_EQ(Tool("info").status, 2);                 // FILE missing
  EXPECT_EQ(Tool("zip x.zip --level Q").status, 2);  // bad value
  EXPECT_EQ(Tool("info a.dbf b.dbf").status, 2);     // one FILE too many
  EXPECT_EQ(Tool("no-such-command").status, 2);

  const ToolRun version = Tool("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("veltool ", 0), 0u) << version.out;
  EXPECT_GT(version.out.size(), std::string("veltool \n").size());
}

TEST(VeltoolCommandLine, FailuresExitOneWithTheEnginesMessage) {
  TempDrive drive;
  const std::string env = "VELUPDATE_DRIVE_T=" + Quote(drive.Root());
  const ToolRun missing = Tool("info " + Quote(drive.Host("none.dbf")), env);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("veltool info: File T:\\none.dbf could not be found"), std::string::npos)
      << missing.err;

  // Not a table: the header message, for info and dump alike.
  WriteHostFile(drive.Host("text.dbf"), "this is not a table, only some text of a readme");
  for (const char* cmd : {"info", "dump"}) {
    const ToolRun r = Tool(std::string(cmd) + " " + Quote(drive.Host("text.dbf")), env);
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_NE(r.err.find("Table Header for T:\\text.dbf is invalid"), std::string::npos) << r.err;
  }
  const ToolRun expr = Tool("eval " + Quote("1 +"));
  EXPECT_EQ(expr.status, 1);
  EXPECT_NE(expr.err.find("veltool eval: "), std::string::npos);
}

TEST(VeltoolCommandLine, JsonOfOddTablesParses) {
  TempDrive drive;
  // Two fields of one name, text with every byte value, a deleted record.
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 4}, {"NAME", 'C', 4}, {"TEXT", 'C', 16}};
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  img.records = {" ab  cd  " + all.substr(0, 16), "*x   y   " + all.substr(120, 16),
                 " q   r   " + all.substr(200, 16)};
  WriteHostFile(drive.Host("odd.dbf"), tabletest::Bytes(img));
  for (const std::string args : {"dump --json --deleted", "info --json"}) {
    SCOPED_TRACE(args);
    const ToolRun r = Tool(args + " " + Quote(drive.Host("odd.dbf")));
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int parsed = 0;
    while (std::getline(lines, line)) {
      const auto doc = nlohmann::json::parse(line, nullptr, false);
      ASSERT_FALSE(doc.is_discarded()) << line;
      ++parsed;
      if (doc.contains("fields") && doc["fields"].is_object()) {
        // Both fields of the same name are there.
        EXPECT_EQ(doc["fields"].size(), 3u) << line;
      }
    }
    EXPECT_EQ(parsed, args[0] == 'd' ? 3 : 1);
  }
}

namespace {

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string Le64(uint64_t v) { return Le32(static_cast<uint32_t>(v)) + Le32(static_cast<uint32_t>(v >> 32)); }
std::string Be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

// Sets descriptor byte 18 (Visual FoxPro field flags) of field n (1-based).
void SetFieldFlags(std::string& dbf, int n, uint8_t flags) {
  dbf[static_cast<size_t>(32 * n + 18)] = static_cast<char>(flags);
}

// A FoxPro memo file (block size 64) holding `memos` from block 8 on; returns each one's block.
std::string FptWith(const std::vector<std::string>& memos, std::vector<uint32_t>& blocks) {
  std::string f(512, '\0');
  for (const auto& m : memos) {
    blocks.push_back(static_cast<uint32_t>(f.size() / 64));
    f += Be32(1) + Be32(static_cast<uint32_t>(m.size())) + m;
    f.resize((f.size() + 63) / 64 * 64, '\0');
  }
  const std::string next = Be32(static_cast<uint32_t>(f.size() / 64));
  f.replace(0, 4, next);
  f[7] = 64;
  return f;
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

}  // namespace

TEST(VeltoolDump, VisualFoxProValuesByTheirFieldTypes) {
  TempDrive drive;
  const std::string env = "VELUPDATE_DRIVE_T=" + Quote(drive.Root());
  std::vector<uint32_t> blocks;
  const std::string fpt = FptWith({"memo text\r\nline 2", std::string("\x01\x02\x03\x04\x05", 5)}, blocks);
  WriteHostFile(drive.Host("vfp.fpt"), fpt);

  tabletest::DbfImage img;
  img.version = 0x30;
  img.extraArea = 263;
  img.flags = 0x02;
  img.fields = {{"NAME", 'C', 6},  {"CNT", 'I', 4},  {"PRICE", 'Y', 8}, {"STAMP", 'T', 8},
                {"RATIO", 'B', 8}, {"BORN", 'D', 8}, {"NOTE", 'M', 4},  {"PIC", 'G', 4},
                {"TXT", 'V', 6},   {"RAW", 'Q', 4},  {"FLAG", 'L', 1},  {"_NullFlags", '0', 1}};
  // _NullFlags bits in field order: NAME null 0, BORN null 1, TXT length 2, TXT null 3, RAW length 4.
  const double ratio = -0.125;
  uint64_t ratioBits;
  std::memcpy(&ratioBits, &ratio, 8);
  const std::string stamp = Le32(2444240) + Le32(43200250);  // 1980-01-01 12:00:00.250
  img.records = {" Alpha " + Le32(static_cast<uint32_t>(-42)) + Le64(static_cast<uint64_t>(-123456)) + stamp +
                     Le64(ratioBits) + "20240131" + Le32(blocks[0]) + Le32(blocks[1]) + "abcdef" +
                     std::string("\xAB\xCD\x00\x02", 4) + "T" + std::string(1, '\x10'),
                 " xxxxxx" + Le32(7) + Le64(0) + std::string(8, '\0') + Le64(0) + "20230229" + Le32(0) +
                     Le32(0) + std::string("ab\0\0\0\x02", 6) + std::string(4, '\0') + "F" +
                     std::string(1, '\x1D'),
                 " " + std::string(6, ' ') + std::string(4, ' ') + std::string(8, ' ') + std::string(8, ' ') +
                     std::string(8, ' ') + "       0" + std::string(4, ' ') + std::string(4, ' ') + "      " +
                     std::string(4, '\0') + "?" + std::string(1, '\0')};
  std::string dbf = tabletest::Bytes(img);
  for (int n : {1, 6, 9}) SetFieldFlags(dbf, n, 0x02);
  SetFieldFlags(dbf, 12, 0x05);
  WriteHostFile(drive.Host("vfp.dbf"), dbf);

  const ToolRun r = Tool("dump --json " + Quote(drive.Host("vfp.dbf")), env);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = JsonLines(r.out);
  ASSERT_EQ(lines.size(), 3u);
  const auto& a = lines[0]["fields"];
  EXPECT_EQ(a.size(), 11u) << "_NullFlags is no column";
  EXPECT_EQ(a["NAME"], "Alpha");
  EXPECT_EQ(a["CNT"], -42);
  EXPECT_DOUBLE_EQ(a["PRICE"].get<double>(), -12.3456);
  EXPECT_EQ(a["STAMP"], "1980-01-01T12:00:00.250");
  EXPECT_EQ(a["RATIO"], -0.125);
  EXPECT_EQ(a["BORN"], "2024-01-31");
  EXPECT_EQ(a["NOTE"], "memo text\r\nline 2");
  EXPECT_EQ(a["PIC"], nlohmann::json({{"size", 5}}));
  EXPECT_EQ(a["TXT"], "abcdef");                           // fills the field: no length bit
  EXPECT_EQ(a["RAW"], nlohmann::json({{"hex", "abcd"}}));  // length bit set: the last byte says 2
  EXPECT_EQ(a["FLAG"], true);
  const auto& b = lines[1]["fields"];
  EXPECT_TRUE(b["NAME"].is_null());  // its NULL bit, whatever the bytes say
  EXPECT_EQ(b["CNT"], 7);
  EXPECT_EQ(b["PRICE"], 0.0);
  EXPECT_TRUE(b["STAMP"].is_null());  // eight zero bytes
  EXPECT_TRUE(b["BORN"].is_null());   // no NULL bit, but 29 February 2023 does not exist
  EXPECT_TRUE(b["NOTE"].is_null());
  EXPECT_TRUE(b["PIC"].is_null());
  EXPECT_TRUE(b["TXT"].is_null());
  EXPECT_EQ(b["RAW"], nlohmann::json({{"hex", ""}}));
  EXPECT_EQ(b["FLAG"], false);
  const auto& c = lines[2]["fields"];
  EXPECT_EQ(c["NAME"], "");
  EXPECT_EQ(c["CNT"], 0);  // four blanks
  EXPECT_TRUE(c["STAMP"].is_null());
  EXPECT_TRUE(c["BORN"].is_null());  // "       0": the empty date
  EXPECT_EQ(c["TXT"], "      ");     // a full-width varchar keeps its blanks
  EXPECT_EQ(c["RAW"], nlohmann::json({{"hex", "00000000"}}));
  EXPECT_TRUE(c["FLAG"].is_null());  // '?': never set

  // The same values as plain text: NULL is an empty field.
  const ToolRun plain = Tool("dump " + Quote(drive.Host("vfp.dbf")), env);
  ASSERT_EQ(plain.status, 0) << plain.err;
  std::istringstream in(plain.out);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(
      line,
      "1\tAlpha\t-42\t-12.3456\t1980-01-01T12:00:00.250\t-0.125\t2024-01-31\tmemo text\\r\\nline 2\t<5 bytes>"
      "\tabcdef\t\\x{abcd}\tT");
  std::getline(in, line);
  EXPECT_EQ(line, "2\t\t7\t0.0000\t\t0\t\t\t\t\t\\x{}\tF");
}

namespace {

// A dBase III table with the code-page mark `mark`: one field named `name`
// holding `value` (both in the table's code page).
std::string MarkedTable(uint8_t version, uint8_t mark, const std::string& name, const std::string& value) {
  tabletest::DbfImage img;
  img.version = version;
  if (version == 0x30) img.extraArea = 263;
  img.fields = {{name, 'C', 12}};
  img.records = {" " + value};
  std::string dbf = tabletest::Bytes(img);
  dbf[29] = static_cast<char>(mark);
  return dbf;
}

}  // namespace

TEST(VeltoolDump, TextAndNamesInTheTablesCodePage) {
  TempDrive drive;
  const std::string env = "VELUPDATE_DRIVE_T=" + Quote(drive.Root());
  struct Case {
    uint8_t mark;
    int page;
    std::string bytes, utf8;
  } cases[] = {
      {0x01, 437, "A\x9B", "A\xC2\xA2"},                                // ¢
      {0x02, 850, "A\x9B", "A\xC3\xB8"},                                // ø
      {0x64, 852, "\x9D\xA2\x64\xAB", "\xC5\x81\xC3\xB3\x64\xC5\xBA"},  // Łódź
      {0x65, 866, "\x86\xE3\xAA", "\xD0\x96\xD1\x83\xD0\xBA"},          // Жук
      {0xC8, 1250, "\xA3\xF3\x64\x9F", "\xC5\x81\xC3\xB3\x64\xC5\xBA"},
      {0xC9, 1251, "\xC6\xF3\xEA", "\xD0\x96\xD1\x83\xD0\xBA"},
      {0x03, 1252, "M\xFCller", "M\xC3\xBCller"},
      {0x57, 1252, "M\xFCller", "M\xC3\xBCller"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    WriteHostFile(drive.Host("cp.dbf"), MarkedTable(0x03, c.mark, c.bytes, c.bytes));
    const ToolRun dump = Tool("dump --json " + Quote(drive.Host("cp.dbf")), env);
    ASSERT_EQ(dump.status, 0) << dump.err;
    const auto rec = nlohmann::json::parse(dump.out);
    EXPECT_EQ(rec["fields"], nlohmann::json({{c.utf8, c.utf8}})) << dump.out;
    const ToolRun info = Tool("info --json " + Quote(drive.Host("cp.dbf")), env);
    const auto doc = nlohmann::json::parse(info.out);
    EXPECT_EQ(doc["codepage"], c.page);
    EXPECT_EQ(doc["codepage_mark"], c.mark);
    EXPECT_EQ(doc["fields"][0]["name"], c.utf8);  // the name dump uses
    const ToolRun plain = Tool("info " + Quote(drive.Host("cp.dbf")), env);
    EXPECT_NE(plain.out.find("\n" + c.utf8 + "\tC\t12\t0\t1\n"), std::string::npos) << plain.out;
  }

  // --codepage overrides the mark.
  WriteHostFile(drive.Host("ru.dbf"), MarkedTable(0x03, 0xC9, "NAME", "\x86\xE3\xAA"));
  ToolRun r = Tool("dump --codepage 866 " + Quote(drive.Host("ru.dbf")), env);
  EXPECT_EQ(r.out, "1\t\xD0\x96\xD1\x83\xD0\xBA\n");
  // Unmarked: VELUPDATE_OEMCP, else 437 for dBase, ANSI for Visual FoxPro.
  WriteHostFile(drive.Host("none.dbf"), MarkedTable(0x03, 0, "NAME", "A\x9B"));
  EXPECT_EQ(Tool("dump " + Quote(drive.Host("none.dbf")), env).out, "1\tA\xC2\xA2\n");
  EXPECT_EQ(Tool("dump " + Quote(drive.Host("none.dbf")), env + " VELUPDATE_OEMCP=850").out,
            "1\tA\xC3\xB8\n");
  WriteHostFile(drive.Host("vnone.dbf"), MarkedTable(0x30, 0, "NAME", "M\xFCller"));
  EXPECT_EQ(Tool("dump " + Quote(drive.Host("vnone.dbf")), env).out, "1\tM\xC3\xBCller\n");
  // A byte the code page leaves undefined is shown as bytes, never as wrong text.
  WriteHostFile(drive.Host("hole.dbf"), MarkedTable(0x03, 0xC9, "NAME", "a\x98z"));
  EXPECT_EQ(Tool("dump " + Quote(drive.Host("hole.dbf")), env).out, "1\t\\x{61987a}\n");
  EXPECT_EQ(
      nlohmann::json::parse(Tool("dump --json " + Quote(drive.Host("hole.dbf")), env).out)["fields"]["NAME"],
      nlohmann::json({{"hex", "61987a"}}));
  // A code page this host does not know is a wrong command line.
  EXPECT_EQ(Tool("dump --codepage 4711 " + Quote(drive.Host("ru.dbf")), env).status, 2);
  EXPECT_EQ(Tool("info --codepage x " + Quote(drive.Host("ru.dbf")), env).status, 2);
}

TEST(VeltoolInfo, HeaderCountBesideTheFileSizeCount) {
  TempDrive drive;
  const std::string env = "VELUPDATE_DRIVE_T=" + Quote(drive.Root());
  tabletest::DbfImage img = tabletest::SampleTable(12);
  img.headerCount = 10;
  WriteHostFile(drive.Host("count.dbf"), tabletest::Bytes(img));
  ToolRun r = Tool("info " + Quote(drive.Host("count.dbf")), env);
  EXPECT_NE(r.out.find("\nrecords\t12\nrecords in header\t10\n"), std::string::npos) << r.out;
  auto doc = nlohmann::json::parse(Tool("info --json " + Quote(drive.Host("count.dbf")), env).out);
  EXPECT_EQ(doc["records"], 12);
  EXPECT_EQ(doc["header_records"], 10);
  img.headerCount = 12;
  WriteHostFile(drive.Host("count.dbf"), tabletest::Bytes(img));
  r = Tool("info " + Quote(drive.Host("count.dbf")), env);
  EXPECT_EQ(r.out.find("records in header"), std::string::npos) << r.out;
}

TEST(VeltoolDump, DamagedTablesGiveJsonOrTheEnginesMessage) {
  const std::string folder = VEL_FIXTURES_DIR;
  VEL_REQUIRE(std::filesystem::exists(folder + "/dbase_30.dbf"), "the real fixtures at " << folder);
  TempDrive drive;
  const std::string env = "VELUPDATE_DRIVE_T=" + Quote(drive.Root());
  std::mt19937 rng(20260110);
  int runs = 0;
  for (const char* base : {"dbase_03", "dbase_30", "dbase_83", "dbase_8b", "dbase_f5", "cp1251"}) {
    const std::string dbf = ReadHostFile(folder + "/" + base + ".dbf");
    for (const char* ext : {".dbt", ".fpt"})
      if (std::filesystem::exists(folder + "/" + base + ext))
        WriteHostFile(drive.Host(std::string("bad") + ext), ReadHostFile(folder + "/" + base + ext));
    for (int round = 0; round < 4; ++round) {
      std::string d = dbf;
      const size_t hl = GetLE16(reinterpret_cast<const uint8_t*>(d.data()) + 8);
      for (int e = 0; e < 40; ++e) {
        // Mostly the records (values of every kind), now and then the header.
        const size_t at = e % 10 == 0 ? rng() % hl : hl + rng() % (d.size() - hl);
        d[at] = static_cast<char>(rng() & 0xFF);
      }
      WriteHostFile(drive.Host("bad.dbf"), d);
      const ToolRun r = Tool("dump --json --deleted " + Quote(drive.Host("bad.dbf")), env);
      ++runs;
      SCOPED_TRACE(std::string(base) + " round " + std::to_string(round));
      EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status << r.err;
      if (r.status == 1) {
        EXPECT_NE(r.err.find("veltool dump: "), std::string::npos);
      }
      std::istringstream lines(r.out);
      std::string line;
      while (std::getline(lines, line))
        EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
    }
  }
  EXPECT_EQ(runs, 24);
}

namespace {

// Runs a command on a pseudo-terminal and answers each disk question (a
// line ending in "q cancels): ") with the next of `answers` ("q" when they
// run out). Returns the terminal's text and the exit status.
const char* kTerminalDriver = R"(
import os, pty, select, sys
answers = sys.argv[1].split('|') if sys.argv[1] else []
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
out, asked = b'', 0
while True:
    ready, _, _ = select.select([fd], [], [], 30)
    if not ready:
        break
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    out += data
    while out.count(b'q cancels): ') > asked:
        os.write(fd, (answers[asked] if asked < len(answers) else 'q').encode() + b'\n')
        asked += 1
_, status = os.waitpid(pid, 0)
sys.stdout.buffer.write(out)
sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 99)
)";

std::string Noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

}  // namespace

TEST(VeltoolZip, SpanningAsksTheOperatorForEachDisk) {
  VEL_REQUIRE(std::system("/usr/bin/python3 -c 'import pty' >/dev/null 2>&1") == 0, "python3 (pty module)");
  TempDrive drive;
  WriteHostFile(drive.Host("data/a.bin"), Noise(25000, 1));
  WriteHostFile(drive.Host("data/b.bin"), Noise(25000, 2));
  for (const char* d : {"disk1", "disk2", "disk3", "disk4"})
    std::filesystem::create_directories(drive.Host(d));
  WriteHostFile(drive.Host("driver.py"), kTerminalDriver);
  const std::string env = "VELUPDATE_DRIVE_T=" + Quote(drive.Root()) +
                          " VELUPDATE_DRIVE_A=" + Quote(drive.Host("disk1") + ";removable;capacity=20000");
  const std::string zipArgs = std::string(" zip 'A:\\backup.zip' 'T:\\data\\*.bin' --method store");

  // Without a terminal nobody can change disks: refused before anything is written.
  ToolRun r = Tool(zipArgs, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("A:\\backup.zip is on a removable drive: a spanned archive needs an operator"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(drive.Host("disk1")));

  // On a terminal: disk 1 is the one in the drive; each next disk is asked
  // for by number and label, and the operator "inserts" it (a folder).
  const std::string run = env + " /usr/bin/python3 " + Quote(drive.Host("driver.py")) + " " +
                          Quote(drive.Host("disk2") + "|" + drive.Host("disk3")) + " " + VEL_VELTOOL +
                          zipArgs;
  FILE* p = popen(run.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string screen;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) screen.append(buf, n);
  const int rc = pclose(p);
  EXPECT_EQ(WEXITSTATUS(rc), 0) << screen;
  EXPECT_NE(
      screen.find("Insert disk 2 (it is labelled PKBACK# 002) into A: for A:\\backup.zip and press Enter"),
      std::string::npos)
      << screen;
  EXPECT_NE(screen.find("Insert disk 3 (it is labelled PKBACK# 003)"), std::string::npos) << screen;
  for (const char* d : {"disk1", "disk2", "disk3"})
    EXPECT_TRUE(std::filesystem::exists(drive.Host(std::string(d) + "/backup.zip"))) << d;
  // The pieces joined are an archive with both files.
  const std::string joined = ReadHostFile(drive.Host("disk1/backup.zip")) +
                             ReadHostFile(drive.Host("disk2/backup.zip")) +
                             ReadHostFile(drive.Host("disk3/backup.zip"));
  EXPECT_GT(joined.size(), 50000u);

  // q at the question cancels the run: the engine's cancel, exit status 1.
  std::filesystem::remove_all(drive.Host("disk1"));
  std::filesystem::create_directories(drive.Host("disk1"));
  const std::string quit =
      env + " /usr/bin/python3 " + Quote(drive.Host("driver.py")) + " q " + VEL_VELTOOL + zipArgs;
  p = popen(quit.c_str(), "r");
  ASSERT_NE(p, nullptr);
  screen.clear();
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) screen.append(buf, n);
  EXPECT_EQ(WEXITSTATUS(pclose(p)), 1) << screen;
  EXPECT_NE(screen.find("Insert disk 2"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("Insert disk 3"), std::string::npos) << screen;
}
