// Fuzz target: the profile (INI) file reader. The file is read, the
// program's own keys and a few sections are looked up; answers are checked
// for the reader's promises (a missing key gives the default; keys of a
// section exist in it).
//
// Input: the INI file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "framework/exceptions.h"
#include "fuzz_support.h"
#include "platform/system.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::WriteFile("V.INI", std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    platform::IniFile ini(fuzzsupport::Dos("V.INI"));
    (void)ini.ReadString("Database", "Drive", "C");
    (void)ini.ReadString("Database", "Path", "\\Velmora");
    (void)ini.ReadInteger("Database", "Drive", 7);
    if (ini.ReadString("No such section \x01", "k", "dflt") != "dflt") std::abort();
    for (const char* section : {"Database", "Alias", "", "database"}) {
      (void)ini.SectionExists(section);
      for (const std::string& key : ini.ReadSection(section)) {
        // A key the section lists is found, whatever its value.
        const std::string a = ini.ReadString(section, key, "\x02");
        const std::string b = ini.ReadString(section, key, "\x03");
        if (a != b) std::abort();
      }
      (void)ini.ReadSectionValues(section);
    }
  } catch (const Exception&) {
  }
  return 0;
}
