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
    if (!known) return false;
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

struct Options {
  std::vector<std::string> specs;
  bool recurse = false;
  bool hiddenDirs = false;
  std::string attributes, excludeAttributes;
  bool haveAttributes = false, haveExcludeAttributes = false;
  std::string sort;
};

int RunScan(const Options& o) {
  TStringList specs;
  TZarvoFileScan scan;
  scan.SetRecurseDirs(o.recurse);
  scan.SetIncludeHiddenDirs(o.hiddenDirs);
  TZarvoFileAttrs set;
  if (o.haveAttributes && ParseAttributes(o.attributes, set)) scan.SetAttributes(set);
  if (o.haveExcludeAttributes && ParseAttributes(o.excludeAttributes, set)) scan.SetAttributesEx(set);
  if (o.sort == "name")
    scan.SetSorted(soByName);
  else if (o.sort == "type")
    scan.SetSorted(soByType);
  else if (o.sort == "size")
    scan.SetSorted(soBySize);
  else if (o.sort == "time")
    scan.SetSorted(soByTime);
  bool ok = true;
  for (const auto& a : o.specs) {
    std::string spec;
    if (ToSpec(a, spec))
      specs.Add(spec);
    else
      ok = false;
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

// Checks an attribute list while the command line is parsed.
std::string CheckAttributes(const std::string& text) {
  TZarvoFileAttrs set;
  if (ParseAttributes(text, set)) return std::string();
  return "unknown attribute in '" + text +
         "' (zero, readonly, hidden, system, volumeid, directory, archive, compressed, encrypted)";
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(app, "scan", "the files that folder-and-mask specifications find",
                                      [o] { return RunScan(*o); });
  cmd->add_option(
         "SPEC", o->specs,
         "folder with a mask (/tmp/x/*.dbf, C:\\data\\*.dbf), a folder, or a bare mask (current folder)")
      ->required();
  cmd->add_flag("--recurse", o->recurse, "descend into subfolders");
  cmd->add_flag("--hidden-dirs", o->hiddenDirs, "descend into hidden folders too");
  cmd->add_option("--attributes", o->attributes, "attributes a file may have, A,.. (see below)")
      ->check(CheckAttributes)
      ->each([o](const std::string&) { o->haveAttributes = true; });
  cmd->add_option("--exclude-attributes", o->excludeAttributes, "attributes that exclude a file, A,..")
      ->check(CheckAttributes)
      ->each([o](const std::string&) { o->haveExcludeAttributes = true; });
  cmd->add_option("--sort", o->sort, "order of the list")
      ->check(CLI::IsMember({"name", "type", "size", "time"}))
      ->option_text("name|type|size|time");
  cmd->footer(
      "One file a line, tab-separated: folder, name, size, attributes, last write (MS-DOS date-time, local "
      "time); then a total line.\nA: zero, readonly, hidden, system, volumeid, directory, archive, "
      "compressed, "
      "encrypted");
}

}  // namespace

VELTOOL_COMMAND("scan", Setup);
