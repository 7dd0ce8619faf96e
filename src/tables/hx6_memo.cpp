#include "tables/hx6_memo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_encrxm.h"
#include "tables/hx6_tool.h"

namespace {

constexpr uint32_t kDb3BlockSize = 512;
constexpr uint8_t kMemoEnd = 0x1A;
// A dBase III memo is read up to its first 0x1A (or the end of the file), in
// steps of this many bytes.
constexpr size_t kDb3ScanStep = 65520;
// Block sizes above this are not taken from a header (real files use 512 or less).
constexpr uint32_t kMaxBlockSize = 1u << 20;
// The first read of a memo covers its block header and, for most memos, its data.
constexpr size_t kFirstRead = 4096;

}  // namespace

// ---- HXobjMemo (dBase III) --------------------------------------------------

HXobjMemo::HXobjMemo(HXO_dBaseDBF& table, const std::string& fileName) : HXobjMemo(table, fileName, 0) {}

HXobjMemo::HXobjMemo(HXO_dBaseDBF& table, const std::string& fileName, uint32_t blockHeaderSize)
    : HXO_DiskFile(fileName, table.Shared(), table.ReadWrite()),
      table_(table),
      version_(table.Version()),
      blockSize_(kDb3BlockSize),
      blockHeaderSize_(blockHeaderSize) {
  lock_.SetProtocol(table.LockProtocol());
  Open();
}

HXobjMemo::~HXobjMemo() = default;

std::string HXobjMemo::MemoFileName(const std::string& tableName, uint8_t version) {
  const char* ext = nullptr;
  switch (version) {
    case 0x30:
    case 0xF5:
      ext = ".fpt";
      break;
    case 0x83:
    case 0x8B:
      ext = ".dbt";
      break;
    default:
      return std::string();
  }
  const std::string name = ChangeFileExt(HxTrim(tableName), ext);
  // Keep the spelling of the file on disk (TABLE.FPT stays TABLE.FPT when renamed).
  const std::string folder = ExtractFilePath(name);
  const std::string file = ExtractFileName(name);
  std::vector<platform::FileInfo> entries;
  if (!folder.empty() && platform::ListDirectory(folder, entries)) {
    const platform::FileInfo* match = nullptr;
    for (const auto& e : entries) {
      if (e.attributes & platform::kAttrDirectory) continue;
      if (e.name == file) return name;
      if (!match && platform::CompareTextAscii(e.name, file) == 0) match = &e;
    }
    if (match) return folder + match->name;
  }
  return name;
}

std::unique_ptr<HXobjMemo> HXobjMemo::OpenFor(HXO_dBaseDBF& table) {
  const std::string name = MemoFileName(table.FileName(), table.Version());
  switch (table.Version()) {
    case 0x83:
      return std::make_unique<HXobjMemo>(table, name);
    case 0x8B:
      return std::make_unique<HXobjMemo4>(table, name);
    case 0x30:
    case 0xF5:
      return std::make_unique<HXobjFXMemo20>(table, name);
    default:
      return nullptr;
  }
}

bool HXobjMemo::TableEnciphered() const { return table_.Encrypted(); }

void HXobjMemo::RaiseBad() const { RaiseFileError(hxErrMemoRecordBad); }

void HXobjMemo::ReadPadded(uint64_t offset, uint8_t* buffer, size_t count) {
  const size_t n = ReadAt(offset, buffer, count);
  if (n < count) std::memset(buffer + n, 0, count - n);
}

uint64_t HXobjMemo::BlocksInFile() {
  const int64_t size = FileSize();
  return size <= 0 ? 0 : BlocksFor(static_cast<uint64_t>(size));
}

