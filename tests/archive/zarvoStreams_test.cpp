#include "archive/zarvoStreams.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/Err_Msgs.h"
#include "archive/archive_layers_support.h"
#include "archive/zarvoDeflate.h"
#include "framework/application.h"
#include "framework/exceptions.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/signals.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;

namespace {

// Counts the message-queue calls and runs an optional action in them.
class CountingUi : public UiHandler {
 public:
  CountingUi() { Application().SetHandler(this); }
  ~CountingUi() override { Application().SetHandler(nullptr); }
  void ProcessMessages() override {
    ++calls;
    if (action) action();
  }
  int MessageBox(const std::string&, const std::string&, unsigned) override { return IDOK; }
  int calls = 0;
  std::function<void()> action;
};

// A memory stream that records the size of every read.
class RecordingSource : public TMemoryStream32 {
 public:
  explicit RecordingSource(const std::string& data) {
    WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    SetPosition(0);
  }
  int64_t Read(void* buffer, int64_t count) override {
    reads.push_back(count);
    return TMemoryStream32::Read(buffer, count);
  }
  std::vector<int64_t> reads;
};

std::string Bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() % 7 == 0 ? rng() : 'a' + rng() % 3);
  return s;
}

int CountFiles(const std::string& hostFolder) {
  int n = 0;
  for (auto& e : fs::directory_iterator(hostFolder)) n += e.is_regular_file() ? 1 : 0;
  return n;
}

}  // namespace

TEST(ZarvoStreams, FileStreamPositionsAndFailures) {
  TempDrive t('T');
  TFileStream32 f(t.Dos("a.bin"), fmCreate);
  ASSERT_TRUE(f.Valid());
  EXPECT_GE(f.Handle(), 0);
  f.WriteBuffer("hello world", 11);
  EXPECT_EQ(f.Position(), 11);
  EXPECT_EQ(f.Size(), 11);
  EXPECT_EQ(f.Seek(-5, soEnd), 6);
  char b[8] = {};
  EXPECT_EQ(f.Read(b, 8), 5);
  EXPECT_EQ(std::string(b, 5), "world");
  EXPECT_EQ(f.Read(b, 8), 0);  // at the end
  EXPECT_EQ(f.Seek(-1, soBeginning), -1);
  EXPECT_THROW(f.ReadBuffer(b, 1), EReadError);
  f.SetSize(5);
  EXPECT_EQ(f.Size(), 5);
  EXPECT_LE(f.Position(), 5);
  f.Close();

  // Opening what is not there: no exception, a negative handle.
  TFileStream32 missing(t.Dos("nope.bin"), fmOpenRead | fmShareDenyNone);
  EXPECT_FALSE(missing.Valid());
  EXPECT_EQ(missing.Handle(), -1);
  EXPECT_EQ(missing.Read(b, 1), 0);
  EXPECT_EQ(missing.Write(b, 1), 0);
  EXPECT_TRUE(missing.WriteFailed());

  // A reader that denies writers keeps an exclusive creator out.
  TFileStream32 r(t.Dos("a.bin"), fmOpenRead | fmShareDenyWrite);
  ASSERT_TRUE(r.Valid());
  TFileStream32 again(t.Dos("a.bin"), fmOpenRead | fmShareDenyNone);
  EXPECT_TRUE(again.Valid());
}

