// The archiver's Compress run, adding to an archive that exists, with a fault
// at every file call it makes: it either completes (the archive then reads
// back whole) or reports its error and leaves the archive byte for byte as it
// was, with no temporary file behind it. After a crash the archive is the old
// one or a complete new one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "archive/zarvoZip.h"
#include "fault_env.h"

using namespace faulttest;

namespace {

struct ZipRun {
  int result = 0;
  int errors = 0;
  int entries = 0;
  std::string message;
};

ZipRun Compress(TempDrive& d, TSwitch sw, const std::vector<std::string>& specs) {
  ZipRun run;
  TZip zip;
  zip.SetArchiveFile(d.Dos("A.ZIP"));
  zip.SetTempDir(d.Dos(""));
  zip.SetSwitch(sw);
  for (const std::string& s : specs) zip.FileSpec().Add(d.Dos(s));
  zip.OnError = [&](TComponent*, const std::string& file, const std::string& extended, const std::string&,
                    int code) {
    ++run.errors;
    if (run.message.empty()) run.message = std::to_string(code) + " " + file + " " + extended;
  };
  zip.OnRead = [&](TComponent*, int64_t, int) { ++run.entries; };
  zip.OnReplaceFile = [](TComponent*, const std::string&, const std::string&, uint32_t, uint32_t, int64_t,
                         int64_t, uint32_t, uint32_t, bool& replace) { replace = true; };
  try {
    run.result = zip.Compress();
  } catch (const Exception& e) {
    ++run.errors;
    run.message = e.what();
  }
  if (run.message.empty()) run.message = zip.LastException();
  return run;
}

bool TempFilesIn(const std::string& hostFolder) {
  for (const auto& e : std::filesystem::recursive_directory_iterator(hostFolder)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".tmp" || ext == ".TMP") return true;
  }
  return false;
}

}  // namespace

TEST(ArchiveFaults, CompressKeepsTheOldArchiveWheneverItFails) {
  TempDrive drive;
  LayDown(drive.Root(), {{"src/OLD.TXT", std::string(3000, 'o')},
                         {"src/TWO.TXT", "the first version of two\r\n"},
                         {"src/ONE.TXT", "one\r\n"}});
  ZipRun made = Compress(drive, swAdd, {"src\\OLD.TXT", "src\\TWO.TXT"});
  ASSERT_EQ(made.result, 2) << made.message;
  std::string two;
  for (int i = 0; i < 200; ++i) two += "line " + std::to_string(i) + " of the second version\r\n";
  WriteHostFile(drive.Host("src/TWO.TXT"), two);
  const FolderImage image = ImageOf(drive.Root());

  int compressed = 0;  // files the last run put in
  Operation add{image,
                [&](TempDrive& d, std::string& message) {
                  ZipRun run = Compress(d, swAdd, {"src\\ONE.TXT", "src\\TWO.TXT"});
                  message = run.message;
                  compressed = run.result;
                  return run.result == 2 && run.errors == 0;
                },
                [&](TempDrive& d, const Outcome& o) {
                  const FolderImage now = ImageOf(d.Root());
                  ExpectUnchangedBut(o.before, now, {"A.ZIP"});
                  ASSERT_TRUE(now.count("A.ZIP")) << "the archive is gone";
                  const bool old = now.at("A.ZIP") == o.before.at("A.ZIP");
                  if (o.mode != Mode::Crash) {
                    // (A temporary file whose own delete was made to fail stays, of course.)
                    const bool deleteFailed = o.mode == Mode::FailOne && o.hit.rfind("delete", 0) == 0;
                    EXPECT_FALSE(!deleteFailed && TempFilesIn(d.Root()))
                        << "a temporary file was left behind";
                    EXPECT_TRUE(!o.raised || compressed > 0 || old) << "a failed run changed the archive";
                  }
                  if (!old || (!o.raised && o.mode != Mode::Crash)) {
                    ZipRun check = Compress(d, swRead, {});
                    EXPECT_EQ(check.errors, 0) << "the archive does not read back: " << check.message;
                    // A source that cannot be read is left out with its error
                    // and the rest goes in; no old entry is ever lost.
                    if (o.raised && o.mode != Mode::Crash)
                      EXPECT_TRUE(check.entries == 2 || check.entries == 3) << check.entries << " entries";
                    else
                      EXPECT_EQ(check.entries, 3) << "the archive lost or doubled entries";
                  }
                }};
  EXPECT_GT(RunAtEveryFaultPoint(drive, add), 20);
}
