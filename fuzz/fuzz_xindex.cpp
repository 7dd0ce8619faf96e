// Fuzz target: an NDX, NTX or MDX index file opened beside the fixed table
// of the CDX target, every tag walked both ways, searched and range-limited,
// the file checked; on inputs of odd length the table is then changed
// through the index, so maintenance of a damaged tree is fuzzed too.
//
// Input: one byte choosing the kind (0 NDX, 1 NTX, 2 MDX; taken modulo 3),
// then the index file's bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "framework/exceptions.h"
#include "fuzz_support.h"
#include "index/hx6_indx.h"
#include "index_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LockWaitPolicy() = {1, 0};  // nobody else holds a lock here
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kNames[] = {"T.NDX", "T.NTX", "T.MDX"};
  const std::string name = kNames[data[0] % 3];
  fuzzsupport::WriteFile("T.DBF", fuzzindex::TableImage());
  fuzzsupport::WriteFile(name, std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  const bool change = (size & 1) != 0;
  try {
    fuzzindex::IndexedTable t(fuzzsupport::Dos("T.DBF"), false, change);
    t.index = HxOpenIndexFile(&t, fuzzsupport::Dos(name));
    for (int i = 0; i < t.index->TagCount(); ++i) {
      try {
        fuzzindex::WalkTag(*t.index->Tags(i));
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