uint64_t HXobjMemo::MemoSize(uint32_t block) {
  if (block == 0) return 0;
  currentBlock_ = block;
  const uint64_t offset = uint64_t{block} * blockSize_;
  const uint64_t fileSize = static_cast<uint64_t>(FileSize());
  if (offset >= fileSize) RaiseBad();
  ReadPadded(offset, header_, sizeof header_);
  uint64_t size = 0;
  if (!CheckBlockHeader(size) || size < blockHeaderSize_) RaiseBad();
  // The data must lie inside the file (an enciphered dBase III memo carries
  // a 4-byte length in front of it).
  const uint64_t extra = blockHeaderSize_ == 0 && TableEnciphered() ? 4 : 0;
  if (offset + extra + size > fileSize) RaiseBad();
  return size;
}

uint32_t HXobjMemo::MemoLength(uint32_t block) {
  if (block == 0) return 0;
  const uint64_t length = MemoSize(block) - blockHeaderSize_;
  if (length > 0xFFFFFFFFull) RaiseBad();
  return static_cast<uint32_t>(length);
}

void HXobjMemo::GetMemo(void* buffer, uint32_t block, size_t& length) {
  if (length == 0) return;
  currentBlock_ = block;
  blocksInUse_ = 0;
  if (block == 0) {
    length = 0;
    static_cast<uint8_t*>(buffer)[0] = 0;
    return;
  }
  const uint64_t available = MemoSize(block) - blockHeaderSize_;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(length, available));
  length = count;
  const uint32_t dataOffset = blockHeaderSize_ == 0 && TableEnciphered() ? 4 : blockHeaderSize_;
  blocksInUse_ = static_cast<uint32_t>(BlocksFor(uint64_t{dataOffset} + count));
  if (count == 0) return;
  if (ReadAt(uint64_t{block} * blockSize_ + dataOffset, buffer, count) < count) RaiseBad();
  Transform(table_.ReadPassword(), buffer, buffer, count, 0);
}

std::string HXobjMemo::ReadMemo(uint32_t block) {
  currentBlock_ = block;
  blocksInUse_ = 0;
  if (block == 0) return std::string();
  // One read brings the block header and, for most memos, all of the data;
  // the file's size is only asked for when the memo claims more than that.
  const uint64_t offset = uint64_t{block} * blockSize_;
  char first[kFirstRead];
  const size_t got = ReadAt(offset, first, sizeof first);
  if (got == 0) RaiseBad();
  std::memcpy(header_, first, std::min(got, sizeof header_));
  if (got < sizeof header_) std::memset(header_ + got, 0, sizeof header_ - got);

  uint64_t dataOffset = blockHeaderSize_;
  uint64_t length = 0;
  bool known = false;
  if (blockHeaderSize_ == 0 && !TableEnciphered()) {
    // dBase III: the memo ends at its first 0x1A, or with the file. A long
    // one is read on in steps, in one pass.
    const void* end = std::memchr(first, kMemoEnd, got);
    if (end) {
      length = static_cast<const char*>(end) - first;
      known = true;
    } else {
      std::string text(first, got);
      size_t step = got;
      while (step == kFirstRead || step == kDb3ScanStep) {
        const size_t at = text.size();
        text.resize(at + kDb3ScanStep);
        step = ReadAt(offset + at, text.data() + at, kDb3ScanStep);
        text.resize(at + step);
        if (const void* stop = std::memchr(text.data() + at, kMemoEnd, step)) {
          text.resize(static_cast<const char*>(stop) - text.data());
          break;
        }
      }
      blocksInUse_ = static_cast<uint32_t>(BlocksFor(text.size()));
      return text;  // no transform: a plain table's memo is stored as it is
    }
  } else {
    uint64_t size = 0;
    if (!CheckBlockHeader(size) || size < blockHeaderSize_) RaiseBad();
    if (blockHeaderSize_ == 0) {
      dataOffset = 4;
      length = size;
    } else {
      length = size - blockHeaderSize_;
    }
    known = dataOffset + length <= got;
  }
  if (!known) {
    length = MemoSize(block) - blockHeaderSize_;  // checked against the file's size
    currentBlock_ = block;
  }
  blocksInUse_ = static_cast<uint32_t>(BlocksFor(dataOffset + length));
  std::string text(static_cast<size_t>(length), '\0');
  if (length == 0) return text;
  if (dataOffset + length <= got) {
    std::memcpy(text.data(), first + dataOffset, static_cast<size_t>(length));
  } else if (ReadAt(offset + dataOffset, text.data(), text.size()) < text.size()) {
    RaiseBad();
  }
  Transform(table_.ReadPassword(), text.data(), text.data(), text.size(), 0);
  return text;
}

