#include "archive/zarvoSpan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/zarvoZip.h"
#include "archive/zarvoZip_test_support.h"
#include "platform/paths.h"
#include "platform/volume.h"
#include "support/temp_drive.h"

using namespace ziptest;
namespace fs = std::filesystem;

namespace {

// Joins the files of a spanned set into one archive with absolute offsets,
// the way a joining tool does.
std::vector<uint8_t> JoinDisks(const std::vector<std::vector<uint8_t>>& disks) {
  std::vector<uint8_t> all;
  std::vector<uint64_t> start;
  for (const auto& d : disks) {
    start.push_back(all.size());
    all.insert(all.end(), d.begin(), d.end());
  }
  size_t end = all.size() - 22;
  if (U32(all, end) != 0x06054B50) return {};
  auto put32 = [&](size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) all[o + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  uint16_t dirDisk = U16(all, end + 6);
  if (dirDisk >= start.size()) return {};
  uint64_t dir = start[dirDisk] + U32(all, end + 16);
  put32(end + 16, static_cast<uint32_t>(dir));
  put32(end + 12, static_cast<uint32_t>(end - dir));
  all[end + 4] = all[end + 5] = all[end + 6] = all[end + 7] = 0;
  for (size_t p = dir; p < end;) {
    if (U32(all, p) != 0x02014B50) return {};
    uint16_t disk = U16(all, p + 34);
    if (disk >= start.size()) return {};
    put32(p + 42, static_cast<uint32_t>(start[disk] + U32(all, p + 42)));
    all[p + 34] = all[p + 35] = 0;
    p += 46u + U16(all, p + 28) + U16(all, p + 30) + U16(all, p + 32);
  }
  return all;
}

class Span : public ::testing::Test {
 protected:
  TempDrive work{'T'};
  TZip zip;
  std::vector<int> codes;
  std::vector<std::string> prompts;
  int disk = 1;

  void SetUp() override {
    zip.OnError = [this](TComponent*, const std::string&, const std::string& x, const std::string&, int c) {
      codes.push_back(c);
      if (!x.empty()) codes.push_back(-1);
    };
  }
  void TearDown() override { platform::UnmapDrive('A'); }
  std::string DiskHost(int n) const { return work.Host("disk" + std::to_string(n)); }
  void Insert(int n, uint64_t capacity) {
    fs::create_directories(DiskHost(n));
    platform::DriveMapping m;
    m.hostRoot = DiskHost(n);
    m.removable = true;
    m.capacity = capacity;
    platform::MapDrive('A', m);
    disk = n;
  }
  std::vector<std::vector<uint8_t>> DiskFiles(int count) const {
    std::vector<std::vector<uint8_t>> out;
    for (int n = 1; n <= count; ++n) out.push_back(ReadBytes(DiskHost(n) + "/backup.zip"));
    return out;
  }
  int DisksUsed() const {
    int n = 0;
    while (fs::exists(DiskHost(n + 1) + "/backup.zip")) ++n;
    return n;
  }
  void Sources(int count, size_t size) {
    for (int i = 1; i <= count; ++i)
      WriteBytes(work.Host("src/n" + std::to_string(i) + ".bin"), Noise(size, i));
    zip.FileSpec().Add(work.Dos("src\\*.bin"));
    zip.SetArchiveFile("A:\\backup.zip");
  }
};

TEST_F(Span, SeveralDisksWithLabelsMarkerAndDirectoryOnTheLast) {
  const uint64_t capacity = 50000;
  Insert(1, capacity);
  Sources(3, 40000);
  zip.SetLeaveSpaceOnFirstDisk(5000);
  zip.OnInsertDisk = [&](TComponent*, const std::string& volume, bool& cancel) {
    prompts.push_back(volume);
    Insert(std::stoi(volume), capacity);
    cancel = false;
  };
  std::vector<std::pair<int, int>> progress;
  zip.OnProgress = [&](TComponent*, uint8_t f, uint8_t a) { progress.emplace_back(f, a); };
  EXPECT_EQ(zip.Compress(), 3);
  EXPECT_TRUE(codes.empty());
  const int used = DisksUsed();
  ASSERT_GE(used, 3);
  EXPECT_EQ(prompts.front(), "2");
  EXPECT_EQ(static_cast<int>(prompts.size()), used - 1);
  auto disks = DiskFiles(used);
  EXPECT_EQ(U32(disks[0], 0), 0x08074B50u);  // does not fit on one disk: marker first
  EXPECT_LE(disks[0].size(), capacity - 5000);
  for (int n = 1; n <= used; ++n) {
    platform::VolumeInfo info;
    Insert(n, capacity);
    ASSERT_TRUE(platform::GetVolumeInfo("A:\\", info));
    char label[32];
    std::snprintf(label, sizeof label, "PKBACK# %03d", n);
    EXPECT_EQ(info.label, label);
  }
  Archive a = Parse(JoinDisks(disks));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 3u);
  for (const auto& e : a.entries) EXPECT_TRUE(e.data == Noise(40000, e.name[1] - '0')) << e.name;
  EXPECT_EQ(progress.back(), std::make_pair(100, 100));  // share of entries written
}

TEST_F(Span, FilesCutIntoBlocksByWorkersSpanDisks) {
  const uint64_t capacity = 60000;
  Insert(1, capacity);
  Sources(3, 70000);  // three blocks each
  zip.SetWorkers(3);
  zip.SetBlockSize(32 * 1024);
  zip.OnInsertDisk = [&](TComponent*, const std::string& volume, bool& cancel) {
    Insert(std::stoi(volume), capacity);
    cancel = false;
  };
  EXPECT_EQ(zip.Compress(), 3);
  EXPECT_TRUE(codes.empty());
  const int used = DisksUsed();
  ASSERT_GE(used, 3);
  Archive a = Parse(JoinDisks(DiskFiles(used)));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 3u);
  for (const auto& e : a.entries) EXPECT_TRUE(e.data == Noise(70000, e.name[1] - '0')) << e.name;
}

