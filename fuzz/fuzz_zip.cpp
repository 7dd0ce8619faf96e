// Fuzz target: an existing archive as the compress run sees it. The archive
// is walked (swRead), a new file is added to it (every old entry copied into
// the new archive) and, on inputs of odd length, entries are deleted from
// it. A run either refuses the archive with its error and leaves it byte for
// byte, or writes an archive that the run itself then reads back without
// complaint; no temporary file survives a run.
//
// Input: the archive's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "archive/zarvoZip.h"
#include "framework/exceptions.h"
#include "fuzz_support.h"

namespace {

std::string ReadBack(const std::string& name) {
  std::ifstream f(fuzzsupport::Host(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

bool TempFilesLeft() {
  for (const auto& e : std::filesystem::directory_iterator(fuzzsupport::Root())) {
    const std::string name = e.path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) return true;
  }
  return false;
}

struct Run {
  int errors = 0;
  int entries = 0;
  int result = 0;
};

Run Compress(TSwitch sw, const std::string& spec) {
  Run run;
  TZip zip;
  zip.SetArchiveFile(fuzzsupport::Dos("A.ZIP"));
  zip.SetTempDir(fuzzsupport::Dos(""));
  zip.SetSwitch(sw);
  if (!spec.empty()) zip.FileSpec().Add(spec);
  zip.OnError = [&](TComponent*, const std::string&, const std::string&, const std::string&, int) { ++run.errors; };
  zip.OnRead = [&](TComponent*, int64_t, int) { ++run.entries; };
  zip.OnReplaceFile = [](TComponent*, const std::string&, const std::string&, uint32_t, uint32_t, int64_t,
                         int64_t, uint32_t, uint32_t, bool& replace) { replace = true; };
  zip.OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& rename) { rename = false; };
  try {
    run.result = zip.Compress();
  } catch (const Exception&) {
    ++run.errors;
  }
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::filesystem::create_directories(fuzzsupport::Host("src"));
  fuzzsupport::WriteFile("src/NEW.TXT", "A new file for the archive, added to what it holds.\r\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string original(reinterpret_cast<const char*>(data), size);
  fuzzsupport::WriteFile("A.ZIP", original);

  Compress(swRead, "");
  if (ReadBack("A.ZIP") != original) std::abort();  // reading changed the archive

  Run add = Compress(swAdd, fuzzsupport::Dos("src\\NEW.TXT"));
  if (add.result == 0 && ReadBack("A.ZIP") != original && !original.empty()) {
    // A run that compressed nothing must leave the archive as it was, unless
    // it only dropped entries it could not keep (then it says so).
    if (add.errors == 0) std::abort();
  }
  if (add.result > 0) {
    Run check = Compress(swRead, "");
    if (check.errors != 0) std::abort();  // our own archive refused by our own reader
  }
  if (size & 1) {
    fuzzsupport::WriteFile("A.ZIP", original);
    Compress(swDelete, "*.T*");
  }
  if (TempFilesLeft()) std::abort();
  return 0;
}
