// veltool info FILE [--json] [--codepage N]: the header, memo file and field
// list of a table, field names decoded from the table's code page as dump does.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "platform/text.h"
#include "table_text.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"
#include "veltool.h"

namespace {

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
  int codePage = 0;
};

int RunInfo(const Options& o) {
  HXO_dBaseFld t(veltool::ToEnginePath(o.file), true, false);
  const uint8_t* h = t.Header();
  const veltool::TableCodePage page = veltool::ChooseCodePage(t, o.codePage);
  const veltool::TableText text(page.page);
  const veltool::ValueReader reader(t, text);
  // The header's count is never trusted (the file size decides), but a
  // difference tells of an interrupted write or of records cut off.
  const uint32_t headerRecords = GetLE32(h + 4);
  const bool countsDiffer = static_cast<int64_t>(headerRecords) != t.RecordCount();
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
    if (t.Dbase7()) doc["layout"] = "dBase 7";
    doc["last_update"] = LastUpdate(h);
    doc["records"] = t.RecordCount();
    doc["header_records"] = headerRecords;
    doc["header_length"] = t.HeaderLength();
    doc["record_length"] = t.RecordLength();
    doc["flags"] = unsigned{h[28]};
    doc["codepage_mark"] = unsigned{h[29]};
    doc["codepage"] = page.page;
    doc["codepage_from"] = page.how;
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
      veltool::Json field = {{"name", reader.Name(i)},
                             {"type", std::string(1, f->type)},
                             {"width", f->length},
                             {"decimals", f->type == 'C' ? 0u : unsigned{f->decimals}},
                             {"offset", f->offset}};
      // Visual FoxPro: the field may hold NULL (its bit in _NullFlags).
      if (t.Version() == 0x30 && (t.Descriptor(i)[18] & 0x02)) field["nullable"] = true;
      fields.push_back(std::move(field));
    }
    doc["fields"] = std::move(fields);
    veltool::PrintJson(doc);
    return 0;
  }
  std::ostringstream out;
  out << "file\t" << veltool::FromAnsi(t.FileName()) << "\n"
      << "version\t" << Hex2(t.Version()) << (t.Dbase7() ? " (dBase 7 layout)" : "") << "\n"
      << "last update\t" << LastUpdate(h) << "\n"
      << "records\t" << t.RecordCount() << "\n";
  if (countsDiffer) out << "records in header\t" << headerRecords << "\n";
  out << "header length\t" << t.HeaderLength() << "\n"
      << "record length\t" << t.RecordLength() << "\n"
      << "flags\t" << Hex2(h[28]) << "\n"
      << "code page\t" << page.page << " (" << page.how << ")\n";
  if (!memoName.empty())
    out << "memo file\t" << veltool::FromAnsi(memoName) << "\n"
        << "memo format\t" << memoFormat << "\n"
        << "memo block size\t" << memoBlockSize << "\n";
  else if (!memoError.empty())
    out << "memo file\t(" << veltool::FromAnsi(memoError) << ")\n";
  out << "fields\t" << t.FieldCount() << "\n";
  for (int i = 1; i <= t.FieldCount(); ++i) {
    const ThxDBFFields* f = t.FieldEntry(i);
    out << veltool::EscapePlain(reader.Name(i)) << "\t" << f->type << "\t" << f->length << "\t"
        << (f->type == 'C' ? 0 : unsigned{f->decimals}) << "\t" << f->offset << "\n";
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
  veltool::AddCodePageOption(cmd, o->codePage);
  cmd->footer(
      "\"records\" is the count the file size gives (what the engine reads); \"records in header\" "
      "follows when the header says otherwise.");
}

}  // namespace

VELTOOL_COMMAND("info", Setup);
