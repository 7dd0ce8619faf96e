#include "tables/hx6_tool.h"

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "support/temp_drive.h"
#include "tables/hx6_encrxm.h"

TEST(HugeSet, PagesBitsAndHighestNumber) {
  ThxHugeSet set;
  EXPECT_EQ(set.Highest(), -1);
  EXPECT_FALSE(set.TestBit(0));
  set.ChangeBit(5, ThxHugeSet::Set);
  EXPECT_EQ(set.PageCount(), 1);
  // Bit 131072 is the first bit of the second page.
  set.SetBit(131072);
  EXPECT_EQ(set.PageCount(), 2);
  EXPECT_TRUE(set.TestBit(131072));
  EXPECT_FALSE(set.TestBit(131071));
  EXPECT_FALSE(set.TestBit(200000));  // above the highest number touched
  EXPECT_EQ(set.Highest(), 131072);
  set.ChangeBit(5, ThxHugeSet::Toggle);
  EXPECT_FALSE(set.TestBit(5));
  set.ChangeBit(7, ThxHugeSet::Toggle);
  EXPECT_TRUE(set.TestBit(7));
  set.ClearBit(7);
  EXPECT_FALSE(set.TestBit(7));
  set.SetBit(-3);  // ignored
  EXPECT_FALSE(set.TestBit(-3));
  set.SetBit(int64_t{1} << 40);  // beyond any record number: no pages for it
  EXPECT_EQ(set.PageCount(), 2);

  // Searching for set bits, across bytes and pages.
  set.SetBit(9);
  set.SetBit(400000);
  EXPECT_EQ(set.NextSet(0), 9);
  EXPECT_EQ(set.NextSet(10), 131072);
  EXPECT_EQ(set.NextSet(131073), 400000);
  EXPECT_EQ(set.NextSet(400001), -1);
  EXPECT_EQ(set.PrevSet(1000000), 400000);
  EXPECT_EQ(set.PrevSet(399999), 131072);
  EXPECT_EQ(set.PrevSet(131071), 9);
  EXPECT_EQ(set.PrevSet(8), -1);

  set.ClearAll();
  EXPECT_EQ(set.Highest(), -1);
  EXPECT_FALSE(set.TestBit(131072));
  EXPECT_EQ(set.NextSet(0), -1);
}

TEST(Wildcard, ContainmentSearch) {
  EXPECT_EQ(WildcardSearch("*", "anything"), 1);
  EXPECT_EQ(WildcardSearch("AB*", "ABCD"), 1);
  EXPECT_EQ(WildcardSearch("?B", "XBC"), 1);
  EXPECT_EQ(WildcardSearch("*BC", "ABC"), 2);
  EXPECT_EQ(WildcardSearch("CD", "ABCD"), 3);  // not anchored
  EXPECT_EQ(WildcardSearch("", "ABC"), 0);
  EXPECT_EQ(WildcardSearch("ABCD", "ABC"), 0);  // text shorter than the pattern
  EXPECT_EQ(WildcardSearch("XY", "ABCD"), 0);
  // After a leading asterisk a question mark is a plain character.
  EXPECT_EQ(WildcardSearch("*?C", "ABC"), 0);
  EXPECT_EQ(WildcardSearch("A?C?", "ABCD"), 1);
  EXPECT_EQ(WildcardSearch("**", "AB"), 1);
}

TEST(FileNames, ExpansionExtensionsAndBaseNames) {
  TempDrive drive;
  std::string oldDir = platform::GetCurrentDirectory();
  ASSERT_TRUE(platform::SetCurrentDirectory(drive.Dos()));
  EXPECT_EQ(ExpandFileName("data.dbf"), drive.Dos("data.dbf"));
  platform::SetCurrentDirectory(oldDir);
  // A network name and a name with a colon past its second character stay as written.
  EXPECT_EQ(ExpandFileName("\\\\server\\share\\x.dbf"), "\\\\server\\share\\x.dbf");
  EXPECT_EQ(ExpandFileName("abc:def"), "abc:def");
  EXPECT_EQ(ExpandFileName("T:\\a\\..\\b.dbf"), "T:\\b.dbf");

  EXPECT_EQ(DefaultExtension("T:\\DATA\\CUST", ".DBF"), "T:\\DATA\\CUST.DBF");
  EXPECT_EQ(DefaultExtension("T:\\DATA\\CUST.dbf", ".DBF"), "T:\\DATA\\CUST.dbf");
  EXPECT_EQ(DefaultExtension("T:\\DA.TA\\CUST", ".DBF"), "T:\\DA.TA\\CUST.DBF");
  EXPECT_EQ(ChangeFileExt("T:\\DATA\\CUST.DBF", ".fpt"), "T:\\DATA\\CUST.fpt");
  EXPECT_EQ(BaseFileName("T:\\DATA\\Cust.DBF"), "Cust");
  EXPECT_EQ(BaseFileName("Cust"), "Cust");
  EXPECT_EQ(ExtractFilePath("T:\\DATA\\Cust.DBF"), "T:\\DATA\\");
  EXPECT_EQ(ExtractFileExt("T:\\DATA\\Cust.DBF"), ".DBF");
}

namespace {
struct Counted {
  explicit Counted(int* counter) : counter_(counter) {}
  ~Counted() { ++*counter_; }
  int* counter_;
};
class RefList : public ThxCollection<Counted> {
 public:
  ~RefList() override { Clear(); }

 protected:
  void DisposeItem(Counted*) override {}
};
}  // namespace

TEST(Collection, DisposalIsTheCollectionsChoice) {
  int freed = 0;
  {
    ThxCollection<Counted> owning;
    auto first = std::make_unique<Counted>(&freed);
    Counted* a = first.get();
    owning.Add(std::move(first));
    owning.Add(std::make_unique<Counted>(&freed));
    owning.Add(std::make_unique<Counted>(&freed));
    EXPECT_EQ(owning.Count(), 3);
    EXPECT_EQ(owning.Remove(a), 0);
    EXPECT_EQ(freed, 1);
    std::unique_ptr<Counted> taken(owning.Extract(owning.First()));
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(owning.Count(), 1);
  }
  EXPECT_EQ(freed, 3);  // the extracted one by its new owner, the last by the collection

  freed = 0;
  Counted kept(&freed);
  {
    RefList refs;
    refs.Add(&kept);
    refs.Clear();
    refs.Add(&kept);
  }
  EXPECT_EQ(freed, 0);
}

TEST(Transform, CipherIsKeyedAndUndoneByTheOtherDirection) {
  std::string plain = " Some record text 1234567890";
  std::string a(plain.size(), '\0'), b(plain.size(), '\0');
  EXPECT_EQ(Transform("", plain.data(), a.data(), plain.size(), 1), 0);
  EXPECT_EQ(a, plain);
  EXPECT_EQ(Transform("secret", plain.data(), a.data(), plain.size(), 1), 1);
  EXPECT_NE(a, plain);
  EXPECT_EQ(Transform("other", plain.data(), b.data(), plain.size(), 1), 1);
  EXPECT_NE(a, b);
  EXPECT_EQ(Transform("secret", a.data(), a.data(), a.size(), 0), -1);  // in place
  EXPECT_EQ(a, plain);
}
