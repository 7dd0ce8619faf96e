#include "app/QtUiHandler.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

#include "widgets/LmControls.h"

void QtUiHandler::ProcessMessages() { QCoreApplication::processEvents(); }

int QtUiHandler::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(AnsiToQString(caption));
  box.setText(AnsiToQString(text));
  switch (flags & 0xF0) {
    case MB_ICONSTOP:
      box.setIcon(QMessageBox::Critical);
      break;
    case MB_ICONQUESTION:
      box.setIcon(QMessageBox::Question);
      break;
    case MB_ICONWARNING:
      box.setIcon(QMessageBox::Warning);
      break;
    case MB_ICONINFORMATION:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      box.setIcon(QMessageBox::NoIcon);
      break;
  }
  // Buttons in the Windows order, each with the answer it gives.
  std::vector<std::pair<QMessageBox::StandardButton, int>> buttons;
  switch (flags & 0xF) {
    case MB_OKCANCEL:
      buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    case MB_ABORTRETRYIGNORE:
      buttons = {
          {QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
      break;
    case MB_YESNOCANCEL:
      buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    case MB_YESNO:
      buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
      break;
    case MB_RETRYCANCEL:
      buttons = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    default:
      buttons = {{QMessageBox::Ok, IDOK}};
      break;
  }
  QMessageBox::StandardButtons set;
  for (const auto& b : buttons) set |= b.first;
  box.setStandardButtons(set);
  size_t def = (flags & 0xF00) >> 8;
  if (def >= buttons.size()) def = 0;
  box.setDefaultButton(buttons[def].first);
  int clicked = box.exec();
  for (const auto& b : buttons)
    if (b.first == clicked) return b.second;
  // Closed by the title bar or Escape: Cancel where there is one.
  for (const auto& b : buttons)
    if (b.second == IDCANCEL) return IDCANCEL;
  return buttons[def].second;
}

void UnattendedUiHandler::ProcessMessages() { QCoreApplication::processEvents(); }

int UnattendedUiHandler::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  shown_.push_back(text);
  std::fprintf(stderr, "%s: %s\n", AnsiToQString(caption).toLocal8Bit().constData(),
               AnsiToQString(text).toLocal8Bit().constData());
  return TApplication::DefaultAnswer(flags);
}
