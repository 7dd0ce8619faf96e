// veltool zip: adds files to a zip archive (or refreshes, moves, deletes,
// lists) with the archiver the backup uses.
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "archive/zarvoZip.h"
#include "veltool.h"

namespace {

const char kUsage[] =
    "zip ARCHIVE SPEC... [--switch add|refresh|move|delete|read] [--method store|deflate] [--level S|F|N|X] "
    "[--recurse] [--stored-names none|absolute|absolute-no-drive|absolute-no-root|relative|relative-start] "
    "[--exclude MASK]... [--password P] [--temp-dir DIR] [--date file|sys|max] [--replace] [--rename-dupes]";

struct Options {
  std::string archive;
  std::vector<std::string> specs;
  std::vector<std::string> excludes;
  TSwitch sw = swAdd;
  TCompressMethod method = cmDeflate;
  TDeflateType level = dtDeflateN;
  bool recurse = false;
  TStoredDirNames storedNames = sdRelative;
  std::string password;
  std::string tempDir;
  TDateAttribute date = daFileDate;
  bool replace = false;
  bool renameDupes = false;
};

bool Parse(const std::vector<std::string>& args, Options& o, std::string& error) {
  auto value = [&](size_t& i, const std::string& name, std::string& out) {
    if (i + 1 >= args.size()) {
      error = name + " needs a value";
      return false;
    }
    out = args[++i];
    return true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--switch") {
      if (!value(i, a, v)) return false;
      if (v == "add")
        o.sw = swAdd;
      else if (v == "refresh")
        o.sw = swRefresh;
      else if (v == "move")
        o.sw = swMove;
      else if (v == "delete")
        o.sw = swDelete;
      else if (v == "read")
        o.sw = swRead;
      else
        return error = "unknown switch '" + v + "'", false;
    } else if (a == "--method") {
      if (!value(i, a, v)) return false;
      if (v == "store")
        o.method = cmStore;
      else if (v == "deflate")
        o.method = cmDeflate;
      else
        return error = "unknown method '" + v + "'", false;
    } else if (a == "--level") {
      if (!value(i, a, v)) return false;
      if (v == "S" || v == "s")
        o.level = dtDeflateS;
      else if (v == "F" || v == "f")
        o.level = dtDeflateF;
      else if (v == "N" || v == "n")
        o.level = dtDeflateN;
      else if (v == "X" || v == "x")
        o.level = dtDeflateX;
      else
        return error = "unknown level '" + v + "'", false;
    } else if (a == "--recurse") {
      o.recurse = true;
    } else if (a == "--stored-names") {
      if (!value(i, a, v)) return false;
      if (v == "none")
        o.storedNames = sdNone;
      else if (v == "absolute")
        o.storedNames = sdAbsolute;
      else if (v == "absolute-no-drive")
        o.storedNames = sdAbsoluteNoDrv;
      else if (v == "absolute-no-root")
        o.storedNames = sdAbsoluteNoRoot;
      else if (v == "relative")
        o.storedNames = sdRelative;
      else if (v == "relative-start")
        o.storedNames = sdRelativeStoreStart;
      else
        return error = "unknown stored-names mode '" + v + "'", false;
    } else if (a == "--exclude") {
      if (!value(i, a, v)) return false;
      o.excludes.push_back(v);
    } else if (a == "--password") {
      if (!value(i, a, o.password)) return false;
    } else if (a == "--temp-dir") {
      if (!value(i, a, v)) return false;
      o.tempDir = veltool::ToEnginePath(v);
    } else if (a == "--date") {
      if (!value(i, a, v)) return false;
      if (v == "file")
        o.date = daFileDate;
      else if (v == "sys")
        o.date = daSysDate;
      else if (v == "max")
        o.date = daMaxFileDate;
      else
        return error = "unknown date mode '" + v + "'", false;
    } else if (a == "--replace") {
      o.replace = true;
    } else if (a == "--rename-dupes") {
      o.renameDupes = true;
    } else if (a.rfind("--", 0) == 0) {
      error = "unknown option '" + a + "'";
      return false;
    } else if (o.archive.empty()) {
      o.archive = veltool::ToEnginePath(a);
    } else {
      o.specs.push_back(a);
    }
  }
  if (o.archive.empty()) {
    error = "no archive given";
    return false;
  }
  // Under delete the specs are masks over the names in the archive; otherwise
  // files: a bare mask is taken in the current folder, anything else is
  // resolved like the archive.
  if (o.sw != swDelete) {
    for (auto& spec : o.specs) {
      bool bareMask = spec.find('/') == std::string::npos && spec.find('\\') == std::string::npos;
      spec = bareMask ? veltool::ToEnginePath(".") + "\\" + spec : veltool::ToEnginePath(spec);
    }
  }
  return true;
}

