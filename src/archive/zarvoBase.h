// The archive component base and its compress run.
//
// TZipCommon carries what every archiver shares: the events, the file masks
// and attributes, error reporting, progress arithmetic, the elapsed-time timer
// and the volume checker. TCompBase adds the compress run itself (volume
// check, merge with an existing archive, per-file store or deflate, the
// central directory, replacing the archive); the format-specific steps are
// virtual and TZip (zarvoZip) fills them in.
//
// A run is driven from the caller's thread, which alone touches the output,
// the entry list and the events. With more than one worker, the deflating of
// files is handed to worker threads (zarvoParallel) that run ahead of the
// entry loop; the loop writes their pieces in order.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/zarvoFileIo.h"
#include "archive/zarvoFileScan.h"
#include "archive/zarvoGbls.h"
#include "archive/zarvoParallel.h"
#include "archive/zarvoSpan.h"
#include "archive/zarvoStreams.h"
#include "archive/zarvoregister.h"
#include "framework/classes.h"

enum TSwitch { swAdd, swRefresh, swMove, swDelete, swRead };
enum TCompressMethod {
  cmStore,
  cmDeflate,
  cmFuse,
  cmFrozen5,
  cmFrozen6,
  cmMsZip,
  cmLzx,
  cmQuantum,
  cmUUEncode,
  cmXXEncode,
  cmBase64,
  cmTarred,
  cmTarGzip
};
enum TCompressionMethod { cmInMemory, cmTempFile };
enum TStoredDirNames {
  sdNone,
  sdAbsolute,
  sdAbsoluteNoDrv,
  sdAbsoluteNoRoot,
  sdRelative,
  sdRelativeStoreStart,
  sdExplorer_Auto,
  sdExplorer_UserDefineDefaultDir
};
enum TDateAttribute { daFileDate, daSysDate, daMaxFileDate };
enum TDeleteOptions { doFinal, doAllowUndo };

// Entry actions of a run.
enum : uint8_t { kActCompress = 0, kActCopy = 1, kActDrop = 2, kActCopyRenamed = 3 };

// One entry of a run: an entry of the old archive or a file found by the scan.
struct TZipEntry {
  std::string name;        // stored name; a new file's full path until compressed
  std::string storedName;  // a found file's stored name
  std::string rawName;     // the name as the headers hold it (old entries; new ones once written)
  // False when an old entry's name has no exact ANSI form (a UTF-8 name with
  // characters outside CP1252): it never stands for a file on disk.
  bool nameExact = true;
  uint8_t action = kActCopy;
  uint64_t localOffset = 0;  // local header in the old archive, then in the output
  uint32_t unpackedHi = 0;   // high 32 bits of the sizes; the central record holds the low ones
  uint32_t packedHi = 0;
  bool headerCipher = false;
  std::string comment;
  std::vector<uint8_t> extra;  // central extra bytes, without Zip64 and 0x0064 blocks
  std::array<uint8_t, 46> central{};
  // Sizes and offset the directory record puts into its Zip64 block even
  // when they fit (kZip64Unpacked, kZip64Packed, kZip64Offset).
  uint8_t zip64Mask = 0;
  // Bytes from the local header to the end of the data and any data
  // descriptor: in the old archive, then in the output.
  uint64_t span = 0;
  // The local header carries the old 0x0064 block; copying writes it anew.
  bool localRewrite = false;
  int rootLen = 0;  // length of the root folder prefix of a found file's path
  // An entry of the old archive keeps itself as read, so a cancelled run or
  // a failed replacement can fall back to it.
  bool fromOld = false;
  std::shared_ptr<const TZipEntry> original;
  bool replaced = false;   // dropped because a newer file replaces it
  int replacesIndex = -1;  // a new file's old entry that it replaces

  uint16_t Flags() const { return static_cast<uint16_t>(central[8] | (central[9] << 8)); }
  uint16_t VersionMadeBy() const { return static_cast<uint16_t>(central[4] | (central[5] << 8)); }
  uint64_t PackedSize() const;
  uint64_t UnpackedSize() const;
};

