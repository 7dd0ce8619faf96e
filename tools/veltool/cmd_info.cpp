// veltool info FILE [--json]: the header and field list of a table.
#include <cstdio>
#include <iostream>
#include <memory>
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

struct Options {
  std::string file;
  bool json = false;
};

int RunInfo(const Options& o) {
  HXO_dBaseFld t(veltool::ToEnginePath(o.file), true, false);
  const uint8_t* h = t.Header();
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
  if (o.json) {
    veltool::Json doc;
    doc["file"] = veltool::FromAnsi(t.FileName());
    doc["version"] = unsigned{t.Version()};
    doc["last_update"] = LastUpdate(h);
    doc["records"] = t.RecordCount();
    doc["header_length"] = t.HeaderLength();
    doc["record_length"] = t.RecordLength();
    doc["flags"] = unsigned{h[28]};
    doc["encrypted"] = t.Encrypted();
    if (!memoName.empty())
      doc["memo"] = {
          {"file", veltool::FromAnsi(memoName)}, {"format", memoFormat}, {"block_size", memoBlockSize}};
    else if (!memoError.empty())
      doc["memo"] = {{"error", veltool::FromAnsi(memoError)}};
    else
      doc["memo"] = nullptr;
    veltool::Json fields = veltool::Json::array();
    for (int i = 1; i <= t.FieldCount(); ++i) {
      const ThxDBFFields* f = t.FieldEntry(i);
      fields.push_back({{"name", NameForDisplay(f->name)},
                        {"type", veltool::FromAnsi(std::string(1, f->type))},
                        {"width", f->length},
                        {"decimals", f->type == 'C' ? 0u : unsigned{f->decimals}},
                        {"offset", f->offset}});
    }
    doc["fields"] = std::move(fields);
    veltool::PrintJson(doc);
    return 0;
  }
  std::ostringstream out;
  out << "file\t" << veltool::FromAnsi(t.FileName()) << "\n"
      << "version\t" << Hex2(t.Version()) << "\n"
      << "last update\t" << LastUpdate(h) << "\n"
      << "records\t" << t.RecordCount() << "\n"
      << "header length\t" << t.HeaderLength() << "\n"
      << "record length\t" << t.RecordLength() << "\n"
      << "flags\t" << Hex2(h[28]) << "\n";
  if (!memoName.empty())
    out << "memo file\t" << veltool::FromAnsi(memoName) << "\n"
        << "memo format\t" << memoFormat << "\n"
        << "memo block size\t" << memoBlockSize << "\n";
  else if (!memoError.empty())
    out << "memo file\t(" << veltool::FromAnsi(memoError) << ")\n";
  out << "fields\t" << t.FieldCount() << "\n";
  for (int i = 1; i <= t.FieldCount(); ++i) {
    const ThxDBFFields* f = t.FieldEntry(i);
    out << NameForDisplay(f->name) << "\t" << veltool::FromAnsi(std::string(1, f->type)) << "\t" << f->length
        << "\t" << (f->type == 'C' ? 0 : unsigned{f->decimals}) << "\t" << f->offset << "\n";
  }
  std::cout << out.str();
  return 0;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(app, "info", "header, memo file and field list of a table",
                                      [o] { return RunInfo(*o); });
  cmd->add_option("FILE", o->file, "the table (.dbf)")->required();
  veltool::AddJsonFlag(cmd, o->json);
}

}  // namespace

VELTOOL_COMMAND("info", Setup);