// "name.txt" -> "name_1.txt", "name_2.txt", ...
std::string NumberedName(const std::string& name, int n) {
  size_t slash = name.find_last_of('\\');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = name.size();
  return name.substr(0, dot) + "_" + std::to_string(n) + name.substr(dot);
}

int Run(const std::vector<std::string>& args) {
  Options o;
  std::string error;
  if (!Parse(args, o, error)) {
    std::cerr << "veltool zip: " << error << "\nusage: veltool " << kUsage << "\n";
    return 2;
  }

  TZip zip;
  zip.SetArchiveFile(o.archive);
  zip.SetSwitch(o.sw);
  zip.SetCompressMethod(o.method);
  zip.SetDeflateType(o.level);
  zip.SetRecurseDirs(o.recurse);
  zip.SetStoredDirNames(o.storedNames);
  zip.SetPassword(o.password);
  zip.SetDateAttribute(o.date);
  if (!o.tempDir.empty()) zip.SetTempDir(o.tempDir);
  for (const auto& s : o.specs) zip.FileSpec().Add(s);
  for (const auto& x : o.excludes) zip.ExcludeSpec().Add(x);

  const bool bar = veltool::StdoutIsTerminal();
  int errors = 0;
  zip.OnError = [&](TComponent*, const std::string& file, const std::string& ext, const std::string&,
                    int code) {
    ++errors;
    std::string text = TZipCommon::ErrorText(code);
    if (!ext.empty()) text += " (" + ext + ")";
    // A progress line being drawn is cleared first.
    if (bar) std::fprintf(stdout, "\r%78s\r", "");
    std::fflush(stdout);
    std::cerr << code << " " << text << ": " << file << "\n";
  };
  // The archiver's own answers: a changed file does not replace its entry and
  // a duplicate is not renamed, unless --replace / --rename-dupes say so.
  zip.OnReplaceFile = [&](TComponent*, const std::string&, const std::string&, uint32_t, uint32_t, int64_t,
                          int64_t, uint32_t, uint32_t, bool& replace) { replace = o.replace; };
  std::map<std::string, int> attempts;
  zip.OnRenameDupeFile = [&](TComponent*, const std::string& name, std::string& newName, bool& rename) {
    rename = o.renameDupes;
    if (rename) newName = NumberedName(name, ++attempts[name]);
  };
  if (o.sw == swRead) {
    zip.OnRead = [](TComponent*, int64_t offset, int num) { std::cout << num << "\t" << offset << "\n"; };
  }
  zip.OnNonWriteableArchive = [](TComponent*, const std::string&, bool& write) { write = false; };

  if (bar) {
    zip.OnProgress = [](TComponent*, uint8_t byFile, uint8_t byArchive) {
      auto draw = [](int pct) {
        std::string s(20, ' ');
        for (int i = 0; i < pct / 5; ++i) s[i] = '#';
        return "[" + s + "]";
      };
      std::fprintf(stdout, "\rfile %s %3d%%  archive %s %3d%%", draw(byFile).c_str(), byFile,
                   draw(byArchive).c_str(), byArchive);
      std::fflush(stdout);
    };
  }

  int result = zip.Compress();
  if (bar) std::fprintf(stdout, "\r%78s\r", "");
  if (!zip.LastException().empty()) {
    std::cerr << "veltool zip: " << zip.LastException() << "\n";
    ++errors;
  }
  std::cout << result << "\n";
  return errors == 0 ? 0 : 1;
}

VELTOOL_COMMAND("zip", kUsage, Run);

}  // namespace
