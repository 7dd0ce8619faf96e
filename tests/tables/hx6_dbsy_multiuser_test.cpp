// Two processes share one table and its CDX file: each appends records and
// rewrites records of the other (found through a tag), under each lock
// protocol. Afterwards no record is lost or doubled, every rewrite is there
// and every tag holds exactly the table's records.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "hx6_dbsy_test_util.h"
#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_dbsy.h"

namespace {

constexpr int kAppends = 5000;
constexpr int kRewrites = 1000;

// One process's share of the work; answers an exit status (0 when done).
int Worker(const std::string& table, char me, uint8_t protocol) {
  const char other = me == 'A' ? 'B' : 'A';
  try {
    HXO_dBHandler h(table, true, true);
    h.SetLockProtocol(protocol);
    h.OpenIndex("shared.cdx");
    h.SelectTag("NAME", false);
    h.SetExactCompare(true);
    int appended = 0;
    int rewritten = 0;
    int idle = 0;
    while (appended < kAppends || rewritten < kRewrites) {
      for (int i = 0; i < 5 && appended < kAppends; ++i) {
        h.BlankRecord();
        h.PutStringByName("NAME", std::string(1, me) + std::to_string(++appended));
        h.PutStringByName("CITY", "new");
        h.AppendRecord();
      }
      if (rewritten == kRewrites) continue;
      // The next record of the other process, found through the NAME tag:
      // lock it, read it afresh, change it (which moves its CITYNAME entry).
      const std::string wanted = std::string(1, other) + std::to_string(rewritten + 1);
      bool done = false;
      if (h.SeekKey(wanted)) {
        const int64_t recno = h.RecNo();
        int tries = 0;
        while (!h.LockRecord()) {
          if (++tries > 20000) return 3;
          HxSleep(1);
        }
        h.GetRecord(recno);
        if (h.FieldText(1) != wanted) return 5;
        h.PutStringByName("CITY", std::string("by") + me);
        h.PutRecord(recno);
        h.UnlockTable();
        ++rewritten;
        done = true;
      }
      if (!done && appended == kAppends) {
        if (++idle > 20000) return 4;  // the other process never came
        HxSleep(1);
      }
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "worker %c: %s\n", me, e.what());
    return 2;
  }
}

// Runs both workers in processes of their own, started together.
void RunTwo(const std::string& table, uint8_t protocol) {
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t pids[2];
  for (int i = 0; i < 2; ++i) {
    pids[i] = ::fork();
    ASSERT_GE(pids[i], 0);
    if (pids[i] == 0) {
      ::close(go[1]);
      char c;
      if (::read(go[0], &c, 1) != 1) ::_exit(9);
      ::_exit(Worker(table, i == 0 ? 'A' : 'B', protocol));
    }
  }
  ::close(go[0]);
  (void)!::write(go[1], "gg", 2);
  ::close(go[1]);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "worker killed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "worker failed";
  }
}

}  // namespace

class HandlerMultiUser : public ::testing::TestWithParam<uint8_t> {};

TEST_P(HandlerMultiUser, TwoProcessesAppendAndRewriteWithoutLosingARecord) {
  TempDrive drive;
  WriteHostFile(drive.Host("shared.dbf"), tabletest::Bytes(handlertest::PeopleTable({})));
  {
    HXO_dBHandler h(drive.Dos("shared.dbf"), false, true);
    h.OpenIndex("shared.cdx");
    h.IndexFile(1)->AddTag("NAME", "NAME", false, true, "");
    h.IndexFile(1)->AddTag("CITYNAME", "CITY+NAME", false, true, "");
    h.IndexFile(1)->AddTag("REWRITE", "NAME", false, false, "CITY # \"new\"");
  }
  const HxLockWaitPolicy saved = LockWaitPolicy();
  LockWaitPolicy() = {20000, 1};
  RunTwo(drive.Dos("shared.dbf"), GetParam());
  LockWaitPolicy() = saved;

  const std::string bytes = ReadHostFile(drive.Host("shared.dbf"));
  EXPECT_EQ(GetLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + 4), 2u * kAppends);
  HXO_dBHandler h(drive.Dos("shared.dbf"), false, false);
  ASSERT_EQ(h.RecordCount(), 2 * kAppends);
  std::set<std::string> names;
  std::map<std::string, int> rewrites;
  h.GetRecord(kGetFirst);
  while (h.RecordValid()) {
    const std::string name = h.FieldText(1);
    EXPECT_TRUE(names.insert(name).second) << name << " twice";
    const std::string city = h.FieldText(2);
    if (city != "new") {
      EXPECT_EQ(city, std::string("by") + (name[0] == 'A' ? 'B' : 'A')) << name;
      ++rewrites[city];
    }
    h.GetRecord(kGetNext);
  }
  EXPECT_EQ(names.size(), 2u * kAppends);
  for (char who : {'A', 'B'})
    for (int i = 1; i <= kAppends; ++i) EXPECT_TRUE(names.count(std::string(1, who) + std::to_string(i)));
  EXPECT_EQ(rewrites["byA"], kRewrites);
  EXPECT_EQ(rewrites["byB"], kRewrites);

  // Every tag holds every record once, in order.
  h.OpenIndex("shared.cdx");
  const HxIndexCheckReport check = HxCheckIndexFile(*h.IndexFile(1));
  for (const auto& p : check.problems) ADD_FAILURE() << p;
  ASSERT_EQ(check.tags.size(), 3u);
  for (const auto& tag : check.tags) {
    EXPECT_TRUE(tag.recordsChecked) << tag.name;
    EXPECT_EQ(tag.keys, tag.name == "REWRITE" ? 2 * kRewrites : 2 * kAppends) << tag.name;
  }
}

std::string ProtocolName(const ::testing::TestParamInfo<uint8_t>& info) {
  const char* const names[] = {"Default", "DB4Lock", "ClipLock", "FoxLock"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Protocols, HandlerMultiUser, ::testing::Values(0, 1, 2, 3), ProtocolName);