uint32_t HXobjMemo::PutMemo(const void* data, uint32_t& block, size_t length) {
  if (length == 0 && block == 0) return 0;
  bool locked = false;
  if (Shared()) {
    HxLockRange range;
    if (!lock_.MemoLock(range)) {
      // The protocol has no memo lock: the wait runs out.
      WaitForLock([] { return false; });
      RaiseFileError(hxErrCannotLock);
    }
    LockRangeWithWait(*this, range.offset, range.length);
    locked = true;
  }
  try {
    const bool prefixed = blockHeaderSize_ == 0 && TableEnciphered();
    if (uint64_t{length} + 16 > 0xFFFFFFFFull) RaiseFileError(hxErrWrite);
    // An old memo that cannot be read is left where it is (its blocks are
    // not trusted for reuse) and the new one goes to a fresh place.
    uint32_t old = block;
    uint64_t oldSize = 0;
    if (old != 0) {
      try {
        oldSize = MemoSize(old) + (prefixed ? 4 : 0);
      } catch (const EKeldorError&) {
        old = 0;
      }
    }
    blocksInUse_ = static_cast<uint32_t>(BlocksFor(oldSize));
    currentBlock_ = old;

    AllocateBlocks(length);

    // The image: block header or length prefix, the data, the terminator,
    // zeros up to a block boundary.
    uint64_t needed = uint64_t{blockHeaderSize_} + length;
    if (blockHeaderSize_ == 0) needed += (prefixed ? 4 : 0) + 2;
    std::vector<uint8_t> image(static_cast<size_t>(BlocksFor(needed) * blockSize_), 0);
    size_t pos = 0;
    if (blockHeaderSize_ > 0) {
      std::memcpy(image.data(), blockHeader_, blockHeaderSize_);
      pos = blockHeaderSize_;
    } else if (prefixed) {
      PutLE32(image.data(), static_cast<uint32_t>(length));
      pos = 4;
    }
    if (length > 0) Transform(table_.WritePassword(), data, image.data() + pos, length, 1);
    PutTerminator(image.data(), pos + length);
    WriteAt(uint64_t{currentBlock_} * blockSize_, image.data(), image.size());
  } catch (...) {
    if (locked) {
      try {
        Unlock();
      } catch (...) {
      }
    }
    throw;
  }
  if (locked) Unlock();
  block = currentBlock_;
  return currentBlock_;
}

void HXobjMemo::AllocateBlocks(size_t length) {
  // The length prefix of an enciphered table and the two terminators.
  const uint64_t n = BlocksFor(uint64_t{length} + (TableEnciphered() ? 6 : 2));
  if (currentBlock_ < 1 || blocksInUse_ < n) {
    ReadPadded(0, header_, sizeof header_);
    uint64_t next = GetLE32(header_);
    // A next-free block inside the header or past the end of the file is not
    // believed: the memo goes at the end.
    const uint64_t end = std::max<uint64_t>(BlocksInFile(), 1);
    if (next < 1 || next > end) next = end;
    if (next + n > 0xFFFFFFFFull) RaiseFileError(hxErrWrite);
    PutLE32(header_, static_cast<uint32_t>(next + n));
    // Only the pointer goes back: a header read short (the file cut while
    // open) must not have its other bytes written back as zeros.
    WriteAt(0, header_, 4);
    currentBlock_ = static_cast<uint32_t>(next);
  }
  blocksInUse_ = static_cast<uint32_t>(n);
}

void HXobjMemo::FreeBlocks(uint32_t) {}

void HXobjMemo::PutTerminator(uint8_t* image, size_t position) {
  image[position] = kMemoEnd;
  image[position + 1] = kMemoEnd;
}

