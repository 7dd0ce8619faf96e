// Fuzz target: memo files of the three formats read block by block, and one
// memo written into them.
//
// Input: one byte choosing the format (bits 0-1: dBase III .dbt, dBase IV
// .dbt, FoxPro .fpt; bit 2: also write a memo), then the memo file's bytes.
// The table beside it is made here: one memo field, a record per block
// number the file could hold, so the table layer's memo reads see every
// block too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "framework/bytes.h"
#include "framework/exceptions.h"
#include "fuzz_support.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"

namespace {

constexpr uint32_t kMaxBlocks = 256;

// A table of `version` with NAME C 8 and NOTES M 10, one record per block
// number 0..blocks-1.
std::string TableImage(uint8_t version, uint32_t blocks) {
  const uint32_t recordLength = 1 + 8 + 10;
  const uint32_t headerLength = 32 + 2 * 32 + 1 + (version == 0x30 ? 263 : 0);
  std::string out(headerLength, '\0');
  out[0] = static_cast<char>(version);
  out[1] = 26;
  out[2] = 1;
  out[3] = 1;
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = static_cast<char>(v >> (8 * i));
  };
  put32(4, blocks);
  out[8] = static_cast<char>(headerLength & 0xFF);
  out[9] = static_cast<char>(headerLength >> 8);
  out[10] = static_cast<char>(recordLength);
  if (version == 0x30) out[28] = 2;
  auto field = [&](size_t at, const char* name, char type, uint8_t width, uint32_t displacement) {
    std::memcpy(&out[at], name, std::strlen(name));
    out[at + 11] = type;
    put32(at + 12, displacement);
    out[at + 16] = static_cast<char>(width);
  };
  field(32, "NAME", 'C', 8, 1);
  field(64, "NOTES", 'M', 10, 9);
  out[96] = 0x0D;
  for (uint32_t b = 0; b < blocks; ++b) {
    char rec[32];
    std::snprintf(rec, sizeof rec, " ROW%-4u%10u", b % 10000, b);
    out.append(rec, recordLength);
  }
  out += '\x1A';
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const uint8_t kVersions[4] = {0x83, 0x8B, 0xF5, 0x30};
  const uint8_t version = kVersions[data[0] & 3];
  const bool write = (data[0] & 4) != 0;
  std::string_view memo(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool fox = version == 0xF5 || version == 0x30;
  const uint32_t blockSize = fox ? (memo.size() >= 8 ? GetBE16(reinterpret_cast<const uint8_t*>(memo.data()) + 6) : 0)
                                 : (version == 0x8B && memo.size() >= 24
                                        ? GetLE32(reinterpret_cast<const uint8_t*>(memo.data()) + 20)
                                        : 512);
  uint32_t blocks = blockSize ? static_cast<uint32_t>(memo.size() / blockSize) + 2 : 2;
  if (blocks > kMaxBlocks) blocks = kMaxBlocks;

  fuzzsupport::RemoveFile(fox ? "T.DBT" : "T.FPT");
  fuzzsupport::WriteFile("T.DBF", TableImage(version, blocks));
  fuzzsupport::WriteFile(fox ? "T.FPT" : "T.DBT", memo);
  try {
    HXO_dBaseFld t(fuzzsupport::Dos("T.DBF"), false, write);
    HXobjMemo* m = t.MemoFile();
    if (!m) return 0;
    for (uint32_t b = 0; b < blocks; ++b) {
      try {
        (void)m->MemoLength(b);
        (void)m->ReadMemo(b);
        char head[16];
        size_t n = sizeof head;
        m->GetMemo(head, b, n);
      } catch (const Exception&) {
      }
    }
    if (write) {
      // Replace the memo of record 2 with a longer text and add one to a new
      // record: both walk the free space the file claims to have.
      try {
        t.GetRecord(2);
        const std::string text(700, 'x');
        t.WriteMemo(2, text.data(), text.size());
        t.PutRecord(2);
        t.AppendRecord();
        t.WriteMemo(2, "short", 5);
        t.PutRecord(t.RecNo());
      } catch (const Exception&) {
      }
    }
  } catch (const Exception&) {
  }
  return 0;
}
