// veltool ziplist ARCHIVE [--json]: the entries of a zip archive as the
// archive engine reads them back (the same reader a run uses before it adds
// to an archive), then the archive comment.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "archive/Err_Msgs.h"
#include "archive/zarvoFileIo.h"
#include "archive/zarvoHeaders.h"
#include "archive/zarvoStreams.h"
#include "platform/text.h"
#include "veltool.h"

namespace {

std::string Hex(uint32_t v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", width, v);
  return buf;
}

struct Options {
  std::string file;
  bool json = false;
};

int RunZipList(const Options& o) {
  const std::string& file = o.file;
  const bool json = o.json;
  const std::string path = veltool::ToEnginePath(file);
  TFileStream32 in(path, fmOpenRead | fmShareDenyWrite);
  if (!in.Valid()) {
    std::cerr << "veltool ziplist: " << LoadErrorMsg(E_OPEN) << ": " << platform::AnsiToUtf8(path) << "\n";
    return 1;
  }
  TZipFormat fmt;
  fmt.ArchiveName = path;
  int problems = 0;
  fmt.ReportError = [&](const std::string& name, const std::string& ext, int code) {
    ++problems;
    std::cerr << "veltool ziplist: " << LoadErrorMsg(code) << ": " << platform::AnsiToUtf8(name)
              << (ext.empty() ? "" : " (" + ext + ")") << "\n";
  };
  TCompHeaderObj list;
  fmt.ReadArchive(in, list);
  if (!list.EndRecordFound && list.Count() == 0) {
    std::cerr << "veltool ziplist: "
              << (list.Damaged ? "damaged zip archive, no entry could be read: " : "not a zip archive: ")
              << platform::AnsiToUtf8(path) << "\n";
    return 1;
  }
  if (!list.EndRecordFound)
    std::cerr << "veltool ziplist: no end record; entries found by walking the local headers: "
              << platform::AnsiToUtf8(path) << "\n";
  if (list.Damaged)
    std::cerr << "veltool ziplist: " << LoadErrorMsg(E_DAMAGED) << " (" << zarvo::ValidUtf8(list.DamageReason)
              << "); listing what could be read: " << platform::AnsiToUtf8(path) << "\n";

  const std::string comment = platform::CodePageToUtf8(list.ArchiveComment, platform::OemCodePage());
  if (json) {
    veltool::Json entries = veltool::Json::array();
    for (int i = 0; i < list.Count(); ++i) {
      const THeaderEntry& e = list[i];
      veltool::Json item;
      item["name"] = e.DisplayName();
      item["method"] = e.Method();
      item["flags"] = e.Flags();
      item["crc32"] = Hex(e.Crc32(), 8);
      item["compressedSize"] = e.PackedSize();
      item["compressedHigh"] = e.Rec.PackedHi;
      item["size"] = e.UnpackedSize();
      item["sizeHigh"] = e.Rec.UnpackedHi;
      item["dosDateTime"] = zarvo::FormatDosDateTime(e.DosDateTime());
      item["externalAttributes"] = e.ExternalAttributes();
      item["localHeaderOffset"] = e.Rec.LocalOffset;
      item["headerCipher"] = e.Rec.HeaderCipher;
      entries.push_back(std::move(item));
    }
    veltool::Json doc;
    doc["archive"] = platform::AnsiToUtf8(path);
    doc["entries"] = std::move(entries);
    doc["comment"] = comment;
    doc["endRecord"] = list.EndRecordFound;
    doc["zip64"] = list.Zip64;
    doc["damaged"] = list.Damaged;
    if (list.Damaged) doc["damageReason"] = zarvo::ValidUtf8(list.DamageReason);
    veltool::PrintJson(doc);
  } else {
    std::cout << "#name\tmethod\tflags\tcrc32\tcompressed\tcompressed_high\tsize\tsize_high\tdos_datetime"
                 "\tattributes\toffset\n";
    for (int i = 0; i < list.Count(); ++i) {
      const THeaderEntry& e = list[i];
      std::cout << e.DisplayName() << "\t" << e.Method() << "\t0x" << Hex(e.Flags(), 4) << "\t"
                << Hex(e.Crc32(), 8) << "\t" << e.PackedSize() << "\t" << e.Rec.PackedHi << "\t"
                << e.UnpackedSize() << "\t" << e.Rec.UnpackedHi << "\t"
                << zarvo::FormatDosDateTime(e.DosDateTime()) << "\t0x" << Hex(e.ExternalAttributes(), 8)
                << "\t" << e.Rec.LocalOffset << "\n";
    }
    std::cout << "comment\t" << comment << "\n";
  }
  return (list.Damaged || problems > 0 || !list.EndRecordFound) ? 1 : 0;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd =
      veltool::AddCommand(app, "ziplist", "entries of a zip archive as the archive engine reads them",
                          [o] { return RunZipList(*o); });
  cmd->add_option("ARCHIVE", o->file, "the zip archive")->required();
  veltool::AddJsonFlag(cmd, o->json);
}

}  // namespace

VELTOOL_COMMAND("ziplist", Setup);
