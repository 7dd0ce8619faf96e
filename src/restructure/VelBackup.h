// The backup archive read back: every entry inflated through zlib and its
// CRC-32 checked, against its header and against the file it was made from,
// before any table is touched; and a backup put back into a data folder.
//
// An archive is untrusted input like any other file: its directory comes
// from the archive engine's reader (which checks every offset and length),
// each entry's local header must sit where the directory says, and its data
// must end inside the file. Entries are streamed in 64 KiB pieces, so memory
// stays flat whatever the size of the tables.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/zarvoHeaders.h"
#include "framework/exceptions.h"

class TFileStream32;

// A backup that cannot be read, checked or put back. The message names the
// archive or the file concerned.
class EVelBackupError : public Exception {
 public:
  using Exception::Exception;
};

// A zip archive opened for reading back its entries.
class TBackupArchive {
 public:
  // Reads the directory; raises EVelBackupError when the archive cannot be
  // opened, is no zip archive or is damaged.
  explicit TBackupArchive(const std::string& archivePath);
  ~TBackupArchive();

  const std::string& Path() const { return path_; }
  int Count() const { return list_.Count(); }
  const THeaderEntry& Entry(int i) const { return list_[i]; }
  // The entry stored under `name` (letter case ignored); -1 when none.
  int Find(const std::string& name) const { return list_.IndexOfName(name); }

  // Inflates entry i and hands its bytes to `sink` piece by piece; returns
  // the CRC-32 of those bytes. Raises EVelBackupError when the entry is
  // encrypted, uses another method, is damaged, or its size or CRC-32 differs
  // from its header.
  uint32_t Extract(int i, const std::function<void(const uint8_t* data, size_t count)>& sink);

 private:
  std::string path_;
  std::unique_ptr<TFileStream32> file_;
  int64_t size_ = 0;
  TCompHeaderObj list_;
};

// CRC-32 and size of a file on disk; false when it cannot be read.
bool FileCrc32(const std::string& dosPath, uint32_t& crc, uint64_t& size);

// What reading a backup back found.
struct TBackupCheck {
  // Every file was found in the archive, and its entry inflated to exactly
  // the bytes of the file on disk.
  bool complete = false;
  int verified = 0;
  // One sentence per fault, naming the file.
  std::vector<std::string> problems;
};

// Checks that each of `files` (full DOS paths; repeats count once) has an
// entry of its name in `archivePath` that inflates to the file's bytes.
TBackupCheck VerifyBackup(const std::string& archivePath, const std::vector<std::string>& files);

// Puts the files of a backup back into `folder`: each entry is inflated into
// a temporary file in the folder, checked against its CRC-32, flushed to disk
// and only then put in place of the file of its name, in one step, so a file
// is at every moment either the old one or the restored one. `restored` is
// told each file once it is in place. Entry names with a folder part are
// refused before anything is written. Returns the number of files restored.
int RestoreBackup(const std::string& archivePath, const std::string& folder,
                  const std::function<void(const std::string& name, uint64_t size)>& restored = {});
