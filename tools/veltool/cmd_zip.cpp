// veltool zip: adds files to a zip archive (or refreshes, moves, deletes,
// lists) with the archiver the backup uses.
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/zarvoZip.h"
#include "disk_prompt.h"
#include "veltool.h"

namespace {

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
  int workers = 0;  // 0: one per core
  bool json = false;
};

// Fills in what the command line leaves to be derived: engine paths for the
// archive and (except under delete) the file specifications.
void Resolve(Options& o) {
  o.archive = veltool::ToEnginePath(o.archive);
  if (!o.tempDir.empty()) o.tempDir = veltool::ToEnginePath(o.tempDir);
  // Under delete the specs are masks over the names in the archive; otherwise
  // files: a bare mask is taken in the current folder, anything else is
  // resolved like the archive.
  if (o.sw != swDelete) {
    for (auto& spec : o.specs) {
      bool bareMask = spec.find('/') == std::string::npos && spec.find('\\') == std::string::npos;
      spec = bareMask ? veltool::ToEnginePath(".") + "\\" + spec : veltool::ToEnginePath(spec);
    }
  }
}

// "name.txt" -> "name_1.txt", "name_2.txt", ...
std::string NumberedName(const std::string& name, int n) {
  size_t slash = name.find_last_of('\\');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = name.size();
  return name.substr(0, dot) + "_" + std::to_string(n) + name.substr(dot);
}

int Run(Options& o) {
  Resolve(o);

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
  zip.SetWorkers(o.workers);
  for (const auto& s : o.specs) zip.FileSpec().Add(s);
  for (const auto& x : o.excludes) zip.ExcludeSpec().Add(x);

  const bool bar = veltool::StdoutIsTerminal() && !o.json;
  int errors = 0;
  veltool::Json errorList = veltool::Json::array();
  veltool::Json readList = veltool::Json::array();
  zip.OnError = [&](TComponent*, const std::string& file, const std::string& ext, const std::string&,
                    int code) {
    ++errors;
    std::string text = TZipCommon::ErrorText(code);
    if (o.json)
      errorList.push_back({{"code", code},
                           {"message", veltool::FromAnsi(text)},
                           {"file", veltool::FromAnsi(file)},
                           {"detail", veltool::FromAnsi(ext)}});
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
    zip.OnRead = [&](TComponent*, int64_t offset, int num) {
      if (o.json)
        readList.push_back({{"entry", num}, {"offset", offset}});
      else
        std::cout << num << "\t" << offset << "\n";
    };
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

  // A removable drive needs someone to change the disks (refused here, before
  // anything is written, when nobody can answer).
  veltool::PrepareDiskChanges(zip, o.archive, veltool::StdinIsTerminal(), std::cin, std::cerr);
  int result = zip.Compress();
  if (bar) std::fprintf(stdout, "\r%78s\r", "");
  if (!zip.LastException().empty()) {
    std::cerr << "veltool zip: " << zip.LastException() << "\n";
    ++errors;
  }
  if (o.json) {
    veltool::Json doc;
    doc["archive"] = veltool::FromAnsi(o.archive);
    doc["files"] = result;
    doc["workers"] = zip.Workers();
    if (o.sw == swRead) doc["entries"] = readList;
    doc["errors"] = errorList;
    if (!zip.LastException().empty()) doc["exception"] = veltool::FromAnsi(zip.LastException());
    veltool::PrintJson(doc);
  } else {
    std::cout << result << "\n";
  }
  return errors == 0 ? 0 : 1;
}

// An option that takes one of the names of `names` and stores its value in `out`.
template <typename T>
CLI::Option* AddChoice(CLI::App* cmd, const std::string& option, T& out,
                       std::vector<std::pair<std::string, T>> names, const std::string& help) {
  std::vector<std::string> keys;
  std::string text;
  for (const auto& [name, value] : names) {
    keys.push_back(name);
    text += (text.empty() ? "" : "|") + name;
  }
  return cmd
      ->add_option_function<std::string>(
          option,
          [&out, names](const std::string& v) {
            for (const auto& [name, value] : names)
              if (CLI::detail::to_lower(name) == CLI::detail::to_lower(v)) out = value;
          },
          help)
      ->check(CLI::IsMember(keys, CLI::ignore_case))
      ->option_text(text);
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(
      app, "zip", "add files to a zip archive (or refresh, move, delete, read)", [o] { return Run(*o); });
  cmd->add_option("ARCHIVE", o->archive, "the zip archive")->required();
  cmd->add_option("SPEC", o->specs, "files (folder and mask); under --switch delete: masks of entry names");
  AddChoice<TSwitch>(
      cmd, "--switch", o->sw,
      {{"add", swAdd}, {"refresh", swRefresh}, {"move", swMove}, {"delete", swDelete}, {"read", swRead}},
      "what the run does (default add)");
  AddChoice<TCompressMethod>(cmd, "--method", o->method, {{"store", cmStore}, {"deflate", cmDeflate}},
                             "compression method (default deflate)");
  AddChoice<TDeflateType>(cmd, "--level", o->level,
                          {{"S", dtDeflateS}, {"F", dtDeflateF}, {"N", dtDeflateN}, {"X", dtDeflateX}},
                          "deflate level: S(uper fast), F(ast), N(ormal, the default), X (maximum)");
  cmd->add_flag("--recurse", o->recurse, "descend into subfolders");
  AddChoice<TStoredDirNames>(cmd, "--stored-names", o->storedNames,
                             {{"none", sdNone},
                              {"absolute", sdAbsolute},
                              {"absolute-no-drive", sdAbsoluteNoDrv},
                              {"absolute-no-root", sdAbsoluteNoRoot},
                              {"relative", sdRelative},
                              {"relative-start", sdRelativeStoreStart}},
                             "how folder names are stored (default relative)");
  cmd->add_option("--exclude", o->excludes, "a mask of files to leave out (repeatable)")
      ->allow_extra_args(false);
  cmd->add_option("--password", o->password, "encrypt the entries with this password");
  cmd->add_option("--temp-dir", o->tempDir, "folder for the temporary archive");
  AddChoice<TDateAttribute>(cmd, "--date", o->date,
                            {{"file", daFileDate}, {"sys", daSysDate}, {"max", daMaxFileDate}},
                            "date of the entries: the file's, today, the newest file's (default file)");
  cmd->add_flag("--replace", o->replace, "a changed file replaces its entry");
  cmd->add_flag("--rename-dupes", o->renameDupes, "a duplicate name is stored as name_1, name_2, ...");
  cmd->add_option("--workers", o->workers,
                  "threads that deflate side by side (default 0: one per core; 1: the run's own thread only, "
                  "byte for byte the single-threaded archive)")
      ->check(CLI::Range(0, TCompBase::kMaxWorkers));
  veltool::AddJsonFlag(cmd, o->json);
  cmd->footer(
      "Prints the number of files compressed (with --json an object with the count, the workers used and the "
      "errors); errors go to stderr with the archive engine's number.");
}

}  // namespace

VELTOOL_COMMAND("zip", Setup);
