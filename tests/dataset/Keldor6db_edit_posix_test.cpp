// Record locks between two processes: a record another process is editing
// cannot be edited, deleted or recalled here.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "dataset/Keldor6db.h"
#include "dataset_test_util.h"
#include "tables/hx6_dbf.h"

using namespace dstest;

namespace {

// Runs `child` in a forked process; it reports through the pipe.
pid_t Fork(int pipeOut[2], int pipeIn[2], const std::function<int(int write, int read)>& child) {
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeOut[0]);
    close(pipeIn[1]);
    int rc = 1;
    try {
      rc = child(pipeOut[1], pipeIn[0]);
    } catch (...) {
      rc = 3;
    }
    _exit(rc);
  }
  close(pipeOut[1]);
  close(pipeIn[0]);
  return pid;
}

}  // namespace

TEST(KeldorDataSetEdit, ARecordEditedByAnotherProcessIsLockedHere) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  int toParent[2], toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  const std::string dir = f.Dos();
  pid_t pid = Fork(toParent, toChild, [&](int out, int in) {
    TKeldorDataSet other;
    other.SetDatabaseName(dir);
    other.SetTableName("p.dbf");
    other.Open();
    other.Edit();  // record 1, held until the parent has tried
    other.FieldByName("NAME")->SetAsString("Child");
    char c = 'e';
    if (write(out, &c, 1) != 1) return 4;
    if (read(in, &c, 1) != 1) return 5;
    other.Post();
    other.Close();
    return 0;
  });
  char c = 0;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  EXPECT_EQ(MessageOf([&] { ds->Edit(); }), "Record is locked by another user");
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  EXPECT_EQ(MessageOf([&] { ds->Delete(); }), "Cannot delete the record");
  EXPECT_EQ(MessageOf([&] { ds->Recall(); }), "Cannot recall the record");
  ds->Next();
  ds->Edit();  // another record is free
  ds->FieldByName("NAME")->SetAsString("Parent");
  ds->Post();
  c = 'p';
  ASSERT_EQ(write(toChild[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(toParent[0]);
  close(toChild[1]);
  ds->First();
  ds->Refresh();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Child");
  ds->Edit();  // the child's lock is gone with its post
  ds->Cancel();
  const std::string file = f.Read("p.dbf");
  EXPECT_EQ(RecordBytes(file, 1).substr(1, 10), "Child     ");
  EXPECT_EQ(RecordBytes(file, 2).substr(1, 10), "Parent    ");
}
