// Fuzz target: file masks compiled and matched. Besides not crashing, the
// answers must keep the masks' promises: a mask matches a name the same way
// every time, a one-off match agrees with the compiled mask, and when one
// mask claims to be covered by another, every name the first accepts the
// second accepts too.
//
// Input: lines; the first two are masks, the rest names (a mask string of
// several masks separated by "," is split as the scanner splits it).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zarvoFileScan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  while (!all.empty() && lines.size() < 64) {
    size_t at = all.find('\n');
    lines.push_back(all.substr(0, at));
    all = at == std::string_view::npos ? std::string_view() : all.substr(at + 1);
  }
  if (lines.size() < 2) return 0;
  TInternalMask a(lines[0]), b(lines[1]);
  const bool aInB = a.CoveredBy(b);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view name = lines[i];
    const bool ma = a.Matches(name);
    if (ma != a.Matches(name)) std::abort();
    if (ma != MaskMatches(lines[0], name)) std::abort();
    if (aInB && ma && !b.Matches(name)) std::abort();  // "covered" but not matched by the wider mask
  }
  for (const std::string& m : SplitMaskString(lines[0])) {
    TInternalMask part(m);
    (void)part.CoveredBy(a);
    for (size_t i = 2; i < lines.size(); ++i) (void)part.Matches(lines[i]);
  }
  return 0;
}
