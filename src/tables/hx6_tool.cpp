#include "tables/hx6_tool.h"

#include <cstring>

#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"

// ---- ThxHugeSet ----

void ThxHugeSet::ChangeBit(int64_t i, int op) {
  // Record numbers fit 32 bits; anything beyond would only allocate pages for nothing.
  if (i < 0 || i > int64_t{0xFFFFFFFF}) return;
  size_t page = static_cast<size_t>(i / kPageBits);
  size_t byte = static_cast<size_t>((i / 8) % kPageBytes);
  uint8_t mask = static_cast<uint8_t>(1u << (i % 8));
  if (page >= pages_.size()) pages_.resize(page + 1);
  if (!pages_[page]) {
    pages_[page] = std::make_unique<Page>();
    pages_[page]->fill(0);
  }
  uint8_t& b = (*pages_[page])[byte];
  switch (op) {
    case Clear:
      b = static_cast<uint8_t>(b & ~mask);
      break;
    case Set:
      b = static_cast<uint8_t>(b | mask);
      break;
    default:
      b = static_cast<uint8_t>(b ^ mask);
      break;
  }
  if (i > highest_) highest_ = i;
}

bool ThxHugeSet::TestBit(int64_t i) const {
  if (i < 0 || i > highest_) return false;
  size_t page = static_cast<size_t>(i / kPageBits);
  if (page >= pages_.size() || !pages_[page]) return false;
  return ((*pages_[page])[static_cast<size_t>((i / 8) % kPageBytes)] >> (i % 8)) & 1;
}

void ThxHugeSet::ClearAll() {
  for (auto& p : pages_)
    if (p) p->fill(0);
  highest_ = -1;
}

int64_t ThxHugeSet::NextSet(int64_t from) const {
  if (from < 0) from = 0;
  while (from <= highest_) {
    size_t page = static_cast<size_t>(from / kPageBits);
    if (page >= pages_.size()) return -1;
    if (!pages_[page]) {
      from = static_cast<int64_t>(page + 1) * kPageBits;
      continue;
    }
    const Page& p = *pages_[page];
    size_t byte = static_cast<size_t>((from / 8) % kPageBytes);
    uint8_t b = static_cast<uint8_t>(p[byte] >> (from % 8));
    if (b) {
      int64_t r = from + __builtin_ctz(b);
      return r <= highest_ ? r : -1;
    }
    from = (from / 8 + 1) * 8;
    // Skip whole zero bytes quickly.
    while (from <= highest_ && from / kPageBits == static_cast<int64_t>(page) &&
           p[static_cast<size_t>((from / 8) % kPageBytes)] == 0)
      from += 8;
  }
  return -1;
}

int64_t ThxHugeSet::PrevSet(int64_t from) const {
  if (from > highest_) from = highest_;
  while (from >= 0) {
    size_t page = static_cast<size_t>(from / kPageBits);
    if (page >= pages_.size() || !pages_[page]) {
      from = static_cast<int64_t>(page) * kPageBits - 1;
      continue;
    }
    const Page& p = *pages_[page];
    size_t byte = static_cast<size_t>((from / 8) % kPageBytes);
    int shift = 7 - static_cast<int>(from % 8);
    uint8_t b = static_cast<uint8_t>(p[byte] << shift);
    if (b) return from - __builtin_clz(static_cast<unsigned>(b) << 24);
    from = (from / 8) * 8 - 1;
    while (from >= 0 && from / kPageBits == static_cast<int64_t>(page) &&
           p[static_cast<size_t>((from / 8) % kPageBytes)] == 0)
      from -= 8;
  }
  return -1;
}

// ---- file names ----

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

size_t FilePartStart(const std::string& name) {
  for (size_t i = name.size(); i > 0; --i)
    if (IsSeparator(name[i - 1])) return i;
  return 0;
}

// Index of the extension's dot inside the file part, npos when none.
size_t ExtensionDot(const std::string& name) {
  size_t start = FilePartStart(name);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot < start) return std::string::npos;
  return dot;
}

}  // namespace

std::string ExpandFileName(const std::string& name) {
  if (name.find("\\\\") != std::string::npos) return name;
  if (name.size() > 2 && name.find(':', 2) != std::string::npos) return name;
  std::string full = platform::GetFullPathName(name);
  return full.empty() ? name : full;
}

std::string DefaultExtension(const std::string& name, const std::string& ext) {
  if (ExtensionDot(name) != std::string::npos) return name;
  return name + ext;
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
  size_t dot = ExtensionDot(name);
  return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

std::string ExtractFileName(const std::string& name) { return name.substr(FilePartStart(name)); }

std::string ExtractFilePath(const std::string& name) { return name.substr(0, FilePartStart(name)); }

std::string ExtractFileExt(const std::string& name) {
  size_t dot = ExtensionDot(name);
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string BaseFileName(const std::string& name) {
  std::string file = ExtractFileName(name);
  size_t dot = file.rfind('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

// ---- text ----

int HxCompareStr(std::string_view a, std::string_view b) { return platform::AnsiCompareStr(a, b); }
int HxCompareText(std::string_view a, std::string_view b) { return platform::AnsiCompareText(a, b); }

int HxPos(std::string_view sub, std::string_view text) {
  if (sub.empty()) return 0;
  size_t p = text.find(sub);
  return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

std::string HxUpperCase(std::string_view text) { return platform::AnsiUpperCase(text); }
std::string HxLowerCase(std::string_view text) { return platform::AnsiLowerCase(text); }

int HxStrComp(const char* a, const char* b) {
  return platform::AnsiCompareStr(a ? std::string_view(a) : std::string_view(),
                                  b ? std::string_view(b) : std::string_view());
}

int HxStrIComp(const char* a, const char* b) {
  return platform::AnsiCompareText(a ? std::string_view(a) : std::string_view(),
                                   b ? std::string_view(b) : std::string_view());
}

std::string HxTrimRight(std::string_view text) {
  size_t n = text.size();
  while (n > 0 && static_cast<unsigned char>(text[n - 1]) <= ' ') --n;
  return std::string(text.substr(0, n));
}

std::string HxTrim(std::string_view text) {
  size_t b = 0;
  while (b < text.size() && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  return HxTrimRight(text.substr(b));
}

int WildcardSearch(std::string_view pattern, std::string_view text) {
  if (pattern.empty() || text.size() < pattern.size()) return 0;
  if (pattern == "*") return 1;
  bool leadingStar = pattern.front() == '*';
  std::string_view rest = pattern;
  if (leadingStar) rest.remove_prefix(1);
  if (!rest.empty() && rest.back() == '*') rest.remove_suffix(1);
  // Nothing but asterisks: everything matches.
  if (rest.empty()) return 1;
  std::string copy(text);
  if (!leadingStar)
    for (size_t i = 0; i < rest.size() && i < copy.size(); ++i)
      if (rest[i] == '?') copy[i] = '?';
  size_t p = copy.find(rest);
  return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

void HxAnsiToOem(char* buffer, size_t count) {
  if (buffer && count) platform::AnsiToOemBuff(buffer, count);
}

void HxOemToAnsi(char* buffer, size_t count) {
  if (buffer && count) platform::OemToAnsiBuff(buffer, count);
}

std::string HxWindowsDirectory() { return platform::WindowsDirectory(); }

void HxSleep(uint32_t milliseconds) { platform::Sleep(milliseconds); }