TEST(ZarvoStreams, CopyChunksServeMessagesAndHonourCountsAndCancel) {
  CountingUi ui;
  const std::string data = Bytes(300000, 1);
  {
    RecordingSource src(data);
    TMemoryStream32 dst;
    EXPECT_EQ(dst.CopyFrom(src, TStream32::kWholeStream), 300000);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dst.Memory()), 300000), data);
    // 61,440-byte chunks, the message queue served before each.
    ASSERT_EQ(src.reads.size(), 5u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(src.reads[i], 61440);
    EXPECT_EQ(src.reads[4], 300000 - 4 * 61440);
    EXPECT_EQ(ui.calls, 5);
  }
  {
    // A length of 0 copies nothing, wherever the source stands.
    RecordingSource src(data);
    src.SetPosition(1000);
    TMemoryStream32 dst;
    EXPECT_EQ(dst.CopyFrom(src, 0), 0);
    EXPECT_EQ(dst.Size(), 0);
    EXPECT_TRUE(src.reads.empty());
    // An explicit count copies from the current position.
    EXPECT_EQ(dst.CopyFrom(src, 10), 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dst.Memory()), 10), data.substr(1000, 10));
  }
  {
    // Asking for more than the source holds is a read error.
    RecordingSource src("short");
    TMemoryStream32 dst;
    EXPECT_THROW(dst.CopyFrom(src, 6), EReadError);
  }
  {
    // Store writer: 102,400-byte chunks; the temporary file's own copy: 100,000.
    RecordingSource src(data);
    TMemoryStream32 target;
    TStoreStream store(target, 32, nullptr, &src);
    EXPECT_EQ(store.CopyFromStore(src, TStream32::kWholeStream), 300000);
    ASSERT_EQ(src.reads.size(), 3u);
    EXPECT_EQ(src.reads[0], 102400);
    EXPECT_EQ(src.reads[2], 300000 - 2 * 102400);
  }
  {
    // Cancel raised from the message queue stops the copy before the next chunk.
    bool cancel = false;
    ui.calls = 0;
    ui.action = [&] {
      if (ui.calls == 3) cancel = true;
    };
    RecordingSource src(data);
    TMemoryStream32 dst;
    dst.CancelFlag = &cancel;
    EXPECT_EQ(dst.CopyFrom(src, TStream32::kWholeStream), 2 * 61440);
    EXPECT_EQ(src.reads.size(), 2u);
    ui.action = nullptr;
  }
}

