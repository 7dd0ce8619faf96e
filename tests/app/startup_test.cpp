// What the program does before its window exists.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "support/temp_drive.h"

namespace {

// An OEM code page the host cannot convert: the program refuses to start,
// in the standard error box (written to stderr when nobody can answer it).
TEST(Startup, UnusableOemCodePageStopsTheProgramInTheErrorBox) {
  TempDrive t{'T'};
  const std::string shot = t.Host("shot.png");
  const std::string command = "VELUPDATE_OEMCP=99999 VELUPDATE_SCREENSHOT='" + shot +
                              "' QT_QPA_PLATFORM=offscreen '" + VEL_VELUPDATE + "' 2>&1";
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int rc = pclose(p);
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << out;
  EXPECT_NE(out.find("VelUpdate: "), std::string::npos) << out;
  EXPECT_NE(out.find("99999"), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(shot));  // no window was made
}

}  // namespace
