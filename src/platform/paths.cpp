// The host-independent half of the path layer: the DOS form of host names
// (escapes for characters outside the ANSI page) and the lexical completion
// of DOS paths. The drive map and everything that touches the file system
// live in paths_posix.cpp and paths_win.cpp.
#include "platform/paths.h"

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/text.h"

namespace platform {

// ---- names outside the ANSI page ----

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendEscape(std::string& out, std::string_view bytes) {
  if (bytes.empty()) return;
  out += '<';
  for (unsigned char c : bytes) {
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 15];
  }
  out += '>';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes the escape starting at `i` (a '<'); false when it is none, so the
// '<' stands for itself.
bool DecodeEscape(std::string_view s, size_t& i, std::string& out) {
  size_t close = s.find('>', i + 1);
  if (close == std::string_view::npos) return false;
  size_t digits = close - i - 1;
  if (digits == 0 || digits % 2 != 0) return false;
  std::string bytes;
  for (size_t k = i + 1; k < close; k += 2) {
    int hi = HexValue(s[k]), lo = HexValue(s[k + 1]);
    if (hi < 0 || lo < 0) return false;
    char b = static_cast<char>(hi * 16 + lo);
    if (b == '/' || b == '\0') return false;  // never a separator or an end inside one name
    bytes += b;
  }
  out += bytes;
  i = close + 1;
  return true;
}

// The DOS form of host text; `component` escapes backslashes too. `escaped`
// tells whether any escape was written.
std::string ToDosForm(std::string_view host, bool component, bool& escaped) {
  std::string out;
  out.reserve(host.size());
  escaped = false;
  if (!IsValidUtf8(host)) {
    // Not UTF-8: written in the Western page by some older program.
    for (char c : host) {
      if (component && c == '\\') {
        AppendEscape(out, "\\");
        escaped = true;
      } else {
        out += c;
      }
    }
    return out;
  }
  std::string pending;  // bytes of characters without an ANSI form, escaped as one run
  size_t i = 0;
  while (i < host.size()) {
    size_t start = i;
    int32_t u = NextUtf8(host, i);
    int b = u < 0 ? -1 : AnsiByteFor(static_cast<uint32_t>(u));
    if (b < 0 || (component && u == '\\')) {
      pending.append(host.substr(start, i - start));
      continue;
    }
    if (!pending.empty()) {
      AppendEscape(out, pending);
      pending.clear();
      escaped = true;
    }
    out += static_cast<char>(b);
  }
  if (!pending.empty()) {
    AppendEscape(out, pending);
    escaped = true;
  }
  return out;
}

// Every byte that is not plain ASCII, and '<' and '\', escaped: a form that
// decodes to exactly these bytes whatever the folder holds.
std::string StrictDosName(std::string_view host) {
  std::string out, pending;
  for (char c : host) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x80 || c == '<' || c == '\\') {
      pending += c;
      continue;
    }
    AppendEscape(out, pending);
    pending.clear();
    out += c;
  }
  AppendEscape(out, pending);
  return out;
}

// The context-free DOS form of a host entry, as lookups compare it; plain
// ASCII names are their own form.
}  // namespace

namespace detail {
std::string DosForm(std::string_view host, bool component, bool& escaped) {
  return ToDosForm(host, component, escaped);
}
std::string StrictDosForm(std::string_view host) { return StrictDosName(host); }
}  // namespace detail

std::string HostNameToDos(std::string_view hostName) {
  bool escaped;
  return ToDosForm(hostName, true, escaped);
}

std::string Utf8ToDosName(std::string_view text) {
  bool escaped;
  return ToDosForm(text, false, escaped);
}

std::string DosNameToHost(std::string_view dosName) {
  std::string out;
  out.reserve(dosName.size());
  size_t i = 0;
  while (i < dosName.size()) {
    char c = dosName[i];
    if (c == '<' && DecodeEscape(dosName, i, out)) continue;
    if (static_cast<unsigned char>(c) < 0x80)
      out += c;
    else
      AppendUtf8Char(out, AnsiCharToUnicode(c));
    ++i;
  }
  return out;
}

std::string DosNameToUtf8(std::string_view dosName) {
  std::string host = DosNameToHost(dosName);
  if (IsValidUtf8(host)) return host;
  return AnsiToUtf8(host);  // bytes of an older program's Western name
}