TEST(ZarvoStreams, MemoryStreamCapacity) {
  TMemoryStream32 m;
  m.SetCapacity(1);
  EXPECT_EQ(m.Capacity(), 8192);
  m.WriteBuffer("abc", 3);
  m.SetCapacity(8193);
  EXPECT_EQ(m.Capacity(), 16384);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Memory()), 3), "abc");
  std::string big(20000, 'x');
  m.WriteBuffer(big.data(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(m.Size(), 20003);
  EXPECT_EQ(m.Capacity(), 24576);
  m.SetCapacity(0);
  EXPECT_EQ(m.Capacity(), 0);
  EXPECT_EQ(m.Memory(), nullptr);
  EXPECT_EQ(m.Size(), 0);
}

TEST(ZarvoStreams, FilterStreamsChecksumCompressAndReportProgress) {
  const std::string data = Bytes(250000, 2);
  // Deflating writer: output continues where the target stood; CRC and
  // remaining count follow what was handed in.
  TMemoryStream32 target;
  target.WriteBuffer("HEAD", 4);
  int64_t remaining = 250000;
  int progress = 0;
  {
    TCompressStream z(target, 6, -15, &remaining, nullptr);
    z.Progress = [&](TStream32& s) {
      ++progress;
      EXPECT_EQ(&s, &z);
    };
    RecordingSource src(data);
    EXPECT_EQ(z.CopyFrom(src, TStream32::kWholeStream), 250000);
    z.Release();
    EXPECT_EQ(z.Crc() ^ 0xFFFFFFFFu, Crc32(data.data(), data.size()));
    EXPECT_EQ(z.Position(), target.Size() - 4);  // bytes written so far
    EXPECT_EQ(z.Read(nullptr, 1), -1);
    EXPECT_EQ(z.Seek(5, soBeginning), -1);
    EXPECT_THROW(z.Seek(int64_t{1} << 33, soCurrent), EStreamError);
    EXPECT_EQ(z.TotalIn(), 250000u);
  }
  EXPECT_EQ(remaining, 0);
  EXPECT_GT(progress, 0);
  std::string packed(reinterpret_cast<const char*>(target.Memory()) + 4,
                     static_cast<size_t>(target.Size() - 4));
  std::string back(data.size(), '\0');
  uLongf backLen = static_cast<uLongf>(back.size());
  z_stream zs{};
  ASSERT_EQ(inflateInit2(&zs, -15), Z_OK);
  zs.next_in = reinterpret_cast<Bytef*>(packed.data());
  zs.avail_in = static_cast<uInt>(packed.size());
  zs.next_out = reinterpret_cast<Bytef*>(back.data());
  zs.avail_out = static_cast<uInt>(backLen);
  EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
  inflateEnd(&zs);
  EXPECT_EQ(back, data);

  // A target moved between writes is put back where this stream's output continues.
  TMemoryStream32 t2;
  TStoreStream store(t2, 32, nullptr, nullptr);
  store.WriteBuffer("abc", 3);
  t2.SetPosition(0);
  store.WriteBuffer("def", 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t2.Memory()), 6), "abcdef");
  EXPECT_EQ(store.Crc() ^ 0xFFFFFFFFu, Crc32("abcdef", 6));

  // Store writer progress goes out with the source stream.
  RecordingSource src(data);
  TMemoryStream32 t3;
  int64_t rem = 250000;
  TStoreStream s16(t3, 16, &rem, &src);
  std::vector<int64_t> positions;
  s16.Progress = [&](TStream32& s) {
    EXPECT_EQ(&s, &src);
    positions.push_back(s.Position());
  };
  s16.CopyFromStore(src, TStream32::kWholeStream);
  EXPECT_EQ(s16.Crc(), Crc16(data.data(), data.size()));
  EXPECT_EQ(rem, 0);
  EXPECT_EQ(positions, (std::vector<int64_t>{102400, 204800, 250000}));

  // Enciphered output: CRC untouched, bytes differ, decipher gives them back.
  TZipCrypto enc("secret"), dec("secret");
  TMemoryStream32 t4;
  TStoreStream s4(t4, 32, nullptr, nullptr);
  s4.SetCipher(&enc);
  s4.WriteBuffer(data.data(), 1000);
  EXPECT_EQ(s4.Crc(), kCrc32Preset);
  std::string got(reinterpret_cast<const char*>(t4.Memory()), 1000);
  EXPECT_NE(got, data.substr(0, 1000));
  dec.Decipher(reinterpret_cast<uint8_t*>(got.data()), got.size());
  EXPECT_EQ(got, data.substr(0, 1000));

  // The checksum-only pass rewinds its source.
  RecordingSource src2(data);
  src2.SetPosition(77);
  int raised = 0;
  int64_t rem2 = 250000;
  TCalcStreamCRC calc(
      src2, [&](TStream32&) { ++raised; }, nullptr, 32, TStream32::kWholeStream, &rem2);
  EXPECT_TRUE(calc.Complete());
  EXPECT_EQ(calc.FinishedCrc(), Crc32(data.data(), data.size()));
  EXPECT_EQ(src2.Position(), 0);
  EXPECT_EQ(raised, 5);
  EXPECT_EQ(rem2, 0);
  TCalcStreamCRC calc16(src2, nullptr, nullptr, 16, 9, nullptr);
  EXPECT_EQ(calc16.FinishedCrc(), Crc16(data.data(), 9));
}