bool HXobjMemo::CheckBlockHeader(uint64_t& size) {
  if (TableEnciphered()) {
    size = GetLE32(header_);
    return true;
  }
  // Count the bytes up to the first 0x1A. A memo has no length of its own:
  // without a terminator it ends with the file, which bounds the scan.
  const uint64_t start = uint64_t{currentBlock_} * blockSize_;
  std::vector<uint8_t> chunk(kDb3ScanStep);
  uint64_t count = 0;
  for (;;) {
    const size_t got = ReadAt(start + count, chunk.data(), chunk.size());
    if (got == 0) break;
    const void* end = std::memchr(chunk.data(), kMemoEnd, got);
    if (end) {
      count += static_cast<const uint8_t*>(end) - chunk.data();
      break;
    }
    count += got;
    if (got < chunk.size()) break;
  }
  size = count;
  return true;
}

void HXobjMemo::SetLockProtocol(uint8_t protocol) { lock_.SetProtocol(protocol); }

void HXobjMemo::WriteTableName(const std::string& tableName) {
  ReadPadded(0, header_, sizeof header_);
  std::memset(header_ + 8, 0, 9);
  std::memcpy(header_ + 8, tableName.data(), std::min<size_t>(tableName.size(), 8));
  WriteAt(0, header_, sizeof header_);
}

void HXobjMemo::RenameWithTable(const std::string& newTableName) {
  RenameTo(ChangeFileExt(HxTrim(newTableName), ExtractFileExt(FileName())));
  if (ReadWrite()) WriteTableName(BaseFileName(newTableName));
}

// ---- HXobjMemo4 (dBase IV) --------------------------------------------------

HXobjMemo4::HXobjMemo4(HXO_dBaseDBF& table, const std::string& fileName) : HXobjMemo(table, fileName, 8) {
  ReadPadded(0, header_, sizeof header_);
  const uint32_t size = GetLE32(header_ + 20);
  // Chunk headers (32 bytes) are written at block starts: smaller blocks
  // would overwrite their neighbours.
  if (size < 32 || size > kMaxBlockSize) RaiseBad();
  blockSize_ = size;
  const int64_t fileSize = FileSize();
  if (fileSize < static_cast<int64_t>(blockSize_) && ReadWrite()) {
    std::vector<uint8_t> block(blockSize_, 0);
    const size_t keep = static_cast<size_t>(std::max<int64_t>(fileSize, 0));
    if (keep > 0) ReadPadded(0, block.data(), keep);
    WriteAt(0, block.data(), block.size());
  }
}

void HXobjMemo4::AllocateBlocks(size_t length) {
  const uint64_t n = BlocksFor(uint64_t{length} + 8);
  if (currentBlock_ > 0) FreeBlocks(currentBlock_);

  ReadPadded(0, header_, sizeof header_);
  uint64_t blocks = BlocksInFile();
  if (blocks == 0) {
    blocks = 1;
    WriteAt(0, header_, sizeof header_);
  }
  uint64_t cur = GetLE32(header_);
  uint64_t prev = 0;
  uint64_t next = 0;
  bool found = false;
  // First fit. A list that loops, or a chunk that is empty or reaches past
  // the end of the file, ends the walk: the memo then goes at the end.
  uint64_t steps = 0;
  while (cur >= 1 && cur < blocks && steps++ < blocks) {
    uint8_t chunk[8];
    ReadPadded(cur * blockSize_, chunk, sizeof chunk);
    const uint64_t chunkNext = GetLE32(chunk);
    const uint64_t chunkLength = GetLE32(chunk + 4);
    if (chunkLength == 0 || cur + chunkLength > blocks) break;
    if (chunkLength < n) {
      prev = cur;
      cur = chunkNext;
      continue;
    }
    next = chunkNext;
    if (chunkLength > n) {
      // The rest stays free, as a chunk of its own.
      uint8_t rest[8];
      PutLE32(rest, static_cast<uint32_t>(chunkNext));
      PutLE32(rest + 4, static_cast<uint32_t>(chunkLength - n));
      WriteAt((cur + n) * blockSize_, rest, sizeof rest);
      next = cur + n;
    }
    found = true;
    break;
  }
  if (!found) {
    cur = blocks;
    next = cur + n;
  }
  if (next > 0xFFFFFFFFull) RaiseFileError(hxErrWrite);
  uint8_t link[32];
  ReadPadded(prev * blockSize_, link, sizeof link);
  PutLE32(link, static_cast<uint32_t>(next));
  WriteAt(prev * blockSize_, link, 4);  // the pointer alone (the header's block size follows it)
  if (prev == 0) std::memcpy(header_, link, sizeof link);

  currentBlock_ = static_cast<uint32_t>(cur);
  blocksInUse_ = static_cast<uint32_t>(n);
  blockHeader_[0] = 0xFF;
  blockHeader_[1] = 0xFF;
  PutLE16(blockHeader_ + 2, 8);
  PutLE32(blockHeader_ + 4, static_cast<uint32_t>(length + 8));
}

