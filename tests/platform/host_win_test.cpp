// What only the Windows host answers: real drive letters, the system's
// attributes, temporary names, code pages and times.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/volume.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

// After the platform headers: windows.h's A/W macros would rename their calls.
#include <windows.h>  // NOLINT(build/include_order)

#undef AnsiToOem
#undef DeleteFile
#undef GetDriveType
#undef GetFileAttributes
#undef GetTempFileName
#undef GetTempPath
#undef OemToAnsi
#undef SetFileAttributes

using namespace platform;

TEST(WindowsHost, RealDriveLettersAnswerVolumeQueries) {
  EXPECT_EQ(GetDriveType("C:\\"), DriveType::Fixed);
  VolumeInfo c;
  ASSERT_TRUE(GetVolumeInfo("C:\\Windows", c));
  EXPECT_TRUE(c.ready);
  EXPECT_GT(c.totalBytes, 0u);
  EXPECT_LE(c.freeBytes, c.totalBytes);
  EXPECT_FALSE(c.fileSystem.empty());
  ASSERT_TRUE(GetDriveMapping('C'));
  EXPECT_EQ(GetDriveMapping('C')->hostRoot, "C:\\");

  // A letter no drive has is not ready, and says so.
  char unused = 0;
  for (char l = 'Y'; l > 'D' && !unused; --l)
    if (!GetDriveMapping(l)) unused = l;
  ASSERT_NE(unused, 0);
  const std::string root = std::string(1, unused) + ":\\";
  EXPECT_EQ(GetDriveType(root), DriveType::NoRootDir);
  VolumeInfo none;
  EXPECT_FALSE(GetVolumeInfo(root, none));
  EXPECT_FALSE(FileExists(root + "x.dbf"));
  EXPECT_EQ(File::Open(root + "x.dbf", Access::Read, Share::Shared), nullptr);
}

TEST(WindowsHost, AttributesAndTimesComeFromTheFileSystem) {
  TempDrive drive;
  ASSERT_TRUE(WriteHostFile(drive.Host("a.dbf"), "abc"));
  EXPECT_EQ(GetFileAttributes(drive.Dos("a.dbf")) & ~0x2000u, kAttrArchive);
  ASSERT_TRUE(SetFileAttributes(drive.Dos("a.dbf"), kAttrReadOnly | kAttrHidden | kAttrArchive));
  EXPECT_EQ(GetFileAttributes(drive.Dos("a.dbf")) & 0xFF, kAttrReadOnly | kAttrHidden | kAttrArchive);
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory(drive.Dos(), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].attributes & 0xFF, kAttrReadOnly | kAttrHidden | kAttrArchive);
  EXPECT_EQ(list[0].size, 3u);
  // A read-only file is neither written nor deleted.
  EXPECT_EQ(File::Open(drive.Dos("a.dbf"), Access::ReadWrite, Share::Shared), nullptr);
  EXPECT_EQ(LastError(), ErrorCode::AccessDenied);
  EXPECT_FALSE(DeleteFile(drive.Dos("a.dbf")));
  EXPECT_EQ(LastError(), ErrorCode::AccessDenied);
  ASSERT_TRUE(SetFileAttributes(drive.Dos("a.dbf"), kAttrNormal));
  EXPECT_EQ(GetFileAttributes(drive.Dos("a.dbf")) & (kAttrReadOnly | kAttrHidden), 0u);
  EXPECT_TRUE(File::Open(drive.Dos("a.dbf"), Access::ReadWrite, Share::Shared));

  // Modification times round-trip through FILETIME, and the MS-DOS form
  // agrees with the system's own conversion.
  const int64_t when = 1721043930;  // 2024-07-15 11:45:30 UTC
  ASSERT_TRUE(SetFileModifiedTime(drive.Dos("a.dbf"), when));
  FileInfo info;
  ASSERT_TRUE(GetFileInfo(drive.Dos("a.dbf"), info));
  EXPECT_EQ(info.modified, when);
  EXPECT_EQ(info.name, "a.dbf");
  FILETIME utc, local;
  ULONGLONG t = (static_cast<ULONGLONG>(when) + 11644473600ULL) * 10000000ULL;
  utc.dwLowDateTime = static_cast<DWORD>(t);
  utc.dwHighDateTime = static_cast<DWORD>(t >> 32);
  SYSTEMTIME su, sl;
  ASSERT_TRUE(FileTimeToSystemTime(&utc, &su) && SystemTimeToTzSpecificLocalTime(nullptr, &su, &sl));
  ASSERT_TRUE(SystemTimeToFileTime(&sl, &local));
  WORD date = 0, time = 0;
  ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
  EXPECT_EQ(UnixToDosDateTime(when), (static_cast<uint32_t>(date) << 16) | time);
}

TEST(WindowsHost, TemporaryNamesFollowTheSystemRule) {
  TempDrive drive;
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    std::string name = GetTempFileName(drive.Dos(), "zarvo");
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.rfind(drive.Dos(), 0), 0u) << name;
    std::string base = name.substr(drive.Dos().size());
    EXPECT_TRUE(std::regex_match(base, std::regex("zar[0-9A-F]{1,4}\\.tmp", std::regex::icase))) << base;
    FileInfo info;
    ASSERT_TRUE(GetFileInfo(name, info));  // created, empty
    EXPECT_EQ(info.size, 0u);
    names.insert(base);
  }
  EXPECT_EQ(names.size(), 3u);
  EXPECT_EQ(GetTempFileName(drive.Dos("missing"), "zarvo"), "");
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
  std::string temp = GetTempPath();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_TRUE(DirectoryExists(temp));
}

TEST(WindowsHost, NamesOutsideTheAnsiPageAndCodePages) {
  TempDrive drive;
  // "日本.dbf" in the escape form, created and listed back the same way.
  const std::string dos = drive.Dos("<E697A5E69CAC>.dbf");
  auto f = File::Open(dos, Access::ReadWrite, Share::Exclusive, Disposition::CreateNew);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->WriteAt(0, "x", 1), 1);
  f.reset();
  EXPECT_EQ(ReadHostFile(drive.Host("\xE6\x97\xA5\xE6\x9C\xAC.dbf")), "x");
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory(drive.Dos(), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "<E697A5E69CAC>.dbf");
  EXPECT_EQ(list[0].utf8Name, "\xE6\x97\xA5\xE6\x9C\xAC.dbf");
  EXPECT_FALSE(list[0].plainName);

  // The OEM page is the system's unless VELUPDATE_OEMCP names one; ANSI and
  // OEM text convert through the system's tables.
  if (GetACP() == 1252 && GetOEMCP() == 437 && !std::getenv("VELUPDATE_OEMCP")) {
    EXPECT_EQ(OemCodePage(), 437);
    EXPECT_EQ(AnsiToOem("caf\xE9 \x80"), "caf\x82 ?");
    EXPECT_EQ(OemToAnsi("\x81\x9A"), "\xFC\xDC");
  }
  EXPECT_TRUE(CodePageAvailable(866));
  EXPECT_EQ(CodePageToUtf8("\xAE", 866), "\xD0\xBE");  // о
  EXPECT_FALSE(CodePageAvailable(65001));              // not a single-byte page
}
