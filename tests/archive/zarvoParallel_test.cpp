// The compress run with workers: every worker count writes sound entries,
// one worker writes the single deflate stream of old, events stay on the
// run's thread and in order, cancels at any instant leave a readable archive,
// the work done ahead stays within its budget, and files that change before
// or during their turn never give a broken entry.
#include "archive/zarvoParallel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/zarvoDeflate.h"
#include "archive/zarvoZip.h"
#include "archive/zarvoZip_test_support.h"
#include "platform/file.h"
#include "support/temp_drive.h"

using namespace ziptest;
namespace fs = std::filesystem;

namespace {

constexpr size_t kBlock = 32 * 1024;  // the smallest block: many pieces from small files

// The entry's data as stored (compressed, enciphered), from the archive bytes.
std::string RawData(const std::vector<uint8_t>& b, const Entry& e) {
  size_t l = e.localOffset;
  size_t data = l + 30 + U16(b, l + 26) + U16(b, l + 28);
  return std::string(b.begin() + static_cast<long>(data), b.begin() + static_cast<long>(data + e.packed));
}

std::string Deflated(const std::string& s, int level) {
  size_t n = 0;
  auto out = DeflateBuffer(s.data(), s.size(), level, n);
  return std::string(reinterpret_cast<const char*>(out.get()), n);
}

class ParallelRun : public ::testing::Test {
 protected:
  TempDrive drive{'T'};
  std::vector<std::pair<std::string, std::string>> files;  // name, content
  std::vector<int> codes;

