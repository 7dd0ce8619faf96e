#include "tables/hx6_glbl.h"

#include <memory>
#include <utility>
#include <vector>

namespace {

struct EngineState {
  std::unique_ptr<HXobjFileColl> files;
  int startCount = 0;
  std::vector<std::pair<std::function<void()>, std::function<void()>>> hooks;
};

EngineState& State() {
  static EngineState state;
  return state;
}

}  // namespace

HXobjFileColl& FileColl() {
  auto& s = State();
  if (!s.files) s.files = std::make_unique<HXobjFileColl>();
  return *s.files;
}

HXobjFileColl* FileCollIfAny() { return State().files.get(); }

void HxEngineStart() {
  auto& s = State();
  if (s.startCount++ > 0) return;
  FileColl();
  for (auto& h : s.hooks)
    if (h.first) h.first();
}

void HxEngineEnd() {
  auto& s = State();
  if (s.startCount == 0) return;
  if (--s.startCount > 0) return;
  for (auto it = s.hooks.rbegin(); it != s.hooks.rend(); ++it)
    if (it->second) it->second();
  if (s.files) {
    // Release from the last opened; ReleaseAtEngineEnd takes the file out of the list.
    while (s.files->Count() > 0) {
      HXO_DiskFile* f = s.files->Last();
      f->ReleaseAtEngineEnd();
      s.files->Extract(f);
    }
    s.files.reset();
  }
}

bool HxEngineStarted() { return State().startCount > 0; }

void AddEngineHook(std::function<void()> start, std::function<void()> end) {
  auto& s = State();
  if (s.startCount > 0 && start) start();
  s.hooks.emplace_back(std::move(start), std::move(end));
}
