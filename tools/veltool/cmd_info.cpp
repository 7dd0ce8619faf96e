// veltool info FILE [--json]: the header and field list of a table.
#include <cstdio>
#include <iostream>
#include <sstream>

#include "platform/text.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"
#include "veltool.h"

namespace {

// Field names are stored in the tables' OEM code page; show them as UTF-8.
std::string NameForDisplay(const std::string& name) {
  bool ascii = true;
  for (unsigned char c : name)
    if (c >= 0x80) ascii = false;
  if (ascii) return name;
  // Some programs store UTF-8 names; keep those as they are.
  bool validUtf8 = true;
  for (size_t i = 0; i < name.size() && validUtf8;) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > name.size()) {
      validUtf8 = false;
      break;
    }
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(name[i + k]) >> 6) != 2) validUtf8 = false;
    i += len;
  }
  if (validUtf8) return name;
  return platform::CodePageToUtf8(name, platform::OemCodePage());
}

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

std::string LastUpdate(const uint8_t* h) {
  // The year is stored modulo 100; years before 80 are taken as 20xx.
  int year = h[1] < 80 ? 2000 + h[1] : 1900 + h[1];
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, h[2], h[3]);
  return buf;
}

int RunInfo(const std::vector<std::string>& args) {
  std::string file;
  bool json = false;
  for (const auto& a : args) {
    if (a == "--json")
      json = true;
    else if (file.empty())
      file = a;
    else {
      std::cerr << "usage: veltool info FILE [--json]\n";
      return 2;
    }
  }
  if (file.empty()) {
    std::cerr << "usage: veltool info FILE [--json]\n";
    return 2;
  }
  try {
    HXO_dBaseFld t(veltool::ToEnginePath(file), true, false);
    const uint8_t* h = t.Header();
    std::ostringstream out;
    // The memo file beside the table: its name, format and block size.
    std::string memoName, memoFormat, memoError;
    uint32_t memoBlockSize = 0;
    if (t.HasMemo()) {
      try {
        if (HXobjMemo* memo = t.MemoFile()) {
          memoName = memo->FileName();
          memoFormat = memo->FormatName();
          memoBlockSize = memo->BlockSize();
        }
      } catch (const std::exception& e) {
        memoError = e.what();
      }
    }
    if (json) {
      out << "{\"file\":" << veltool::JsonString(platform::AnsiToUtf8(t.FileName()))
          << ",\"version\":" << unsigned{t.Version()} << ",\"last_update\":\"" << LastUpdate(h) << "\""
          << ",\"records\":" << t.RecordCount() << ",\"header_length\":" << t.HeaderLength()
          << ",\"record_length\":" << t.RecordLength() << ",\"flags\":" << unsigned{h[28]}
          << ",\"encrypted\":" << (t.Encrypted() ? "true" : "false");
      if (!memoName.empty())
        out << ",\"memo\":{\"file\":" << veltool::JsonString(platform::AnsiToUtf8(memoName))
            << ",\"format\":" << veltool::JsonString(memoFormat) << ",\"block_size\":" << memoBlockSize
            << "}";
      else if (!memoError.empty())
        out << ",\"memo\":{\"error\":" << veltool::JsonString(platform::AnsiToUtf8(memoError)) << "}";
      else
        out << ",\"memo\":null";
      out << ",\"fields\":[";
      for (int i = 1; i <= t.FieldCount(); ++i) {
        const ThxDBFFields* f = t.FieldEntry(i);
        if (i > 1) out << ",";
        out << "{\"name\":" << veltool::JsonString(NameForDisplay(f->name))
            << ",\"type\":" << veltool::JsonString(std::string(1, f->type)) << ",\"width\":" << f->length
            << ",\"decimals\":" << (f->type == 'C' ? 0 : unsigned{f->decimals}) << ",\"offset\":" << f->offset
            << "}";
      }
      out << "]}\n";
    } else {
      out << "file\t" << platform::AnsiToUtf8(t.FileName()) << "\n"
          << "version\t" << Hex2(t.Version()) << "\n"
          << "last update\t" << LastUpdate(h) << "\n"
          << "records\t" << t.RecordCount() << "\n"
          << "header length\t" << t.HeaderLength() << "\n"
          << "record length\t" << t.RecordLength() << "\n"
          << "flags\t" << Hex2(h[28]) << "\n";
      if (!memoName.empty())
        out << "memo file\t" << platform::AnsiToUtf8(memoName) << "\n"
            << "memo format\t" << memoFormat << "\n"
            << "memo block size\t" << memoBlockSize << "\n";
      else if (!memoError.empty())
        out << "memo file\t(" << platform::AnsiToUtf8(memoError) << ")\n";
      out << "fields\t" << t.FieldCount() << "\n";
      for (int i = 1; i <= t.FieldCount(); ++i) {
        const ThxDBFFields* f = t.FieldEntry(i);
        out << NameForDisplay(f->name) << "\t" << f->type << "\t" << f->length << "\t"
            << (f->type == 'C' ? 0 : unsigned{f->decimals}) << "\t" << f->offset << "\n";
      }
    }
    std::cout << out.str();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "veltool info: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

VELTOOL_COMMAND("info", "info FILE [--json]   header and field list of a table", RunInfo);
