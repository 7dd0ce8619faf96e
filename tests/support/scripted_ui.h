// A message-box handler for tests: records every box instead of showing it
// and answers with `answer`.
#pragma once

#include <string>
#include <vector>

#include "framework/application.h"

struct ScriptedUi : UiHandler {
  struct Box {
    std::string text, caption;
    unsigned flags;
  };
  int answer = IDOK;
  std::vector<Box> boxes;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    boxes.push_back({text, caption, flags});
    return answer;
  }
};
