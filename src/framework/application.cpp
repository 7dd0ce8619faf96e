#include "framework/application.h"

#include "framework/exceptions.h"

void TApplication::ProcessMessages() {
  if (handler_) handler_->ProcessMessages();
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (handler_) return handler_->MessageBox(text, caption, flags);
  return DefaultAnswer(flags);
}

int TApplication::DefaultAnswer(unsigned flags) {
  unsigned buttons = flags & 0xF;
  unsigned def = (flags & 0xF00) >> 8;
  switch (buttons) {
    case MB_OKCANCEL:
      return def == 1 ? IDCANCEL : IDOK;
    case MB_ABORTRETRYIGNORE:
      return def == 2 ? IDIGNORE : def == 1 ? IDRETRY : IDABORT;
    case MB_YESNOCANCEL:
      return def == 2 ? IDCANCEL : def == 1 ? IDNO : IDYES;
    case MB_YESNO:
      return def == 1 ? IDNO : IDYES;
    case MB_RETRYCANCEL:
      return def == 1 ? IDCANCEL : IDRETRY;
    default:
      return IDOK;
  }
}

std::string TApplication::ErrorBoxText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) text += '.';
  return text;
}

void TApplication::ShowException(const std::exception& e) {
  MessageBox(ErrorBoxText(e.what()), title_, MB_OK | MB_ICONSTOP);
}

void TApplication::HandleException(const std::exception& e) {
  if (dynamic_cast<const EAbort*>(&e)) return;
  ShowException(e);
}

TApplication& Application() {
  static TApplication app;
  return app;
}
