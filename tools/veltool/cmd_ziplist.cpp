// veltool ziplist ARCHIVE [--json]: the entries of a zip archive as the
// archive engine reads them back (the same reader a run uses before it adds
// to an archive), then the archive comment.
#include <cstdio>
#include <iostream>
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

int RunZipList(const std::vector<std::string>& args) {
  std::string file;
  bool json = false;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else if (file.empty()) {
      file = a;
    } else {
      std::cerr << "usage: veltool ziplist ARCHIVE [--json]\n";
      return 2;
    }
  }
  if (file.empty()) {
    std::cerr << "usage: veltool ziplist ARCHIVE [--json]\n";
    return 2;
  }
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
    std::cout << "{\"archive\":" << veltool::JsonString(platform::AnsiToUtf8(path)) << ",\"entries\":[";
    for (int i = 0; i < list.Count(); ++i) {
      const THeaderEntry& e = list[i];
      std::cout << (i ? "," : "") << "\n{\"name\":" << veltool::JsonString(e.DisplayName())
                << ",\"method\":" << e.Method() << ",\"flags\":" << e.Flags() << ",\"crc32\":\""
                << Hex(e.Crc32(), 8) << "\",\"compressedSize\":" << e.PackedSize()
                << ",\"compressedHigh\":" << e.Rec.PackedHi << ",\"size\":" << e.UnpackedSize()
                << ",\"sizeHigh\":" << e.Rec.UnpackedHi << ",\"dosDateTime\":\""
                << zarvo::FormatDosDateTime(e.DosDateTime())
                << "\",\"externalAttributes\":" << e.ExternalAttributes()
                << ",\"localHeaderOffset\":" << e.Rec.LocalOffset
                << ",\"headerCipher\":" << (e.Rec.HeaderCipher ? "true" : "false") << "}";
    }
    std::cout << "],\n\"comment\":" << veltool::JsonString(comment)
              << ",\"endRecord\":" << (list.EndRecordFound ? "true" : "false")
              << ",\"zip64\":" << (list.Zip64 ? "true" : "false")
              << ",\"damaged\":" << (list.Damaged ? "true" : "false");
    if (list.Damaged)
      std::cout << ",\"damageReason\":" << veltool::JsonString(zarvo::ValidUtf8(list.DamageReason));
    std::cout << "}\n";
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

}  // namespace

VELTOOL_COMMAND("ziplist", "ziplist ARCHIVE [--json]   entries of a zip archive as the engine reads them",
                RunZipList);
