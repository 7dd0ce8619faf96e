// The peer program (platform_peer.exe) as a second process, Windows.
#pragma once

#include <windows.h>

// windows.h's A/W macros would rename the platform calls of the tests.
#undef AnsiToOem
#undef CopyFile
#undef CreateDirectory
#undef DeleteFile
#undef GetCurrentDirectory
#undef GetDiskFreeSpace
#undef GetDriveType
#undef GetFileAttributes
#undef GetFullPathName
#undef GetTempFileName
#undef GetTempPath
#undef MoveFile
#undef OemToAnsi
#undef RemoveDirectory
#undef SetCurrentDirectory
#undef SetFileAttributes
#undef SetVolumeLabel

#include <string>
#include <vector>

// The peer program with its standard input and output on pipes. Extra
// environment entries ("NAME=value") come after the test's own.
class PeerProcess {
 public:
  PeerProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead, outWrite;
    if (!::CreatePipe(&inRead, &toPeer_, &inherit, 0) || !::CreatePipe(&fromPeer_, &outWrite, &inherit, 0))
      return;
    // Our ends stay ours.
    ::SetHandleInformation(toPeer_, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(fromPeer_, HANDLE_FLAG_INHERIT, 0);
    std::wstring command = Quote(Widen(VEL_PLATFORM_PEER));
    for (const std::string& a : args) command += L" " + Quote(Widen(a));
    std::wstring environment;
    if (!extraEnv.empty()) {
      wchar_t* block = ::GetEnvironmentStringsW();
      for (const wchar_t* p = block; *p; p += wcslen(p) + 1) environment.append(p).push_back(L'\0');
      ::FreeEnvironmentStringsW(block);
      for (const std::string& e : extraEnv) environment.append(Widen(e)).push_back(L'\0');
      environment.push_back(L'\0');
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                         environment.empty() ? nullptr : environment.data(), nullptr, &si, &pi)) {
      process_ = pi.hProcess;
      ::CloseHandle(pi.hThread);
    }
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
  }
  ~PeerProcess() { Wait(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool Started() const { return process_ != nullptr; }

  // The next line the peer prints, without its line end ("" at its end).
  std::string ReadLine() {
    std::string line;
    char c;
    DWORD n = 0;
    while (fromPeer_ && ::ReadFile(fromPeer_, &c, 1, &n, nullptr) && n == 1 && c != '\n')
      if (c != '\r') line += c;
    return line;
  }

  // Closes the peer's input (a holding peer lets go) and waits for its end;
  // its exit status.
  int Wait() {
    if (toPeer_) ::CloseHandle(toPeer_);
    toPeer_ = nullptr;
    if (process_) {
      ::WaitForSingleObject(process_, INFINITE);
      DWORD code = 0;
      ::GetExitCodeProcess(process_, &code);
      status_ = static_cast<int>(code);
      ::CloseHandle(process_);
      process_ = nullptr;
    }
    if (fromPeer_) ::CloseHandle(fromPeer_);
    fromPeer_ = nullptr;
    return status_;
  }

 private:
  static std::wstring Widen(const std::string& s) {
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
  }
  // Quoted for CommandLineToArgvW (the arguments here hold no quotes).
  static std::wstring Quote(const std::wstring& s) {
    std::wstring out = L"\"" + s;
    if (!out.empty() && out.back() == L'\\') out += L'\\';
    return out + L"\"";
  }

  HANDLE process_ = nullptr;
  HANDLE toPeer_ = nullptr, fromPeer_ = nullptr;
  int status_ = -1;
};