TEST(ZarvoStreams, TempFileNamesAndDiscarding) {
  TempDrive t('T');
  // A missing TempDir falls back to the system temporary folder.
  std::string name = MakeTempFileName(t.Dos("missing\\"));
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.find(t.Dos("missing")), std::string::npos);
  platform::DeleteFile(name);
  name = MakeTempFileName(t.Dos());
  ASSERT_EQ(name.rfind(t.Dos("zar"), 0), 0u) << name;
  EXPECT_TRUE(platform::FileExists(name));
  platform::DeleteFile(name);

  WriteHostFile(t.Host("arc.zip"), "OLD ARCHIVE");
  {
    // Never released: the temporary file goes, the archive stays.
    TTempFileStream out(t.Dos("arc.zip"), t.Dos());
    ASSERT_TRUE(out.Valid());
    out.WriteBuffer("partial", 7);
  }
  {
    // Released without commit.
    TTempFileStream out(t.Dos("arc.zip"), t.Dos());
    out.WriteBuffer("new", 3);
    out.SetCommit(false);
    int begins = 0;
    out.Hooks.OnTmpFileMoveBegin = [&](const std::string&, const std::string&) { ++begins; };
    EXPECT_FALSE(out.Release());
    EXPECT_EQ(begins, 0);
  }
  {
    // A write that failed: the output is never committed.
    TTempFileStream out(t.Dos("arc.zip"), t.Dos());
    out.WriteBuffer("broken", 6);
    out.MarkFailed();
    EXPECT_FALSE(out.Release());
  }
  EXPECT_EQ(ReadHostFile(t.Host("arc.zip")), "OLD ARCHIVE");
  EXPECT_EQ(CountFiles(t.Host()), 1);
}

TEST(ZarvoStreams, ReleaseReplacesTheArchiveOnTheSameAndAnotherDrive) {
  TempDrive t('T'), u('U');
  const std::string content = Bytes(150000, 5);
  for (bool sameDrive : {true, false}) {
    WriteHostFile(t.Host("arc.zip"), "OLD ARCHIVE");
    std::string tempDir = sameDrive ? t.Dos("tmp\\") : u.Dos("tmp\\");
    fs::create_directories(sameDrive ? t.Host("tmp") : u.Host("tmp"));
    TTempFileStream out(t.Dos("arc.zip"), tempDir);
    ASSERT_TRUE(out.Valid());
    const std::string tempName = out.TempFileName();
    EXPECT_TRUE(platform::FileExists(tempName));
    out.WriteBuffer(content.data(), static_cast<int64_t>(content.size()));
    std::vector<std::string> events;
    int64_t cur = 0, total = 0, remaining = 0;
    int progress = 0;
    bool cancel = true;  // a cancelled run still commits what it completed
    out.CancelFlag = &cancel;
    out.Hooks.OnTmpFileMoveBegin = [&](const std::string& a, const std::string& tmp) {
      events.push_back("begin " + a + " " + tmp);
    };
    out.Hooks.OnTmpFileMoveEnd = [&] { events.push_back("end"); };
    out.Hooks.CurrentFileSize = &cur;
    out.Hooks.TotalBytes = &total;
    out.Hooks.Remaining = &remaining;
    out.Hooks.ProgressEnabled = true;
    out.Progress = [&](TStream32&) { ++progress; };
    EXPECT_TRUE(out.Release());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "begin " + t.Dos("arc.zip") + " " + tempName);
    EXPECT_EQ(events[1], "end");
    EXPECT_EQ(ReadHostFile(t.Host("arc.zip")), content);
    EXPECT_FALSE(platform::FileExists(tempName));
    EXPECT_EQ(CountFiles(t.Host()), 1) << "staging file left beside the archive";
    if (sameDrive) {
      EXPECT_EQ(progress, 0);
    } else {
      EXPECT_EQ(cur, 150000);
      EXPECT_EQ(total, 150000);
      EXPECT_EQ(remaining, 0);
      EXPECT_EQ(progress, 3);  // one per 61,440-byte read
      EXPECT_EQ(CountFiles(u.Host("tmp")), 0);
    }
  }

  // In memory.
  TTempMemStream mem(t.Dos("mem.zip"));
  mem.WriteBuffer(content.data(), 1000);
  int events = 0;
  mem.Hooks.OnTmpFileMoveBegin = [&](const std::string&, const std::string&) { ++events; };
  mem.Hooks.OnTmpFileMoveEnd = [&] { ++events; };
  EXPECT_TRUE(mem.Release());
  EXPECT_EQ(events, 2);
  EXPECT_EQ(ReadHostFile(t.Host("mem.zip")), content.substr(0, 1000));
  EXPECT_EQ(mem.Size(), 0);
}