// The entry list of a run, with the archive comment.
class TZipEntries {
 public:
  std::vector<TZipEntry> items;
  std::string archiveComment;
  bool modified = false;

  int Count() const { return static_cast<int>(items.size()); }
  // Case-insensitive lookup of a name; -1 when absent.
  int IndexOfName(const std::string& name) const;
};

// Elapsed time of a run, measured with the millisecond tick counter; error
// events pause it.
class TZarvoTimer {
 public:
  void Start();
  void Pause();
  void Resume();
  void Stop();
  bool Running() const { return running_; }
  float ElapsedTime() const;

 private:
  uint64_t startTick_ = 0;
  uint64_t pauseTick_ = 0;
  uint64_t paused_ = 0;
  float elapsed_ = 0;
  bool running_ = false;
  bool pausedNow_ = false;
};

class TZipCommon : public TRegisterZarvo {
 public:
  explicit TZipCommon(TComponent* owner = nullptr);
  ~TZipCommon() override;

  // ---- events (Sender first) ----
  std::function<void(TComponent* sender)> OnActivate;
  std::function<void(TComponent* sender)> OnDeactivate;
  std::function<void(TComponent* sender, const std::string& fileName, int count, bool& extract)> OnBegin;
  std::function<void(TComponent* sender, const std::string& fileName, bool crcPass)> OnEnd;
  std::function<void(TComponent* sender, uint8_t progressByFile, uint8_t progressByArchive)> OnProgress;
  std::function<void(TComponent* sender, const std::string& fileName, const std::string& extendedMsg,
                     const std::string& volumeId, int eCode)>
      OnError;
  std::function<void(TComponent* sender, float elapsedTime)> OnElapsedTime;
  std::function<void(TComponent* sender, const std::string& fileName, int filesCount, int64_t filesSize)>
      OnFileScanStatus;
  std::function<void(TComponent* sender, const std::string& directory)> OnRecurseDir;
  std::function<void(TComponent* sender, const std::string& archiveFile, bool& writeToFile)>
      OnNonWriteableArchive;
  // Dates are MS-DOS date-times ((date << 16) | time).
  std::function<void(TComponent* sender, const std::string& fileName, const std::string& newFileName,
                     uint32_t date, uint32_t newDate, int64_t fileSize, int64_t newFileSize, uint32_t attr,
                     uint32_t newAttr, bool& replace)>
      OnReplaceFile;
  std::function<void(TComponent* sender, const std::string& fileName, std::string& newFileName, bool& rename)>
      OnRenameDupeFile;
  std::function<void(TComponent* sender, bool& abort)> OnDiskInDrvErr;
  std::function<void(TComponent* sender, bool& abort)> OnDiskWriteProtectErr;
  std::function<void(TComponent* sender, const std::string& archive, const std::string& tempFileName)>
      OnTmpFileMoveBegin;
  std::function<void(TComponent* sender)> OnTmpFileMoveEnd;
  // Only its presence matters: it turns on progress while the archive is replaced.
  std::function<void(TComponent* sender, uint8_t progressByFile, uint8_t progressByArchive)>
      OnTmpFileProgress;
  std::function<void(TComponent* sender, const std::string& fileName, int count, int maxCount)> OnDeleteFile;
  std::function<void(TComponent* sender, int64_t offset, int fileNum)> OnRead;
  std::function<void(TComponent* sender, const std::string& volumeName, bool& cancel)> OnInsertDisk;
  std::function<void(TComponent* sender, const std::string& drive, int64_t requiredSpace, int64_t freeSpace,
                     int64_t totalSpace, bool& cancel)>
      OnClearDisk;
  // fileDate is the file's MS-DOS date-time.
  std::function<void(TComponent* sender, const std::string& fileName, uint32_t fileDate,
                     TOverwriteMode& overwriteMode)>
      OnDiskSpanFileExists;
  std::function<void(TComponent* sender, std::string& password, bool& cancel)> OnGetPassword;

