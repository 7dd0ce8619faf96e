// The program's user-interface services: real message boxes and serving the
// Qt event queue, installed into the framework's Application object.
#pragma once

#include <string>
#include <vector>

#include "framework/application.h"

class QtUiHandler : public UiHandler {
 public:
  void ProcessMessages() override;
  // A modal QMessageBox titled `caption` with the buttons, icon and default
  // button that `flags` name; returns the ID* answer.
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
};

// For runs without anyone to answer (the screenshot mode): every box is
// written to stderr, recorded, and answered with its default button.
class UnattendedUiHandler : public UiHandler {
 public:
  void ProcessMessages() override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  const std::vector<std::string>& Shown() const { return shown_; }

 private:
  std::vector<std::string> shown_;
};