  void Put(const std::string& name, const std::string& data) {
    WriteBytes(drive.Host("src/" + name), data);
    files.emplace_back(name, data);
  }
  std::string Content(const std::string& name) const {
    for (const auto& [n, d] : files)
      if (n == name) return d;
    return "<no such file>";
  }
  std::unique_ptr<TZip> Zip(const std::string& archive, int workers) {
    auto z = std::make_unique<TZip>();
    z->SetArchiveFile(drive.Dos(archive));
    z->SetTempDir(drive.Dos(""));
    z->SetWorkers(workers);
    z->SetBlockSize(kBlock);
    z->SetRecurseDirs(false);
    z->FileSpec().Add(drive.Dos("src\\*.*"));
    z->OnError = [this](TComponent*, const std::string&, const std::string&, const std::string&, int c) {
      codes.push_back(c);
    };
    return z;
  }
  // Every file of `files` is in the archive with its content.
  void ExpectAllFiles(const Archive& a, const std::string& what) {
    ASSERT_TRUE(a.ok) << what << ": " << a.error;
    EXPECT_EQ(a.entries.size(), files.size()) << what;
    for (const auto& [name, data] : files) {
      const Entry* e = a.Find(name);
      ASSERT_NE(e, nullptr) << what << ": " << name;
      EXPECT_TRUE(e->data == data) << what << ": " << name;
    }
  }
  static int TempFilesIn(const std::string& hostFolder) {
    int n = 0;
    for (auto& e : fs::directory_iterator(hostFolder)) {
      std::string name = e.path().filename().string();
      if (name.rfind("zar", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp") ++n;
    }
    return n;
  }
};

TEST_F(ParallelRun, EveryWorkerCountWritesSoundEntriesAndOneWorkerTheSingleStream) {
  // Sizes around the block and the small-file rules; rows, noise and both.
  Put("empty.dbf", "");
  Put("one.dbf", "x");
  Put("noise200.bin", Noise(200, 1));  // deflate does not pay: stored
  Put("rows256.dbf", TableLike(256, 1));
  Put("rows257.dbf", TableLike(257, 2));
  Put("noise257.bin", Noise(257, 2));  // 257 bytes: deflated even when longer
  Put("block-1.fpt", TableLike(kBlock - 1, 3));
  Put("block.fpt", TableLike(kBlock, 4));
  Put("block+1.fpt", TableLike(kBlock + 1, 5));
  Put("two.cdx", TableLike(2 * kBlock + 5, 6));
  Put("mixed.dbf", TableLike(150000, 7) + Noise(70000, 3) + TableLike(90000, 8));
  Put("noise.bin", Noise(3 * kBlock + 17, 4));
  Put("inner.zip", TableLike(50000, 9));  // never deflated
  for (int i = 0; i < 12; ++i) Put("small" + std::to_string(i) + ".txt", TableLike(1000 + 700 * i, 20 + i));

  std::vector<uint8_t> single;
  for (TDeflateType level : {dtDeflateF, dtDeflateN, dtDeflateX}) {
    std::vector<uint8_t> first;
    for (int workers : {1, 2, 3, 8}) {
      if (level != dtDeflateN && workers > 2) continue;
      const std::string what = "level " + std::to_string(level) + ", " + std::to_string(workers) + " workers";
      auto zip = Zip("w.zip", workers);
      zip->SetDeflateType(level);
      fs::remove(drive.Host("w.zip"));
      ASSERT_EQ(zip->Compress(), static_cast<int>(files.size())) << what;
      const auto bytes = ReadBytes(drive.Host("w.zip"));
      const Archive a = Parse(bytes);
      ExpectAllFiles(a, what);
      EXPECT_EQ(a.At("inner.zip").method, 0);
      EXPECT_EQ(a.At("noise200.bin").method, 0);
      EXPECT_EQ(a.At("noise257.bin").method, 8);
      for (const auto& e : a.entries) {
        if (e.method != 8) continue;
        const std::string whole = Deflated(e.data, DeflateLevel(level));
        // One worker writes the one stream zlib makes of the whole file; so
        // do more workers for every file of at most one block.
        if (workers == 1 || e.size <= kBlock)
          EXPECT_TRUE(RawData(bytes, e) == whole) << what << ": " << e.name;
        else
          EXPECT_FALSE(RawData(bytes, e) == whole) << what << ": " << e.name << " was not cut";
      }
      if (level == dtDeflateN && workers == 1) single = bytes;
      // Blocks do not depend on the number of workers: the archives agree.
      if (workers == 2) first = bytes;
      if (workers > 2) {
        EXPECT_TRUE(bytes == first) << what;
      }
      EXPECT_EQ(codes, std::vector<int>{}) << what;
    }
  }

  // One worker does not cut files, whatever the block size.
  {
    auto one = Zip("w.zip", 1);
    one->SetBlockSize(TCompBase::kMaxBlockSize);
    fs::remove(drive.Host("w.zip"));
    ASSERT_EQ(one->Compress(), static_cast<int>(files.size()));
    EXPECT_TRUE(ReadBytes(drive.Host("w.zip")) == single);
  }

  // The memory output and a larger block give the same kind of archive.
  auto zip = Zip("m.zip", 4);
  zip->SetCompressionMethod(cmInMemory);
  zip->SetBlockSize(100000);
  ASSERT_EQ(zip->Compress(), static_cast<int>(files.size()));
  ExpectAllFiles(ParseFile(drive.Host("m.zip")), "in memory");
  EXPECT_EQ(TempFilesIn(drive.Root()), 0);

  // The worker count: 0 (and below) follows the cores; it is capped.
  TZip z;
  EXPECT_EQ(z.Workers(), DefaultWorkerCount());
  z.SetWorkers(3);
  EXPECT_EQ(z.Workers(), 3);
  z.SetWorkers(-2);
  EXPECT_EQ(z.Workers(), DefaultWorkerCount());
  z.SetWorkers(100000);
  EXPECT_EQ(z.Workers(), TCompBase::kMaxWorkers);
  z.SetBlockSize(1);
  EXPECT_EQ(z.BlockSize(), TCompBase::kMinBlockSize);
}

TEST_F(ParallelRun, EventsStayOnTheCallingThreadInOrder) {
  Put("a_big.dbf", TableLike(40 * kBlock, 1));
  Put("b_small.txt", TableLike(3000, 2));
  Put("c_empty.txt", "");
  Put("d_mid.fpt", TableLike(5 * kBlock + 100, 3));
  Put("e_stored.zip", TableLike(4 * kBlock, 4));
  for (int i = 0; i < 6; ++i) Put("f_small" + std::to_string(i) + ".cdx", TableLike(500 * (i + 1), 10 + i));
  for (const std::string password : {"", "pw"}) {
    auto zip = Zip(password.empty() ? "e.zip" : "ep.zip", 4);
    zip->SetPassword(password);
    const auto self = std::this_thread::get_id();
    ScriptedUi ui;
    UiScope scope(&ui);
    struct Ev {
      char kind;  // B begin, P progress, E end
      int file;
      int byFile, byArchive;
      std::string name;
    };
    std::vector<Ev> seen;
    int offThread = 0;
    auto here = [&] {
      if (std::this_thread::get_id() != self) ++offThread;
    };
    zip->OnBegin = [&](TComponent*, const std::string& f, int n, bool&) {
      here();
      seen.push_back({'B', n, 0, 0, f.substr(f.rfind('\\') + 1)});
    };
    zip->OnProgress = [&](TComponent* s, uint8_t f, uint8_t a) {
      here();
      seen.push_back({'P', static_cast<TZip*>(s)->FileNumber(), f, a, ""});
    };
    zip->OnEnd = [&](TComponent* s, const std::string&, bool crcPass) {
      here();
      EXPECT_TRUE(crcPass);
      seen.push_back({'E', static_cast<TZip*>(s)->FileNumber(), 0, 0, ""});
    };
    ASSERT_EQ(zip->Compress(), static_cast<int>(files.size()));
    ExpectAllFiles(ParseFile(drive.Host(password.empty() ? "e.zip" : "ep.zip"), password), "events");
    EXPECT_EQ(offThread, 0);
    EXPECT_GT(ui.processed, 0);

    // Begin, progress, end per file, the files in turn; both bars only rise
    // (the CRC pass of an encrypted file runs its bar once before the data).
    int file = 0, lastByFile = 0, lastByArchive = 0, progressOfFile = 0;
    bool open = false;
    std::string name;
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
      const Ev& e = seen[i];
      if (e.kind == 'B') {
        EXPECT_FALSE(open);
        EXPECT_EQ(e.file, file + 1);
        file = e.file;
        name = e.name;
        open = true;
        lastByFile = 0;
        progressOfFile = 0;
      } else if (e.kind == 'P') {
        ASSERT_TRUE(open) << i;
        EXPECT_EQ(e.file, file);
        if (password.empty()) {
          EXPECT_GE(e.byFile, lastByFile) << i;
          EXPECT_GE(e.byArchive, lastByArchive) << i;
        }
        lastByFile = e.byFile;
        lastByArchive = e.byArchive;
        ++progressOfFile;
      } else {
        EXPECT_TRUE(open);
        EXPECT_EQ(e.file, file);
        if (!Content(name).empty()) {
          EXPECT_EQ(lastByFile, 100) << name;
        }
        if (Content(name).size() > 4 * kBlock) {
          EXPECT_GE(progressOfFile, 4) << name;
        }
        open = false;
      }
    }
    EXPECT_EQ(file, static_cast<int>(files.size()));
    EXPECT_EQ(seen.back().kind, 'P');  // OnProgress(0, 0) before the directory
    EXPECT_EQ(seen.back().byArchive, 0);
    EXPECT_EQ(lastByArchive, 100);
  }
}

TEST_F(ParallelRun, CancelAtRandomInstantsLeavesAReadableArchive) {
  for (int i = 1; i <= 6; ++i)
    Put("n" + std::to_string(i) + ".dbf", i % 2 ? TableLike(12 * kBlock + i, i) : TableLike(3000 * i, i));
  // An existing archive with two entries that are not in the folder.
  TempDrive old('U');
  WriteBytes(old.Host("old1.txt"), TableLike(70000, 40));
  WriteBytes(old.Host("old2.txt"), "second");
  {
    TZip z;
    z.SetArchiveFile(drive.Dos("c.zip"));
    z.FileSpec().Add(old.Dos("*.txt"));
    ASSERT_EQ(z.Compress(), 2);
  }
  const auto original = ReadBytes(drive.Host("c.zip"));

  // How many events a whole run raises.
  int total = 0;
  {
    auto zip = Zip("full.zip", 3);
    zip->OnProgress = [&](TComponent*, uint8_t, uint8_t) { ++total; };
    ASSERT_EQ(zip->Compress(), 6);
  }
  ASSERT_GT(total, 20);
  // The files in the order the run takes them (the folder's own order).
  std::vector<std::string> order;
  for (const auto& e : ParseFile(drive.Host("full.zip")).entries) order.push_back(e.name);
  ASSERT_EQ(order.size(), 6u);

  std::mt19937 rng(1234);
  for (int round = 0; round < 8; ++round) {
    WriteBytes(drive.Host("c.zip"), std::string(original.begin(), original.end()));
    codes.clear();
    auto zip = Zip("c.zip", 3);
    const int at = 1 + static_cast<int>(rng() % static_cast<unsigned>(total));
    const int where = round % 3;  // in a progress event, at a file's start or end
    int count = 0;
    TZip* z = zip.get();
    auto maybeCancel = [&] {
      if (++count == at && !z->Cancel()) z->SetCancel(true);
    };
    if (where == 0) zip->OnProgress = [&](TComponent*, uint8_t, uint8_t) { maybeCancel(); };
    if (where == 1) zip->OnBegin = [&](TComponent*, const std::string&, int, bool&) { maybeCancel(); };
    if (where == 2) zip->OnEnd = [&](TComponent*, const std::string&, bool) { maybeCancel(); };
    const int done = zip->Compress();
    const std::string what = "round " + std::to_string(round) + ", cancel at " + std::to_string(at);
    const auto bytes = ReadBytes(drive.Host("c.zip"));
    const Archive a = Parse(bytes);
    ASSERT_TRUE(a.ok) << what << ": " << a.error;
    if (count < at) {
      // The run ended before the instant came.
      EXPECT_EQ(done, 6) << what;
      continue;
    }
    EXPECT_NE(std::find(codes.begin(), codes.end(), 25443), codes.end()) << what;
    if (done == 0) {
      EXPECT_TRUE(bytes == original) << what;  // nothing new: the archive as it was
    } else {
      // The old entries, then the files finished before the cancel, in turn.
      ASSERT_EQ(a.entries.size(), 2u + static_cast<size_t>(done)) << what;
      EXPECT_EQ(a.entries[0].data, TableLike(70000, 40)) << what;
      EXPECT_EQ(a.entries[1].data, "second") << what;
      for (int i = 1; i <= done; ++i) {
        const Entry& e = a.entries[static_cast<size_t>(i + 1)];
        EXPECT_EQ(e.name, order[static_cast<size_t>(i - 1)]) << what;
        EXPECT_TRUE(e.data == Content(e.name)) << what << ": " << e.name;
      }
    }
    EXPECT_EQ(TempFilesIn(drive.Root()), 0) << what;
  }
}

TEST_F(ParallelRun, AbortStopsQueuedAndRunningPieces) {
  // One worker and four pieces of 4 MiB of noise at level 9 (long work each).
  const size_t block = TCompBase::kMaxBlockSize;
  Put("slow.bin", Noise(4 * block, 9));
  platform::FileInfo info;
  ASSERT_TRUE(platform::GetFileInfo(drive.Dos("src\\slow.bin"), info));
  std::vector<std::shared_ptr<TDeflatePiece>> pieces;
  {
    TDeflatePipeline pipeline(1, block, 1, [&](int, TDeflatePipeline::TWork& w) {
      w.path = drive.Dos("src\\slow.bin");
      w.level = 9;
      return true;
    });
    auto plan = pipeline.Take(0, info.size, info.modified, 9);
    ASSERT_NE(plan, nullptr);
    while (auto piece = pipeline.NextPiece(*plan)) pieces.push_back(piece);
    ASSERT_EQ(pieces.size(), 4u);
    pipeline.Abort();
    for (auto& p : pieces) EXPECT_TRUE(pipeline.Wait(*p, [] { return true; }));
  }  // joins the worker
  // What was queued never ran; what ran stopped at a slice.
  for (size_t i = 0; i < pieces.size(); ++i) EXPECT_EQ(pieces[i]->state.load(), TDeflatePiece::kStopped) << i;
  EXPECT_LT(pieces[0]->consumed.load(), block);
  EXPECT_EQ(pieces[2]->consumed.load(), 0u);
  EXPECT_EQ(pieces[3]->consumed.load(), 0u);
}

TEST_F(ParallelRun, WorkAheadStaysWithinItsBudgetWhateverTheInputSize) {
  // Eight files of 40 blocks each, all open to the planner from the start.
  for (int i = 0; i < 8; ++i) Put("big" + std::to_string(i) + ".dbf", TableLike(40 * kBlock + 3 * i, i));
  TDeflatePipeline pipeline(2, kBlock, 8, [&](int i, TDeflatePipeline::TWork& w) {
    w.path = drive.Dos("src\\" + files[static_cast<size_t>(i)].first);
    w.level = 6;
    return true;
  });
  // Both workers kept busy four blocks ahead, never more.
  const uint64_t bound = pipeline.ByteBudget() + 2 * kBlock;
  EXPECT_EQ(pipeline.ByteBudget(), 2u * 4u * kBlock);
  uint64_t peak = 0;
  pipeline.Fill();
  peak = pipeline.HeldBytes();
  for (int i = 0; i < 8; ++i) {
    const std::string& data = files[static_cast<size_t>(i)].second;
    platform::FileInfo info;
    ASSERT_TRUE(platform::GetFileInfo(drive.Dos("src\\" + files[static_cast<size_t>(i)].first), info));
    auto plan = pipeline.Take(i, info.size, info.modified, 6);
    ASSERT_NE(plan, nullptr) << i;
    std::string stream;
    uint32_t crc = 0;
    uint64_t length = 0;
    while (auto piece = pipeline.NextPiece(*plan)) {
      peak = std::max(peak, pipeline.HeldBytes());
      ASSERT_TRUE(pipeline.Wait(*piece, [] { return true; }));
      ASSERT_EQ(piece->state.load(), TDeflatePiece::kDone);
      stream.append(reinterpret_cast<const char*>(piece->out.data()), piece->out.size());
      crc = Crc32Combine(crc, piece->crc, piece->length);
      length += piece->length;
      pipeline.Release(*plan, *piece);
      peak = std::max(peak, pipeline.HeldBytes());
    }
    // The pieces in order are one deflate stream of the file; their CRCs
    // joined are the file's.
    EXPECT_EQ(length, data.size());
    EXPECT_EQ(crc, Crc32(data.data(), data.size())) << i;
    std::string back;
    ASSERT_TRUE(Inflate(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), data.size(), back))
        << i;
    EXPECT_TRUE(back == data) << i;
    pipeline.Drop(i);
  }
  EXPECT_LE(peak, bound);
  EXPECT_GE(peak, pipeline.ByteBudget());  // it did work ahead
  EXPECT_EQ(pipeline.HeldBytes(), 0u);
}

TEST_F(ParallelRun, FilesThatChangeBeforeOrDuringTheirTurnNeverGiveABrokenEntry) {
  // Files of two blocks each, so the workers open several ahead of the run.
  for (int i = 1; i <= 5; ++i) Put("f" + std::to_string(i) + ".dbf", TableLike(kBlock + 1000, i));
  // When the first file begins, one of the others vanishes, one shrinks and
  // one gets other bytes and another time: the run reports the first and
  // takes the others as they are at their turn.
  auto zip = Zip("v.zip", 3);
  std::string vanished, shrunk, rewritten;
  const std::string now = TableLike(kBlock + 1000, 44);
  zip->OnBegin = [&](TComponent*, const std::string& f, int n, bool&) {
    if (n != 1) return;
    std::vector<std::string> others;
    for (const auto& [name, data] : files)
      if (f.substr(f.rfind('\\') + 1) != name) others.push_back(name);
    vanished = others[0], shrunk = others[1], rewritten = others[2];
    EXPECT_TRUE(RemoveFile(drive.Host("src/" + vanished)));
    WriteBytes(drive.Host("src/" + shrunk), TableLike(kBlock - 3, 33));
    WriteBytes(drive.Host("src/" + rewritten), now);
    fs::last_write_time(drive.Host("src/" + rewritten),
                        fs::file_time_type::clock::now() + std::chrono::hours(1));
  };
  EXPECT_EQ(zip->Compress(), 4);
  EXPECT_EQ(codes, std::vector<int>{25235});
  Archive a = ParseFile(drive.Host("v.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.Find(vanished), nullptr);
  EXPECT_TRUE(a.At(shrunk).data == TableLike(kBlock - 3, 33));
  EXPECT_TRUE(a.At(rewritten).data == now);
  for (const auto& [name, data] : files)
    if (name != vanished && name != shrunk && name != rewritten) {
      EXPECT_TRUE(a.At(name).data == data) << name;
    }

  // An encrypted file rewritten between its CRC pass and its data: its entry
  // would fail every reader's check, so it is left out (one worker: the data
  // pass reads after the change). With workers the data may have been read
  // before the change; then the entry holds the old bytes, consistently.
  for (int workers : {1, 3}) {
    files.clear();
    fs::remove_all(drive.Host("src"));
    Put("p1.dbf", TableLike(8 * kBlock, 1));
    Put("p2.dbf", TableLike(3000, 2));
    codes.clear();
    auto enc = Zip("p.zip", workers);
    enc->SetPassword("secret");
    bool changed = false, inP1 = false;
    const std::string other = TableLike(8 * kBlock, 77);
    enc->OnBegin = [&](TComponent*, const std::string& f, int, bool&) {
      inP1 = f == drive.Dos("src\\p1.dbf");
    };
    enc->OnProgress = [&](TComponent*, uint8_t f, uint8_t) {
      if (!changed && inP1 && f == 100) {
        changed = true;  // the end of the CRC pass
        WriteBytes(drive.Host("src/p1.dbf"), other);
      }
    };
    fs::remove(drive.Host("p.zip"));
    const int done = enc->Compress();
    ASSERT_TRUE(changed);
    Archive p = ParseFile(drive.Host("p.zip"), "secret");
    ASSERT_TRUE(p.ok) << workers << ": " << p.error;
    EXPECT_TRUE(p.At("p2.dbf").data == Content("p2.dbf"));
    if (workers == 1) {
      EXPECT_EQ(done, 1);
      EXPECT_EQ(codes, std::vector<int>{25235});
      EXPECT_EQ(p.Find("p1.dbf"), nullptr);
    } else if (done == 2) {
      EXPECT_TRUE(p.At("p1.dbf").data == Content("p1.dbf"));
    } else {
      EXPECT_EQ(codes, std::vector<int>{25235});
    }
  }
}

}  // namespace
