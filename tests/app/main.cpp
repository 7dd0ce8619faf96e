// The test program's own entry: one QApplication for the whole run, on the
// offscreen platform so no test ever opens a window on a desktop. (The
// linker then leaves GoogleTest's stock main unused.)
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The machine's and the user's settings stay out of the tests: without an
  // INI file beside it the program reads one from the XDG configuration folders.
  setenv("XDG_CONFIG_HOME", "/nonexistent/velupdate-tests/config", 1);
  setenv("XDG_CONFIG_DIRS", "/nonexistent/velupdate-tests/xdg", 1);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