bool HasEscapes(std::string_view dosName) {
  std::string sink;
  for (size_t i = 0; i < dosName.size(); ++i) {
    size_t at = i;
    if (dosName[i] == '<' && DecodeEscape(dosName, at, sink)) return true;
  }
  return false;
}

namespace detail {

int LetterIndex(char letter) {
  char up = static_cast<char>(letter >= 'a' && letter <= 'z' ? letter - 32 : letter);
  if (up < 'A' || up > 'Z') return -1;
  return up - 'A';
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Slashes(const std::string& dosPath) {
  std::string s = dosPath;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::vector<std::string> SplitDos(const std::string& s) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= s.size()) {
    size_t j = s.find('\\', i);
    if (j == std::string::npos) j = s.size();
    if (j > i) parts.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

}  // namespace detail

namespace {

using detail::IsDriveLetter;
using detail::LetterIndex;
using detail::Slashes;
using detail::SplitDos;

// Folds "." and ".." into `stack`; ".." never climbs above the root.
void FoldInto(std::vector<std::string>& stack, const std::vector<std::string>& parts, size_t floor) {
  for (const std::string& p : parts) {
    if (p == ".") continue;
    if (p == "..") {
      if (stack.size() > floor) stack.pop_back();
      continue;
    }
    stack.push_back(p);
  }
}

}  // namespace

std::string GetFullPathName(const std::string& dosPath) {
  if (dosPath.empty()) {
    SetLastError(ErrorCode::InvalidName);
    return "";
  }
  std::string s = Slashes(dosPath);
  bool trailing = s.size() > 1 && s.back() == '\\';
  std::string prefix;  // "C:" or "\\server\share"
  std::vector<std::string> stack;
  size_t floor = 0;
  if (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') {
    std::vector<std::string> parts = SplitDos(s.substr(2));
    if (parts.empty()) {
      SetLastError(ErrorCode::InvalidName);
      return "";
    }
    prefix = "\\\\" + parts[0];
    size_t start = 1;
    if (parts.size() > 1) {
      prefix += "\\" + parts[1];
      start = 2;
    }
    FoldInto(stack, std::vector<std::string>(parts.begin() + static_cast<long>(start), parts.end()), 0);
  } else {
    bool absolute = (s.size() >= 3 && IsDriveLetter(s[0]) && s[1] == ':' && s[2] == '\\');
    std::string cwd = absolute ? std::string() : GetCurrentDirectory();
    std::string rest;
    std::string base;  // the folder a relative name starts from
    if (s.size() >= 2 && IsDriveLetter(s[0]) && s[1] == ':') {
      prefix = std::string(1, static_cast<char>(LetterIndex(s[0]) + 'A')) + ":";
      rest = s.substr(2);
      bool sameDrive = cwd.size() >= 2 && cwd[1] == ':' && LetterIndex(cwd[0]) == LetterIndex(s[0]);
      base = sameDrive ? cwd : prefix + "\\";
    } else {
      rest = s;
      base = cwd;
      if (cwd.size() >= 2 && cwd[0] == '\\' && cwd[1] == '\\') {
        std::vector<std::string> parts = SplitDos(cwd.substr(2));
        prefix = "\\\\" + parts[0] + (parts.size() > 1 ? "\\" + parts[1] : "");
        floor = 0;
        std::string tail;
        for (size_t k = parts.size() > 1 ? 2 : 1; k < parts.size(); ++k) tail += "\\" + parts[k];
        base = prefix + tail;
      } else if (cwd.size() >= 2 && cwd[1] == ':') {
        prefix = cwd.substr(0, 2);
      } else {
        prefix = "Z:";
        base = "Z:\\";
      }
    }
    if (rest.empty() || rest[0] != '\\') {
      // Relative: start from the base folder.
      std::string baseRest = base.substr(prefix.size());
      FoldInto(stack, SplitDos(baseRest), 0);
    }
    FoldInto(stack, SplitDos(rest), floor);
  }
  std::string out = prefix;
  for (const std::string& p : stack) out += "\\" + p;
  if (stack.empty() && prefix.size() == 2)
    out += "\\";
  else if (trailing && !stack.empty())
    out += "\\";
  return out;
}
}  // namespace platform
