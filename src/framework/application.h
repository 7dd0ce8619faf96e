// The application object: title, message queue, message boxes and the
// standard error box.
//
// The engines never see Qt. Where they show a message box, ask a question or
// serve the message queue they call Application(), which forwards to the
// handler the program installs: the Qt program installs real dialogs and
// event processing, tests install scripted answers and record what was shown.
// With no handler, questions take their default button and nothing is shown.
#pragma once

#include <exception>
#include <functional>
#include <string>

// Message box buttons, icons and answers (the values Windows uses).
enum : unsigned {
  MB_OK = 0x0,
  MB_OKCANCEL = 0x1,
  MB_ABORTRETRYIGNORE = 0x2,
  MB_YESNOCANCEL = 0x3,
  MB_YESNO = 0x4,
  MB_RETRYCANCEL = 0x5,
  MB_ICONSTOP = 0x10,
  MB_ICONERROR = 0x10,
  MB_ICONQUESTION = 0x20,
  MB_ICONWARNING = 0x30,
  MB_ICONINFORMATION = 0x40,
  MB_DEFBUTTON1 = 0x0,
  MB_DEFBUTTON2 = 0x100,
  MB_DEFBUTTON3 = 0x200,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

// What the program (or a test) plugs in.
class UiHandler {
 public:
  virtual ~UiHandler() = default;
  virtual void ProcessMessages() {}
  // Returns one of the ID* answers.
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
};

class TApplication {
 public:
  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& title) { title_ = title; }

  // Serves the message queue once (repaints, button presses).
  void ProcessMessages();
  // Shows a modal message box; with no handler answers the default button.
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags);
  // The answer of the default button of a box with these flags.
  static int DefaultAnswer(unsigned flags);
  // The standard error box: the message in a box with a stop icon titled with
  // the application title; a full stop is added when the last character
  // sorts after ".".
  void ShowException(const std::exception& e);
  // What the message loop does with an exception that escaped a command:
  // EAbort ends the command silently, anything else goes to ShowException.
  void HandleException(const std::exception& e);
  // The text ShowException shows for a message.
  static std::string ErrorBoxText(const std::string& message);

  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // The handler is not owned; pass nullptr to remove it.
  void SetHandler(UiHandler* handler) { handler_ = handler; }
  UiHandler* Handler() const { return handler_; }

 private:
  std::string title_ = "VelUpdate";
  bool terminated_ = false;
  UiHandler* handler_ = nullptr;
};

// The one application object of the process.
TApplication& Application();
