// VelUpdate: the program entry. Creates the main window and runs the message
// loop until the window closes. There is no command line.
//
// VELUPDATE_SCREENSHOT=<png file>: show the window, save a picture of it to
// that host file and end (for documentation and headless checks); message
// boxes are then written to stderr and answered with their default button.
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "app/Main.h"
#include "app/QtUiHandler.h"
#include "framework/application.h"
#include "framework/exceptions.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const char* shot = std::getenv("VELUPDATE_SCREENSHOT");
  const bool screenshot = shot && *shot;

  QtUiHandler dialogs;
  UnattendedUiHandler unattended;
  Application().SetTitle("VelUpdate");
  Application().SetHandler(screenshot ? static_cast<UiHandler*>(&unattended) : &dialogs);

  // An OEM code page the host cannot convert would turn table text into '?'
  // unseen: the program refuses to start, in the standard error box.
  if (const std::string problem = platform::CodePageProblem(); !problem.empty()) {
    Application().ShowException(Exception(problem));
    Application().SetHandler(nullptr);
    return 1;
  }

  int result = 0;
  {
    TfrmMain frmMain;
    frmMain.show();
    if (screenshot) {
      QCoreApplication::processEvents();
      QPixmap picture = frmMain.grab();
      if (picture.save(QString::fromLocal8Bit(shot), "PNG")) {
        std::printf("VelUpdate: screenshot of the main window saved to %s\n", shot);
      } else {
        std::fprintf(stderr, "VelUpdate: cannot write the screenshot %s\n", shot);
        result = 1;
      }
    } else {
      result = app.exec();
    }
  }
  Application().SetHandler(nullptr);
  return result;
}