  // ---- published properties ----
  TZarvoFileAttrs Attributes() const { return attributes_; }
  void SetAttributes(TZarvoFileAttrs v) { attributes_ = v; }
  TZarvoFileAttrs AttributesEx() const { return attributesEx_; }
  void SetAttributesEx(TZarvoFileAttrs v) { attributesEx_ = v; }
  TStrings& ExcludeSpec() { return excludeSpec_; }
  TStrings& FileSpec() { return fileSpec_; }
  bool IncludeHiddenDirs() const { return includeHiddenDirs_; }
  void SetIncludeHiddenDirs(bool v) { includeHiddenDirs_ = v; }
  bool RecurseDirs() const { return recurseDirs_; }
  void SetRecurseDirs(bool v) { recurseDirs_ = v; }
  TStoredDirNames StoredDirNames() const { return storedDirNames_; }
  void SetStoredDirNames(TStoredDirNames v) { storedDirNames_ = v; }
  bool StoreEmptySubDirs() const { return storeEmptySubDirs_; }
  void SetStoreEmptySubDirs(bool v) { storeEmptySubDirs_ = v; }
  TSwitch Switch() const { return switch_; }
  void SetSwitch(TSwitch v) { switch_ = v; }
  // The system temporary folder when the stored value is empty or missing.
  std::string TempDir() const;
  void SetTempDir(const std::string& value);
  bool TranslateOemChar() const { return translateOemChar_; }
  void SetTranslateOemChar(bool v) { translateOemChar_ = v; }
  // Folder the explorer-style name modes strip (sdExplorer_*).
  const std::string& DefaultDir() const { return defaultDir_; }
  void SetDefaultDir(const std::string& v) { defaultDir_ = v; }

  // ---- run state ----
  bool Cancel() const { return cancel_; }
  // Setting it also reports 25443 "User canceled".
  void SetCancel(bool value);
  int FilesCompressed() const { return filesCompressed_; }
  int FilesDeleted() const { return filesDeleted_; }
  int FileNumber() const { return fileNumber_; }
  uint32_t MaxFileDate() const { return maxFileDate_; }
  int64_t CurrentFileSize() const { return currentFileSize_; }
  int64_t ProgressTotal() const { return totalBytes_; }
  int64_t BytesRemaining() const { return remainingBytes_; }
  uint8_t LastProgressByFile() const { return lastByFile_; }
  uint8_t LastProgressByArchive() const { return lastByArchive_; }
  bool Busy() const { return busy_; }
  const TDiskManager& Volume() const { return *volume_; }
  TZarvoTimer& Timer() { return timer_; }

  // ---- errors ----
  // Pauses the timer, turns the code into 25443 while Cancel is set, calls
  // OnError; never raises.
  void ReportError(const std::string& fileName, const std::string& extendedMsg, int eCode,
                   const std::string& volumeId = "0");
  // ReportError, then (unless Cancel is set) raises E with the code's text.
  template <class E>
  void RaiseError(const std::string& fileName, int eCode, const std::string& volumeId = "0",
                  const std::string& extendedMsg = "") {
    ReportError(fileName, extendedMsg, eCode, volumeId);
    if (!cancel_) throw E(ErrorText(eCode));
  }
  static std::string ErrorText(int eCode);

  // percent(x, n): x * 100 / n to the nearest integer (halves to even),
  // clamped to 0..100; 0 when n is 0.
  static uint8_t Percent(uint64_t x, uint64_t n);
  // Serves the message queue, then raises OnProgress with the given values.
  void DoProgress(uint8_t byFile, uint8_t byArchive);
  // Progress of the current file: `consumed` source bytes of the current file.
  void FileProgress(uint64_t consumed);

 protected:
  TZarvoFileAttrs attributes_;
  TZarvoFileAttrs attributesEx_;
  TStringList excludeSpec_;
  TStringList fileSpec_;
  bool includeHiddenDirs_ = false;
  bool recurseDirs_ = true;
  TStoredDirNames storedDirNames_ = sdRelative;
  bool storeEmptySubDirs_ = false;
  TSwitch switch_ = swAdd;
  std::string tempDir_;
  bool translateOemChar_ = true;
  std::string defaultDir_;