TEST(ZarvoStreams, DiskFullWhileReplacingLeavesTheArchiveAlone) {
  TempDrive t('T');
  // The archive's disk holds 64 KiB; the old archive takes 10 of them.
  std::string folder = t.Host("small");
  fs::create_directories(folder);
  platform::DriveMapping m;
  m.hostRoot = folder;
  m.removable = true;
  m.capacity = 65536;
  platform::MapDrive('R', m);
  WriteHostFile(folder + "/arc.zip", std::string(10000, 'o'));
  std::vector<int> codes;
  {
    TTempFileStream out("R:\\arc.zip", t.Dos());
    ASSERT_TRUE(out.Valid());
    std::string big(200000, 'n');
    out.WriteBuffer(big.data(), static_cast<int64_t>(big.size()));
    out.Hooks.ReportError = [&](const std::string& file, const std::string&, int code) {
      EXPECT_EQ(file, "R:\\arc.zip");
      codes.push_back(code);
    };
    EXPECT_THROW(out.Release(), EStreamError);
    EXPECT_FALSE(platform::FileExists(out.TempFileName()));
  }
  EXPECT_EQ(codes, std::vector<int>{E_DISKFULL});
  EXPECT_EQ(ReadHostFile(folder + "/arc.zip"), std::string(10000, 'o'));
  EXPECT_EQ(CountFiles(folder), 1);
  platform::UnmapDrive('R');
}

namespace {

// Runs `body` in a forked child and returns its wait status.
int InChild(const std::function<void()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

}  // namespace

TEST(ZarvoStreams, SignalsRemoveTheTemporaryOutputAndEndTheProcessAsUsual) {
  TempDrive t('T');
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    const std::string marker = t.Host("name.txt");
    int status = InChild([&] {
      ::signal(sig, SIG_DFL);
      TTempFileStream out(t.Dos("a.zip"), t.Dos(""));
      if (!out.Valid()) ::_exit(3);
      out.WriteBuffer("partial", 7);
      WriteHostFile(marker, platform::ToHostPath(out.TempFileName()));
      ::raise(sig);
      ::_exit(4);  // not reached: the signal ends the process
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    const std::string temp = ReadHostFile(marker);
    ASSERT_FALSE(temp.empty());
    EXPECT_FALSE(fs::exists(temp)) << temp;
  }

  // A signal the program ignores stays ignored; a handler of its own still
  // runs after the file is gone.
  const std::string marker = t.Host("kept.txt");
  int status = InChild([&] {
    ::signal(SIGHUP, SIG_IGN);
    static volatile sig_atomic_t handled = 0;
    ::signal(SIGTERM, [](int) { handled = 1; });
    TTempFileStream out(t.Dos("b.zip"), t.Dos(""));
    WriteHostFile(marker, platform::ToHostPath(out.TempFileName()));
    ::raise(SIGHUP);
    if (!fs::exists(ReadHostFile(marker))) ::_exit(5);
    ::raise(SIGTERM);
    if (!handled) ::_exit(6);
    if (fs::exists(ReadHostFile(marker))) ::_exit(7);
    ::_exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // Released or discarded outputs are no longer registered.
  const int before = platform::RegisteredTempFiles();
  {
    TTempFileStream out(t.Dos("c.zip"), t.Dos(""));
    EXPECT_EQ(platform::RegisteredTempFiles(), before + 1);
  }
  EXPECT_EQ(platform::RegisteredTempFiles(), before);
}
