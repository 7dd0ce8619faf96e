// Engine-wide state of the table engine: the list of open files and the
// start and end of the engine.
#pragma once

#include <functional>

#include "tables/hx6_disk.h"
#include "tables/hx6_tool.h"

// Every open HXO_DiskFile, in the order opened. The list only refers to the
// files: disposing of an entry does nothing.
class HXobjFileColl : public ThxCollection<HXO_DiskFile> {
 public:
  ~HXobjFileColl() override { Clear(); }

 protected:
  void DisposeItem(HXO_DiskFile*) override {}
};

// The engine's file list; made on first use when the engine was not started
// explicitly, so a file opened early is still tracked.
HXobjFileColl& FileColl();
// The list when it exists, else nullptr (never creates it).
HXobjFileColl* FileCollIfAny();

// Starts the engine: creates the file list and runs the start hooks (other
// units put their global state there, e.g. the date converter and the
// expression registries). Counted: only the first call does the work.
void HxEngineStart();
// Ends the engine (the last of the counted calls): runs the end hooks in
// reverse order, then every file still open has its held range unlocked and
// its handle closed, and the list is freed.
void HxEngineEnd();
bool HxEngineStarted();

// Registers global state made at engine start and freed at its end. When the
// engine is already running, `start` runs at once.
void AddEngineHook(std::function<void()> start, std::function<void()> end);