  bool cancel_ = false;
  bool busy_ = false;
  int filesCompressed_ = 0;
  int filesDeleted_ = 0;
  int fileNumber_ = 0;
  uint32_t maxFileDate_ = 0;
  int64_t currentFileSize_ = 0;
  int64_t totalBytes_ = 0;
  int64_t remainingBytes_ = 0;
  uint8_t lastByFile_ = 0;
  uint8_t lastByArchive_ = 0;
  TZarvoTimer timer_;
  std::unique_ptr<TDiskManager> volume_;
};

class TCompBase;

// The temporary output of a run: positioned access to a TTempFileStream in
// TempDir (cmTempFile) or a TTempMemStream (cmInMemory). It replaces the
// archive only through Release (from TCompBase::CommitOutput); anything else
// discards it.
class TRunOutput {
 public:
  virtual ~TRunOutput() = default;
  // nullptr when no temporary file can be made in `tempDir`.
  static std::unique_ptr<TRunOutput> CreateFile(const std::string& archiveName, const std::string& tempDir);
  static std::unique_ptr<TRunOutput> CreateMemory(const std::string& archiveName);

  virtual bool WriteAt(uint64_t offset, const void* data, size_t count) = 0;
  bool Append(const void* data, size_t count) { return WriteAt(Size(), data, count); }
  virtual int64_t ReadAt(uint64_t offset, void* data, size_t count) = 0;
  virtual uint64_t Size() const = 0;
  virtual bool Truncate(uint64_t size) = 0;
  // The temporary file's name; empty for a memory output.
  virtual const std::string& TempName() const = 0;
  // Replaces the archive with the output (the stream's Release with these
  // hooks; `progress` is raised per copied chunk when hooks.ProgressEnabled).
  // The output is gone afterwards. Raises what the stream's Release raises.
  virtual bool Release(const TTempOutputHooks& hooks, std::function<void(TStream32&)> progress) = 0;
  // Deletes the temporary file or frees the memory.
  virtual void Discard() = 0;
};

class TCompBase : public TZipCommon {
 public:
  explicit TCompBase(TComponent* owner = nullptr);
  ~TCompBase() override;

  void SetArchiveFile(const std::string& value) override;
  const std::string& DefaultExt() const { return defaultExt_; }
  void SetDefaultExt(const std::string& value);
  TCompressMethod CompressMethod() const { return compressMethod_; }
  void SetCompressMethod(TCompressMethod value);
  TCompressionMethod CompressionMethod() const { return compressionMethod_; }
  void SetCompressionMethod(TCompressionMethod v) { compressionMethod_ = v; }
  TDateAttribute DateAttribute() const { return dateAttribute_; }
  void SetDateAttribute(TDateAttribute v) { dateAttribute_ = v; }
  TDeflateType DeflateType() const { return deflateType_; }
  void SetDeflateType(TDeflateType v) { deflateType_ = v; }
  TDeleteOptions DeleteOptions() const { return deleteOptions_; }
  void SetDeleteOptions(TDeleteOptions v) { deleteOptions_ = v; }
  bool EncryptHeaders() const { return encryptHeaders_; }
  void SetEncryptHeaders(bool v) { encryptHeaders_ = v; }
  int LeaveSpaceOnFirstDisk() const { return leaveSpaceOnFirstDisk_; }
  void SetLeaveSpaceOnFirstDisk(int v) { leaveSpaceOnFirstDisk_ = v; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }
  TStrings& StoreFilesOfType() { return storeFilesOfType_; }
  bool VerifyBeforeDelete() const { return verifyBeforeDelete_; }
  void SetVerifyBeforeDelete(bool v) { verifyBeforeDelete_ = v; }
  // Threads that deflate beside the run's own. Set to 0 (the default) it
  // follows the cores, and the getter says how many that is. With one, the
  // run deflates on its own thread and writes exactly what it always has;
  // with more, large files are cut into blocks of BlockSize bytes deflated
  // side by side (each entry still one deflate stream) and small files are
  // deflated whole, several at once. Events stay on the run's thread, in
  // their order.
  static constexpr int kMaxWorkers = 256;
  int Workers() const;
  void SetWorkers(int value);
  static constexpr size_t kMinBlockSize = 32 * 1024;
  static constexpr size_t kMaxBlockSize = 4 * 1024 * 1024;
  size_t BlockSize() const { return blockSize_; }
  void SetBlockSize(size_t value);

