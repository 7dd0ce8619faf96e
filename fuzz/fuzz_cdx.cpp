// Fuzz target: a CDX compound index opened beside a fixed table, every tag
// walked both ways, searched and range-limited, the file checked; on inputs
// of odd length the table is then changed through the index as the table
// handler does (a key changed, a record appended), so maintenance of a
// damaged tree is fuzzed too.
//
// Input: the index file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "fuzz_support.h"
#include "index_support.h"
#include "index/hx6_cdx.h"
#include "index/hx6_indx.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_disk.h"
#include "tables/hx6_tool.h"

using fuzzindex::IndexedTable;
using fuzzindex::TableImage;
using fuzzindex::WalkTag;


extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LockWaitPolicy() = {1, 0};  // nobody else holds a lock here
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::WriteFile("T.DBF", TableImage());
  fuzzsupport::WriteFile("T.CDX", std::string_view(reinterpret_cast<const char*>(data), size));
  const bool change = (size & 1) != 0;
  try {
    IndexedTable t(fuzzsupport::Dos("T.DBF"), false, change);
    t.index = HxOpenIndexFile(&t, fuzzsupport::Dos("T.CDX"));
    for (int i = 0; i < t.index->TagCount(); ++i) {
      try {
        WalkTag(*t.index->Tags(i));
      } catch (const Exception&) {
      }
    }
    try {
      (void)HxCheckIndexFile(*t.index);
    } catch (const Exception&) {
    }
    if (change) fuzzindex::ChangeThroughIndex(t);
  } catch (const Exception&) {
  }
  return 0;
}
