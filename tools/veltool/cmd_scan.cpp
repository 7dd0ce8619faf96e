// veltool scan SPEC... : the files a folder-and-mask argument finds, with the
// archiver's masks and attribute filter. One file a line, tab-separated:
// folder, name, size, attributes, last write (MS-DOS date-time, local time);
// then a "total" line with the count of files and their bytes.
#include <cstdio>
#include <iostream>
#include <sstream>

#include "archive/zarvoFileScan.h"
#include "framework/sysutils.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "veltool.h"

namespace {

const char* kUsage =
    "usage: veltool scan SPEC... [--recurse] [--hidden-dirs] [--attributes A,..] [--exclude-attributes A,..] "
    "[--sort name|type|size|time]\n"
    "  SPEC: folder with a mask (/tmp/x/*.dbf, C:\\data\\*.dbf), a folder, or a bare mask (current folder)\n"
    "  A: zero, readonly, hidden, system, volumeid, directory, archive, compressed, encrypted\n";

bool ParseAttributes(const std::string& text, TZarvoFileAttrs& out) {
  static const std::pair<const char*, TZarvoFileAttr> kNames[] = {
      {"zero", fsZeroAttr},   {"readonly", fsReadOnly},     {"hidden", fsHidden},
      {"system", fsSysFile},  {"volumeid", fsVolumeID},     {"directory", fsDirectory},
      {"archive", fsArchive}, {"compressed", fsCompressed}, {"encrypted", fsEncrypted}};
  out.clear();
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = LowerCase(Trim(item));
    if (item.empty()) continue;
    if (item.rfind("fs", 0) == 0) item = item.substr(2);
    if (item == "zeroattr") item = "zero";
    if (item == "sysfile") item = "system";
    bool known = false;
    for (auto& [name, attr] : kNames)
      if (item == name) {
        out.insert(attr);
        known = true;
      }
    if (!known) {
      std::cerr << "veltool scan: unknown attribute '" << item << "'\n";
      return false;
    }
  }
  return true;
}

std::string AttributeText(uint32_t a) {
  std::string s;
  if (a & platform::kAttrDirectory) s += 'D';
  if (a & platform::kAttrReadOnly) s += 'R';
  if (a & platform::kAttrHidden) s += 'H';
  if (a & platform::kAttrSystem) s += 'S';
  if (a & platform::kAttrArchive) s += 'A';
  char hex[16];
  std::snprintf(hex, sizeof hex, "%s0x%04X", s.empty() ? "" : " ", a);
  return s + hex;
}

std::string DosDateTimeText(uint32_t v) {
  unsigned date = v >> 16, time = v & 0xFFFF;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15,
                date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return buf;
}

// A command-line SPEC as a DOS folder (with its trailing "\") and a mask.
bool ToSpec(const std::string& arg, std::string& out) {
  size_t cut = arg.find_last_of("/\\");
  std::string folder = cut == std::string::npos ? std::string() : arg.substr(0, cut + 1);
  std::string mask = cut == std::string::npos ? arg : arg.substr(cut + 1);
  if (cut == std::string::npos && arg.size() >= 2 && arg[1] == ':') {  // "C:*.dbf"
    folder = arg.substr(0, 2);
    mask = arg.substr(2);
  }
  // A SPEC naming a folder scans all of it.
  std::string whole = veltool::ToEnginePath(arg);
  if (!mask.empty() && mask.find_first_of("*?") == std::string::npos && platform::DirectoryExists(whole)) {
    folder = whole;
    mask = "*";
  } else if (folder.empty()) {
    folder = platform::GetCurrentDirectory();
  } else {
    bool root = folder == "/";
    folder = veltool::ToEnginePath(root ? folder : folder.substr(0, folder.size() - 1));
  }
  if (folder.empty()) {
    std::cerr << "veltool scan: no drive maps '" << arg << "'\n";
    return false;
  }
  if (folder.back() != '\\') folder += '\\';
  if (!platform::DirectoryExists(folder)) {
    std::cerr << "veltool scan: folder not found: " << platform::AnsiToUtf8(folder) << "\n";
    return false;
  }
  out = folder + platform::Utf8ToAnsi(mask);
  return true;
}

int RunScan(const std::vector<std::string>& args) {
  TStringList specs;
  TZarvoFileScan scan;
  scan.SetRecurseDirs(false);
  bool ok = true;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& v) {
      if (i + 1 >= args.size()) return false;
      v = args[++i];
      return true;
    };
    std::string v;
    if (a == "--recurse") {
      scan.SetRecurseDirs(true);
    } else if (a == "--hidden-dirs") {
      scan.SetIncludeHiddenDirs(true);
    } else if (a == "--attributes" || a == "--exclude-attributes") {
      TZarvoFileAttrs set;
      if (!value(v) || !ParseAttributes(v, set)) {
        std::cerr << kUsage;
        return 2;
      }
      if (a == "--attributes")
        scan.SetAttributes(set);
      else
        scan.SetAttributesEx(set);
    } else if (a == "--sort") {
      if (!value(v)) {
        std::cerr << kUsage;
        return 2;
      }
      if (v == "name")
        scan.SetSorted(soByName);
      else if (v == "type")
        scan.SetSorted(soByType);
      else if (v == "size")
        scan.SetSorted(soBySize);
      else if (v == "time")
        scan.SetSorted(soByTime);
      else {
        std::cerr << kUsage;
        return 2;
      }
    } else if (a.rfind("--", 0) == 0) {
      std::cerr << "veltool scan: unknown option " << a << "\n" << kUsage;
      return 2;
    } else {
      std::string spec;
      if (ToSpec(a, spec))
        specs.Add(spec);
      else
        ok = false;
    }
  }
  if (specs.Count() == 0 && ok) {
    std::cerr << kUsage;
    return 2;
  }
  scan.SetFileSpec(specs);
  scan.Scan();

  std::string out;
  const TFilesList& list = scan.FilesList();
  for (int i = 0; i < list.Count(); ++i) {
    const TFileObject& f = list[i];
    out += platform::AnsiToUtf8(f.folder) + '\t' + platform::AnsiToUtf8(f.name) + '\t' +
           std::to_string(f.Size()) + '\t' + AttributeText(f.attributes) + '\t' +
           DosDateTimeText(f.dosDateTime) + '\n';
    if (out.size() > 1 << 16) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  out += "total\t" + std::to_string(scan.FilesCount()) + " files\t" + std::to_string(scan.FilesSize()) +
         " bytes\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return ok ? 0 : 1;
}

}  // namespace

VELTOOL_COMMAND("scan",
                "scan SPEC... [--recurse] [--hidden-dirs] [--attributes A,..] [--exclude-attributes A,..] "
                "[--sort name|type|size|time]",
                RunScan);