  // Runs the configured Switch over FileSpec. Returns the files compressed
  // (swAdd, swRefresh, swMove) or the entries dropped (swDelete); 0 when the
  // run did not start, had nothing to do or failed. A call made while this
  // component is already running returns 0 and changes nothing.
  int Compress();

  // The stored name of a full path found under `rootDir` (with trailing "\").
  std::string StoredName(const std::string& fullPath, const std::string& rootDir) const;

  TZipEntries& Entries() { return entries_; }
  // The message of the exception that ended the last run (empty when none).
  const std::string& LastException() const { return lastException_; }
  // A stored name as headers hold it ("/" separators, OEM code page when
  // TranslateOemChar is set, UTF-8 for names the OEM page cannot hold).
  std::string HeaderNameOf(const std::string& storedName) const { return HeaderName(storedName); }

 protected:
  // ---- format hooks, in slot order ----
  virtual bool CopyRenamedEntry(TZipEntry& entry) = 0;
  virtual void BuildNewCentral(TZipEntry& entry) = 0;
  virtual void CompleteLocalHeader(TZipEntry& entry) = 0;
  virtual void FillLocalHeaderTemplate(TZipEntry& entry) = 0;
  virtual bool CompressFile(TZipEntry& entry) = 0;
  virtual void FillCentralFromFile(TZipEntry& entry, const platform::FileInfo& info) = 0;
  virtual bool WriteEmptyEndRecord() = 0;
  virtual void DoOnEnd(const std::string& storedName, bool crcPass);
  virtual bool OpenFirstEntry() = 0;
  virtual int CentralRecordSize() const { return 46; }
  virtual int LocalHeaderSize() const { return 30; }
  virtual bool OpenNextEntry() = 0;
  virtual uint8_t* LocalHeaderTemplate() = 0;
  virtual bool ReadHeader(uint64_t offset, std::vector<uint8_t>& header) = 0;
  virtual bool Write64BitExtension(TZipEntry& entry) = 0;
  virtual bool ReadEntries() = 0;
  virtual bool RewriteCommentedArchive() { return false; }
  virtual void CollectTotals() {}
  virtual std::string EntryNameAndComment(int index, std::string& comment);
  virtual void SetEntryComment(int index, const std::string& comment);
  virtual void SetArchiveComment(const std::string& comment);
  virtual int CountEntries();
  virtual bool WriteCentralDirectory() = 0;
  virtual void LoadEntryToRun(TZipEntry& entry) = 0;
  virtual bool CopyEntry(TZipEntry& entry) = 0;
  virtual std::string ArchiveComment() const;

  // The per-file steps every format shares: OnBegin, the header template,
  // store or deflate (with encryption), completing the header, OnEnd.
  bool RunFileSteps(TZipEntry& entry);
  // The level a file gets: DeflateType, or dtDeflateS under cmStore and for
  // the extensions of StoreFilesOfType.
  TDeflateType LevelFor(const std::string& path) const;

  // The file being processed.
  struct TRunFile {
    std::string fullPath;
    std::string storedName;
    std::string headerName;
    uint64_t pos = 0;     // its local header in the output
    uint64_t size = 0;    // uncompressed
    uint64_t packed = 0;  // compressed, encryption header included
    uint32_t crc = 0;
    uint32_t dosDate = 0;  // (date << 16) | time
    uint32_t attr = 0;
    uint16_t method = 8;
    bool encrypted = false;
    bool zip64 = false;                // the local header carries the Zip64 sizes
    bool utf8 = false;                 // headerName is UTF-8 (flag bit 11)
    std::vector<uint8_t> unicodePath;  // the name's Unicode-path block, if any
    size_t LocalExtraSize() const { return (zip64 ? 20 : 0) + unicodePath.size(); }
    TDeflateType level = dtDeflateN;
  };
  TRunFile cur_;