TEST_F(Span, OneDiskSuffices) {
  Insert(1, 1000000);
  Sources(2, 3000);
  zip.OnInsertDisk = [&](TComponent*, const std::string& v, bool&) { prompts.push_back(v); };
  EXPECT_EQ(zip.Compress(), 2);
  EXPECT_TRUE(prompts.empty());
  ASSERT_EQ(DisksUsed(), 1);
  auto only = ReadBytes(DiskHost(1) + "/backup.zip");
  EXPECT_NE(U32(only, 0), 0x08074B50u);
  Archive a = Parse(only);
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.entries.size(), 2u);
  platform::VolumeInfo info;
  ASSERT_TRUE(platform::GetVolumeInfo("A:\\", info));
  EXPECT_EQ(info.label, "PKBACK# 001");

  // Without OnInsertDisk nothing is spanned and no file counts.
  TZip bare;
  std::vector<std::string> ext;
  bare.OnError = [&](TComponent*, const std::string&, const std::string& x, const std::string& vol, int c) {
    ext.push_back(std::to_string(c) + " " + x + " " + vol);
  };
  bare.SetArchiveFile("A:\\other.zip");
  bare.FileSpec().Add(work.Dos("src\\*.bin"));
  EXPECT_EQ(bare.Compress(), 0);
  EXPECT_EQ(ext, std::vector<std::string>{"25270 OnInsertDisk 1"});
}

TEST_F(Span, PreviousDiskIsRefusedAndItsFileKept) {
  const uint64_t capacity = 40000;
  Insert(1, capacity);
  Sources(2, 30000);
  int asksForTwo = 0;
  zip.OnInsertDisk = [&](TComponent*, const std::string& volume, bool& cancel) {
    prompts.push_back(volume);
    cancel = false;
    if (volume == "2" && ++asksForTwo == 1) return;  // the user leaves disk 1 in the drive
    Insert(std::stoi(volume), capacity);
  };
  bool askedToOverwrite = false;
  zip.OnDiskSpanFileExists = [&](TComponent*, const std::string&, uint32_t, TOverwriteMode&) {
    askedToOverwrite = true;
  };
  EXPECT_EQ(zip.Compress(), 2);
  EXPECT_EQ(asksForTwo, 2);
  EXPECT_FALSE(askedToOverwrite);
  Archive a = Parse(JoinDisks(DiskFiles(DisksUsed())));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.entries.size(), 2u);
}

TEST_F(Span, ExistingFileSkipCancelsAndClearDiskMakesRoom) {
  const uint64_t capacity = 40000;
  Insert(1, capacity);
  Sources(2, 30000);
  zip.OnInsertDisk = [&](TComponent*, const std::string& v, bool& cancel) {
    prompts.push_back(v);
    cancel = false;
  };
  zip.OnDiskSpanFileExists = [](TComponent*, const std::string&, uint32_t, TOverwriteMode& mode) {
    mode = omSkip;
  };
  // An archive of that name already on the disk (an empty one: a file that
  // is no archive would be refused before any disk is touched): skipping it
  // cancels the run.
  const std::string emptyArchive = std::string("PK\x05\x06", 4) + std::string(18, '\0');
  WriteBytes(DiskHost(1) + "/backup.zip", emptyArchive);
  codes.clear();
  EXPECT_EQ(zip.Compress(), 0);
  EXPECT_EQ(prompts, std::vector<std::string>{"1"});
  EXPECT_TRUE(std::find(codes.begin(), codes.end(), 25443) != codes.end());
  EXPECT_EQ(ReadBytes(DiskHost(1) + "/backup.zip").size(), emptyArchive.size());

  // A second disk holding other files is offered for clearing.
  fs::remove(DiskHost(1) + "/backup.zip");
  WriteBytes(DiskHost(2) + "/junk.dat", std::string(35000, 'j'));
  prompts.clear();
  codes.clear();
  zip.OnDiskSpanFileExists = nullptr;
  zip.OnInsertDisk = [&](TComponent*, const std::string& v, bool& cancel) {
    prompts.push_back(v);
    Insert(std::stoi(v), capacity);
    cancel = false;
  };
  std::vector<int64_t> clearArgs;
  zip.OnClearDisk = [&](TComponent*, const std::string& drive, int64_t required, int64_t freeSpace,
                        int64_t total, bool& cancel) {
    EXPECT_EQ(drive, "A:\\");
    clearArgs = {required, freeSpace, total};
    fs::remove(DiskHost(2) + "/junk.dat");
    cancel = false;
  };
  EXPECT_EQ(zip.Compress(), 2);
  ASSERT_EQ(clearArgs.size(), 3u);
  EXPECT_EQ(clearArgs[0], 10000);
  EXPECT_EQ(clearArgs[1], 5000);
  EXPECT_EQ(clearArgs[2], 40000);
  Archive a = Parse(JoinDisks(DiskFiles(DisksUsed())));
  ASSERT_TRUE(a.ok) << a.error;
}

TEST_F(Span, RootOfPaths) {
  EXPECT_EQ(TDiskCommon::RootOf("C:\\Velmora\\x.zip"), "C:\\");
  EXPECT_EQ(TDiskCommon::RootOf("\\\\srv\\share\\dir\\x.zip"), "\\\\srv\\share\\");
  std::string cur = platform::GetCurrentDirectory();
  EXPECT_EQ(TDiskCommon::RootOf("x.zip"), cur.substr(0, 2) + "\\");
}

}  // namespace
