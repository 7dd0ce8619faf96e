#include "restructure/VelBackup.h"

#include <zlib.h>

#include <algorithm>
#include <map>

#include "archive/zarvoStreams.h"
#include "framework/bytes.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

constexpr size_t kPiece = 65536;
constexpr uint32_t kLocalSignature = 0x04034B50;

std::string Reason() { return platform::ErrorText(platform::LastError()); }

// Folder with exactly one trailing backslash.
std::string WithBackslash(const std::string& folder) {
  return !folder.empty() && folder.back() == '\\' ? folder : folder + "\\";
}

// A name a backup entry may carry: a plain file name, no folder, no drive.
bool PlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("\\/:") == std::string::npos;
}

// Deletes a temporary file unless it was put in place.
struct TempFile {
  std::string path;
  ~TempFile() {
    if (!path.empty()) platform::DeleteFile(path);
  }
};

}  // namespace

// ---- TBackupArchive ----

TBackupArchive::TBackupArchive(const std::string& archivePath) : path_(archivePath) {
  file_ = std::make_unique<TFileStream32>(path_, fmOpenRead | fmShareDenyWrite);
  if (!file_->Valid()) throw EVelBackupError("Cannot open the backup archive " + path_ + ": " + Reason());
  size_ = file_->Size();
  TZipFormat fmt;
  fmt.ArchiveName = path_;
  std::string firstReport;
  fmt.ReportError = [&](const std::string& name, const std::string& ext, int) {
    if (firstReport.empty()) firstReport = name + (ext.empty() ? "" : " (" + ext + ")");
  };
  fmt.ReadArchive(*file_, list_);
  if (!list_.EndRecordFound && list_.Count() == 0)
    throw EVelBackupError("The backup archive " + path_ + " is not a zip archive");
  if (list_.Damaged)
    throw EVelBackupError("The backup archive " + path_ + " is damaged (" + list_.DamageReason + ")");
  if (!firstReport.empty())
    throw EVelBackupError("The backup archive " + path_ + " is damaged (" + firstReport + ")");
}

TBackupArchive::~TBackupArchive() = default;

uint32_t TBackupArchive::Extract(int i, const std::function<void(const uint8_t*, size_t)>& sink) {
  const THeaderEntry& e = list_[i];
  const std::string what = "Entry " + e.Name + " of the backup archive " + path_;
  if ((e.Flags() & 1) != 0 || e.Rec.HeaderCipher) throw EVelBackupError(what + " is encrypted");
  const uint16_t method = e.Method();
  if (method != 0 && method != 8)
    throw EVelBackupError(what + " uses compression method " + std::to_string(method));

  uint8_t local[30];
  const uint64_t at = e.Rec.LocalOffset;
  if (file_->ReadAt(at, local, sizeof local) != static_cast<int64_t>(sizeof local) ||
      GetLE32(local) != kLocalSignature)
    throw EVelBackupError(what + " is damaged (no local header where the directory says)");
  const uint64_t dataAt = at + 30 + GetLE16(local + 26) + GetLE16(local + 28);
  const uint64_t packed = e.PackedSize();
  const uint64_t expected = e.UnpackedSize();
  if (dataAt > static_cast<uint64_t>(size_) || packed > static_cast<uint64_t>(size_) - dataAt)
    throw EVelBackupError(what + " is damaged (its data runs past the end of the archive)");
  if (method == 0 && packed != expected)
    throw EVelBackupError(what + " is damaged (a stored entry whose sizes differ)");

  std::vector<uint8_t> in(kPiece), out(kPiece);
  uint32_t crc = crc32(0L, Z_NULL, 0);
  uint64_t produced = 0;
  auto emit = [&](const uint8_t* data, size_t count) {
    if (count == 0) return;
    produced += count;
    if (produced > expected) throw EVelBackupError(what + " is damaged (more data than its header says)");
    crc = crc32(crc, data, static_cast<uInt>(count));
    if (sink) sink(data, count);
  };

  z_stream z{};
  if (method == 8 && inflateInit2(&z, -MAX_WBITS) != Z_OK)
    throw EVelBackupError("zlib cannot set itself up to inflate " + what);
  struct Ender {
    z_stream* z;
    bool on;
    ~Ender() {
      if (on) inflateEnd(z);
    }
  } ender{&z, method == 8};

  bool ended = method == 0;
  uint64_t offset = dataAt;
  uint64_t left = packed;
  while (left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kPiece));
    if (file_->ReadAt(offset, in.data(), want) != static_cast<int64_t>(want))
      throw EVelBackupError("Cannot read " + what + ": " + Reason());
    offset += want;
    left -= want;
    if (method == 0) {
      emit(in.data(), want);
      continue;
    }
    if (ended) throw EVelBackupError(what + " is damaged (data after the end of its deflate stream)");
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(want);
    for (;;) {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      const int rc = inflate(&z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
        throw EVelBackupError(what + " is damaged (" + (z.msg ? z.msg : "inflate failed") + ")");
      emit(out.data(), out.size() - z.avail_out);
      if (rc == Z_STREAM_END) {
        ended = true;
        break;
      }
      // Z_BUF_ERROR: no progress without more input. Otherwise zlib may still
      // hold output when it filled the buffer.
      if (rc == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out != 0)) break;
    }
    if (ended && z.avail_in != 0)
      throw EVelBackupError(what + " is damaged (data after the end of its deflate stream)");
  }
  if (!ended) throw EVelBackupError(what + " is damaged (its deflate stream is cut short)");
  if (produced != expected) throw EVelBackupError(what + " is damaged (less data than its header says)");
  if (crc != e.Crc32()) throw EVelBackupError(what + " is damaged (its CRC-32 does not match)");
  return crc;
}