  // ---- run helpers shared with the format ----
  void CollectFile(const std::string& folder, const platform::FileInfo& found);
  bool WriteOutput(const void* data, size_t count);
  bool WriteOutputAt(uint64_t offset, const void* data, size_t count);
  uint64_t OutputSize() const;
  int64_t ReadOld(uint64_t offset, void* data, size_t count);
  uint64_t OldSize() const { return oldSize_; }
  // "/" and the OEM code page, or UTF-8 (*utf8 set) when OEM cannot hold it.
  std::string HeaderName(const std::string& storedName, bool* utf8 = nullptr) const;
  std::string NameFromHeader(const std::string& headerName) const;
  uint32_t EntryDosDate(uint32_t fileDate) const;
  // Turns a plain 30-byte local header and its name into their enciphered
  // form ("L" signature), or back; the format decides.
  virtual void CipherLocalHeader(uint8_t* header, std::string& name) const = 0;

  TCompressMethod compressMethod_ = cmDeflate;
  TCompressionMethod compressionMethod_ = cmTempFile;
  TDateAttribute dateAttribute_ = daFileDate;
  std::string defaultExt_ = ".zip";
  TDeflateType deflateType_ = dtDeflateN;
  TDeleteOptions deleteOptions_ = doAllowUndo;
  bool encryptHeaders_ = false;
  int leaveSpaceOnFirstDisk_ = 0;
  std::string password_;
  TStringList storeFilesOfType_;
  bool verifyBeforeDelete_ = false;
  int workers_ = 0;
  size_t blockSize_ = TDeflatePipeline::kDefaultBlockSize;

  // ---- per-run state ----
  TZipEntries entries_;
  std::unique_ptr<TRunOutput> output_;
  std::unique_ptr<platform::File> oldArchive_;
  uint64_t oldSize_ = 0;
  bool isNewArchive_ = false;
  bool somethingToDo_ = false;
  bool haveFirstOffset_ = false;
  uint64_t firstEntryOffset_ = 0;  // bytes before the first entry of the old archive
  // Why the old archive cannot be added to (empty when it is sound).
  std::string oldDamage_;
  std::string rootDir_;
  std::string runArchive_;
  std::vector<std::string> toDelete_;
  std::unordered_map<std::string, int> lookup_;      // upper-cased stored name -> entry
  std::unordered_map<std::string, int> lookupPath_;  // upper-cased full path -> entry
  std::unique_ptr<TDeflatePipeline> pipeline_;       // the entry loop's workers, if any
  int curIndex_ = -1;                                // entry of the per-file steps

 private:
  void ResetRun();
  bool Run();
  void RunRead();
  bool CheckWritable();
  bool MatchesExclude(const std::string& storedName) const;
  void MergeFile(const std::string& fullPath, const platform::FileInfo& info);
  void MarkDeletions();
  void ScanFiles();
  void RestoreOld(TZipEntry& entry);
  bool RefuseDamaged();
  void RenameDuplicate(int found, const std::string& fullPath, const std::string& stored,
                       const platform::FileInfo& info);
  // Asks OnRenameDupeFile for a new name of the entry `name` until it gives
  // one that is free (or declines): true with the name in `proposal`.
  bool AskRename(const std::string& name, std::string& proposal);
  void AppendFound(const std::string& fullPath, const std::string& stored, const platform::FileInfo& info,
                   int replaces);
  void EntryLoop();
  // Whether the pipeline may deflate entry `index` ahead, and how.
  bool PlanEntry(int index, TDeflatePipeline::TWork& work) const;
  // Writes an entry's data from its plan, the pieces in order as the workers
  // finish them, serving the message queue and raising progress while it
  // waits. `crc` is the finished CRC-32 of the source. False when the run was
  // cancelled or the source came up short.
  bool WritePlanned(TDeflatePlan& plan, platform::File& source, int64_t remainingAtStart,
                    const std::function<void(uint8_t*, size_t)>& emit, uint32_t& crc);
  void Finish();
  void CommitOutput();
  void DeleteSources();
  void Deactivate();
  bool activated_ = false;
  bool deactivated_ = false;
  std::string lastException_;
};