void HXobjMemo4::FreeBlocks(uint32_t block) {
  uint8_t memo[8];
  ReadPadded(uint64_t{block} * blockSize_, memo, sizeof memo);
  const uint64_t chunkLength = BlocksFor(GetLE32(memo + 4));
  ReadPadded(0, header_, sizeof header_);
  uint8_t chunk[32];
  std::memcpy(chunk, header_, sizeof chunk);  // bytes 8-31 as the file header has them
  PutLE32(chunk, GetLE32(header_));
  PutLE32(chunk + 4, static_cast<uint32_t>(chunkLength));
  WriteAt(uint64_t{block} * blockSize_, chunk, sizeof chunk);
  PutLE32(header_, block);
  PutLE32(header_ + 4, 0);
  WriteAt(0, header_, 8);
}

void HXobjMemo4::PutTerminator(uint8_t*, size_t) {}

bool HXobjMemo4::CheckBlockHeader(uint64_t& size) {
  if (header_[0] != 0xFF || header_[1] != 0xFF) return false;
  size = GetLE32(header_ + 4);
  return true;
}

// ---- HXobjFXMemo20 (FoxPro) -------------------------------------------------

HXobjFXMemo20::HXobjFXMemo20(HXO_dBaseDBF& table, const std::string& fileName)
    : HXobjMemo(table, fileName, 8) {
  ReadPadded(0, header_, sizeof header_);
  const uint32_t size = GetBE16(header_ + 6);
  if (size == 0) RaiseBad();
  blockSize_ = size;
}

void HXobjFXMemo20::AllocateBlocks(size_t length) {
  const uint64_t n = BlocksFor(uint64_t{length} + 8);
  if (currentBlock_ < 1 || blocksInUse_ < n) {
    ReadPadded(0, header_, 8);
    uint64_t next = GetBE32(header_);
    // The 512-byte file header is never overwritten, and a next-free block
    // past the end of the file is not believed.
    const uint64_t first = BlocksFor(512);
    const uint64_t end = std::max(BlocksInFile(), first);
    if (next < first || next > end) next = end;
    if (next + n > 0xFFFFFFFFull) RaiseFileError(hxErrWrite);
    PutBE32(header_, static_cast<uint32_t>(next + n));
    WriteAt(0, header_, 4);  // never the block size: a short read left it zero
    currentBlock_ = static_cast<uint32_t>(next);
  }
  blocksInUse_ = static_cast<uint32_t>(n);
  PutBE32(blockHeader_, 1);
  PutBE32(blockHeader_ + 4, static_cast<uint32_t>(length));
}

void HXobjFXMemo20::PutTerminator(uint8_t*, size_t) {}

bool HXobjFXMemo20::CheckBlockHeader(uint64_t& size) {
  const uint32_t type = GetBE32(header_);
  if (type != 0 && type != 1) return false;
  size = uint64_t{GetBE32(header_ + 4)} + 8;
  return true;
}

void HXobjFXMemo20::RenameWithTable(const std::string& newTableName) {
  RenameTo(ChangeFileExt(HxTrim(newTableName), ExtractFileExt(FileName())));
}