// ---- checks ----

bool FileCrc32(const std::string& dosPath, uint32_t& crc, uint64_t& size) {
  auto f = platform::File::Open(dosPath, platform::Access::Read, platform::Share::Shared);
  if (!f) return false;
  std::vector<uint8_t> buf(kPiece);
  crc = crc32(0L, Z_NULL, 0);
  size = 0;
  for (;;) {
    const int64_t n = f->ReadAt(size, buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) return true;
    crc = crc32(crc, buf.data(), static_cast<uInt>(n));
    size += static_cast<uint64_t>(n);
  }
}

TBackupCheck VerifyBackup(const std::string& archivePath, const std::vector<std::string>& files) {
  TBackupCheck check;
  std::unique_ptr<TBackupArchive> archive;
  try {
    archive = std::make_unique<TBackupArchive>(archivePath);
  } catch (const EVelBackupError& e) {
    check.problems.push_back(e.what());
    return check;
  }
  // Repeats (a table the dictionary names twice) are checked once.
  std::map<std::string, std::string> distinct;
  for (const std::string& path : files) {
    const size_t slash = path.find_last_of('\\');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    distinct.emplace(platform::AnsiUpperCase(name), path);
  }
  for (const auto& [key, path] : distinct) {
    const size_t slash = path.find_last_of('\\');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int i = archive->Find(name);
    if (i < 0) {
      check.problems.push_back(path + " is not in the backup archive " + archivePath);
      continue;
    }
    uint32_t diskCrc = 0;
    uint64_t diskSize = 0;
    if (!FileCrc32(path, diskCrc, diskSize)) {
      check.problems.push_back("Cannot read " + path + ": " + Reason());
      continue;
    }
    try {
      const uint32_t crc = archive->Extract(i, {});
      if (crc != diskCrc || archive->Entry(i).UnpackedSize() != diskSize) {
        check.problems.push_back("The backup of " + path + " in " + archivePath +
                                 " differs from the file on disk");
        continue;
      }
    } catch (const EVelBackupError& e) {
      check.problems.push_back(e.what());
      continue;
    }
    ++check.verified;
  }
  check.complete = check.problems.empty();
  return check;
}

// ---- restore ----

int RestoreBackup(const std::string& archivePath, const std::string& folder,
                  const std::function<void(const std::string&, uint64_t)>& restored) {
  TBackupArchive archive(archivePath);
  const std::string dir = WithBackslash(folder);
  if (!platform::DirectoryExists(folder))
    throw EVelBackupError("The data folder " + folder + " does not exist");
  // Every name is checked before anything is written.
  for (int i = 0; i < archive.Count(); ++i) {
    const THeaderEntry& e = archive.Entry(i);
    if (!e.NameExact || !PlainFileName(e.Name))
      throw EVelBackupError("The backup archive " + archivePath + " holds the entry " + e.Name +
                            ", which names a folder; nothing was restored");
  }
  int count = 0;
  for (int i = 0; i < archive.Count(); ++i) {
    const THeaderEntry& e = archive.Entry(i);
    if ((e.ExternalAttributes() & platform::kAttrDirectory) != 0) continue;
    const std::string target = dir + e.Name;
    TempFile temp{platform::GetTempFileName(folder, "vel")};
    if (temp.path.empty())
      throw EVelBackupError("Cannot create a temporary file in " + folder + ": " + Reason());
    auto out = platform::File::Open(temp.path, platform::Access::ReadWrite, platform::Share::Exclusive);
    if (!out) throw EVelBackupError("Cannot write " + temp.path + ": " + Reason());
    uint64_t written = 0;
    archive.Extract(i, [&](const uint8_t* data, size_t n) {
      if (out->WriteAt(written, data, n) != static_cast<int64_t>(n))
        throw EVelBackupError("Cannot write " + temp.path + ": " + Reason());
      written += n;
    });
    if (!out->Flush()) throw EVelBackupError("Cannot write " + temp.path + ": " + Reason());
    out.reset();
    if (const uint32_t dos = e.DosDateTime(); dos != 0)
      platform::SetFileModifiedTime(temp.path, platform::DosDateTimeToUnix(dos));
    if (!platform::MoveFileReplace(temp.path, target))
      throw EVelBackupError("Cannot put " + target + " back: " + Reason());
    temp.path.clear();
    ++count;
    if (restored) restored(e.Name, written);
  }
  return count;
}
