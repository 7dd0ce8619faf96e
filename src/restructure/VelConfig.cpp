// Where VelUpdate's INI file is found and what data folder it names, for the
// programs that run without the window.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "framework/sysutils.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "restructure/VelRun.h"

std::string FindVelUpdateIni(const std::string& programFolder) {
  const std::string name = "VelUpdate.INI";
  const std::string beside =
      programFolder + (programFolder.empty() || programFolder.back() == '\\' ? "" : "\\") + name;
  if (platform::FileExists(beside)) return beside;
  // An installed program keeps its settings where a desktop program does.
  std::vector<std::string> folders;
  const char* home = std::getenv("HOME");
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
    folders.push_back(config);
  else if (home && home[0] == '/')
    folders.push_back(std::string(home) + "/.config");
  const char* dirs = std::getenv("XDG_CONFIG_DIRS");
  const std::string system = dirs && *dirs ? dirs : "/etc/xdg";
  for (size_t start = 0; start <= system.size();) {
    const size_t end = std::min(system.find(':', start), system.size());
    if (end > start && system[start] == '/') folders.push_back(system.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& folder : folders) {
    const std::string dos = platform::ToDosPath(folder + "/velupdate");
    if (!dos.empty() && platform::FileExists(dos + "\\" + name)) return dos + "\\" + name;
  }
  return beside;
}

std::string DataFolderFromIni(const std::string& iniPath) {
  platform::IniFile ini(iniPath);
  return Format("%s:%s",
                {ini.ReadString("Database", "Drive", "C"), ini.ReadString("Database", "Path", "\\Velmora")});
}
