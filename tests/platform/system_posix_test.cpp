#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/file.h"
#include "platform/system.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

using namespace platform;

namespace {
// Pins the local time zone for the life of a test.
struct ScopedZone {
  ScopedEnv tz;
  explicit ScopedZone(const char* zone) : tz("TZ", zone) { ::tzset(); }
  ~ScopedZone() { ::tzset(); }
};
}  // namespace

TEST(System, DosDateAndTime) {
  ScopedZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  LocalTime t{2024, 7, 15, 13, 45, 31, 0, 0};
  int64_t unix = FromLocalTime(t);
  EXPECT_EQ(unix, 1721043931);  // 11:45:31 UTC, summer time
  uint32_t dos = UnixToDosDateTime(unix);
  EXPECT_EQ(dos >> 16, (44u << 9) | (7u << 5) | 15u);
  EXPECT_EQ(dos & 0xFFFF, (13u << 11) | (45u << 5) | 15u);  // seconds halved
  EXPECT_EQ(DosDateTimeToUnix(dos), unix - 1);
  EXPECT_EQ(UnixToDosDateTime(0), 0x00210000u);  // before 1980: 1980-01-01 00:00
  EXPECT_EQ(DosDateTimeToUnix(0x00210000u), FromLocalTime(LocalTime{1980, 1, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(DosDateTimeToUnix(0), DosDateTimeToUnix(0x00210000u));  // month and day 0 clamp
  LocalTime back = ToLocalTime(unix);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.hour, 13);
  EXPECT_EQ(back.second, 31);
  EXPECT_EQ(back.dayOfWeek, 1);  // a Monday
}

TEST(System, ClockAndSleep) {
  LocalTime now = Now();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LT(now.millisecond, 1000);
  EXPECT_EQ(ToLocalTime(FromLocalTime(now)).dayOfWeek, now.dayOfWeek);
  uint64_t before = TickCount();
  Sleep(30);
  uint64_t after = TickCount();
  EXPECT_GE(after - before, 29u);
  EXPECT_LT(after - before, 5000u);
}

TEST(System, IniFileRules) {
  TempDrive drive;
  std::string text =
      "; comment line\r\n"
      "Orphan=1\r\n"
      "[Database]\r\n"
      "Drive = C:  \r\n"
      "Path=  \\Velmora\\  \r\n"
      "Empty=\r\n"
      "drive=second\r\n"
      "no equals sign\r\n"
      "[ database ]\r\n"
      "Drive=D:\r\n"
      "Late=only here\r\n"
      "[Other]\n"
      "Num=42\n"
      "Hex=$1F\n"
      "Bad=12x\n"
      "Quoted=\"  spaced  \"\n"
      "  Indented = yes\n"
      ";Num=7\n";
  std::ofstream(drive.Host("VelUpdate.ini"), std::ios::binary) << text;
  auto mtime = std::filesystem::last_write_time(drive.Host("VelUpdate.ini"));

  IniFile ini(drive.Dos("VELUPDATE.INI"));
  EXPECT_EQ(ini.ReadString("DATABASE", "drive", "x"), "C:");
  EXPECT_EQ(ini.ReadString("Database", "Path", "x"), "\\Velmora\\");
  EXPECT_EQ(ini.ReadString("Database", "Empty", "x"), "");
  EXPECT_EQ(ini.ReadString("Database", "Late", "default"), "default");  // a repeated section is not read
  EXPECT_EQ(ini.ReadString("Database", "Missing", "default"), "default");
  EXPECT_EQ(ini.ReadString("Nowhere", "Drive", "default"), "default");
  EXPECT_EQ(ini.ReadString("", "Orphan", "default"), "default");
  EXPECT_EQ(ini.ReadInteger("other", "NUM", -1), 42);
  EXPECT_EQ(ini.ReadInteger("Other", "Hex", -1), 31);
  EXPECT_EQ(ini.ReadInteger("Other", "Bad", -1), -1);
  EXPECT_EQ(ini.ReadInteger("Other", "Quoted", 5), 5);
  EXPECT_EQ(ini.ReadString("Other", "Quoted", ""), "  spaced  ");
  EXPECT_EQ(ini.ReadString("Other", "indented", ""), "yes");
  EXPECT_TRUE(ini.SectionExists("OTHER"));
  EXPECT_FALSE(ini.SectionExists("Orphan"));
  EXPECT_EQ(ini.ReadSection("Other"), (std::vector<std::string>{"Num", "Hex", "Bad", "Quoted", "Indented"}));
  EXPECT_EQ(ini.ReadSectionValues("Database"),
            (std::vector<std::string>{"Drive=C:", "Path=\\Velmora\\", "Empty=", "drive=second"}));
  EXPECT_EQ(std::filesystem::last_write_time(drive.Host("VelUpdate.ini")), mtime);

  IniFile missing(drive.Dos("none.ini"));
  EXPECT_EQ(missing.ReadString("Database", "Drive", "C"), "C");
  EXPECT_EQ(missing.ReadInteger("Database", "Drive", 3), 3);
  EXPECT_FALSE(missing.SectionExists("Database"));
  EXPECT_EQ(missing.FileName(), drive.Dos("none.ini"));
}

TEST(System, IniFileInUtf8OrAnsi) {
  TempDrive drive;
  // Saved by a present-day editor: UTF-8 with a byte-order mark before the
  // first section, a folder name in and one outside the ANSI page.
  std::ofstream(drive.Host("utf8.ini"), std::ios::binary)
      << "\xEF\xBB\xBF[Database]\r\nDrive=C:\r\nPath=\\Donn\xC3\xA9"
         "es\\\xE6\x97\xA5\xE6\x9C\xAC\\\r\n"
      << "Note=\xE2\x82\xAC 5\r\n";
  IniFile utf8(drive.Dos("utf8.ini"));
  EXPECT_TRUE(utf8.SectionExists("Database"));
  EXPECT_EQ(utf8.ReadString("Database", "Drive", ""), "C:");
  EXPECT_EQ(utf8.ReadString("Database", "Path", ""),
            "\\Donn\xE9"
            "es\\<E697A5E69CAC>\\");
  EXPECT_EQ(utf8.ReadString("Database", "Note", ""), "\x80 5");
  // The escape form of the folder name finds the folder.
  std::filesystem::create_directories(
      drive.Host("Donn\xC3\xA9"
                 "es/\xE6\x97\xA5\xE6\x9C\xAC"));
  EXPECT_TRUE(DirectoryExists(drive.Dos("") + utf8.ReadString("Database", "Path", "").substr(1)));

  // Saved by an older editor in the ANSI page (not valid UTF-8): read as it is.
  std::ofstream(drive.Host("ansi.ini"), std::ios::binary) << "[Database]\nPath=\\Donn\xE9"
                                                             "es\\\n";
  IniFile ansi(drive.Dos("ansi.ini"));
  EXPECT_EQ(ansi.ReadString("Database", "Path", ""),
            "\\Donn\xE9"
            "es\\");

  // A byte-order mark alone does not hide the first section.
  std::ofstream(drive.Host("bom.ini"), std::ios::binary) << "\xEF\xBB\xBF[Database]\nDrive=D:\n";
  EXPECT_EQ(IniFile(drive.Dos("bom.ini")).ReadString("Database", "Drive", "none"), "D:");
}
