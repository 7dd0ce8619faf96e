#include "framework/classes.h"

#include <gtest/gtest.h>

namespace {

// Records what it is told and when it is destroyed.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::vector<std::string>* log) : TComponent(owner), log_(log) {}
  ~Probe() override { log_->push_back("free " + Name()); }
  TComponent* lastRemoved = nullptr;

 protected:
  void Notification(TComponent* c, TOperation op) override {
    if (op == TOperation::opRemove) lastRemoved = c;
  }

 private:
  std::vector<std::string>* log_;
};

}  // namespace

TEST(ComponentTest, OwnerFreesItsComponentsLastFirstAndFindsThemByName) {
  std::vector<std::string> log;
  {
    auto form = std::make_unique<Probe>(nullptr, &log);
    form->SetName("frmMain");
    Probe* a = TComponent::Create<Probe>(*form, &log);
    a->SetName("tbDictionary");
    Probe* b = TComponent::Create<Probe>(*form, &log);
    b->SetName("VelZip");
    EXPECT_EQ(form->ComponentCount(), 2);
    EXPECT_EQ(a->Owner(), form.get());
    EXPECT_EQ(form->FindComponent("TBDICTIONARY"), a);
    EXPECT_EQ(form->FindComponent("velzip"), b);
    EXPECT_EQ(form->FindComponent("nothing"), nullptr);
    EXPECT_EQ(form->FindComponent(""), nullptr);
    EXPECT_THROW(b->SetName("TbDictionary"), EComponentError);
    EXPECT_THROW(b->SetName("1abc"), EComponentError);
    EXPECT_EQ(b->Name(), "VelZip");
    EXPECT_THROW(form->Components(2), EListError);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"free frmMain", "free VelZip", "free tbDictionary"}));
}

TEST(ComponentTest, RemoveComponentHandsOwnershipBackAndFreeNotificationWorksBothWays) {
  std::vector<std::string> log;
  TComponent owner;
  Probe* a = TComponent::Create<Probe>(owner, &log);
  std::unique_ptr<TComponent> taken = owner.RemoveComponent(a);
  ASSERT_EQ(taken.get(), a);
  EXPECT_EQ(a->Owner(), nullptr);
  EXPECT_EQ(owner.ComponentCount(), 0);

  // The watcher hears when the watched goes.
  auto watched = std::make_unique<Probe>(nullptr, &log);
  Probe watcher(nullptr, &log);
  watcher.FreeNotification(watched.get());
  TComponent* w = watched.get();
  watched.reset();
  EXPECT_EQ(watcher.lastRemoved, w);

  // The watcher may go first without leaving a dangling entry behind.
  auto other = std::make_unique<Probe>(nullptr, &log);
  {
    Probe shortLived(nullptr, &log);
    shortLived.FreeNotification(other.get());
  }
  other.reset();  // must not touch the freed watcher
}

TEST(StringListTest, EditingIndexingAndChangeEvents) {
  TStringList list;
  int changes = 0;
  list.OnChange = [&](TStrings* sender) {
    EXPECT_EQ(sender, &list);
    ++changes;
  };
  list.Add("Customer");
  list.Add("orders");
  list.Insert(0, "Dictionary");
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list[0], "Dictionary");
  EXPECT_EQ(list.IndexOf("ORDERS"), 2);
  EXPECT_EQ(list.IndexOf("missing"), -1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf("ORDERS"), -1);
  list.SetCaseSensitive(false);
  EXPECT_THROW(list.Strings(3), EListError);
  EXPECT_THROW(list.Delete(-1), EListError);
  EXPECT_THROW(list.Insert(5, "x"), EListError);

  int obj = 7;
  list.SetObjects(1, &obj);
  list.Delete(0);
  EXPECT_EQ(list.Objects(0), &obj);

  changes = 0;
  list.BeginUpdate();
  list.Add("a");
  list.Add("b");
  list.Clear();
  EXPECT_EQ(changes, 0);
  list.EndUpdate();
  EXPECT_EQ(changes, 1);

  TStringList copy;
  list.Add("x");
  copy.Add("old");
  copy.Assign(list);
  EXPECT_TRUE(copy.Equals(list));
}

TEST(StringListTest, TextCommaTextAndValues) {
  TStringList list;
  list.SetText("one\r\ntwo\nthree\rfour\r\n");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list[3], "four");
  EXPECT_EQ(list.Text(), "one\r\ntwo\r\nthree\r\nfour\r\n");
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  list.SetText("a\r\n\r\nb");
  EXPECT_EQ(list.Count(), 3);

  list.Clear();
  list.Add("plain");
  list.Add("with blank");
  list.Add("say \"hi\"");
  list.Add("");
  list.Add("a,b");
  EXPECT_EQ(list.CommaText(), "plain,\"with blank\",\"say \"\"hi\"\"\",,\"a,b\"");
  TStringList back;
  back.SetCommaText(list.CommaText());
  EXPECT_TRUE(back.Equals(list));
  back.SetCommaText("x y, \"z w\" ,");
  EXPECT_EQ(back.Count(), 4);
  EXPECT_EQ(back[0], "x");
  EXPECT_EQ(back[1], "y");
  EXPECT_EQ(back[2], "z w");
  EXPECT_EQ(back[3], "");

  TStringList ini;
  ini.Add("Drive=C");
  ini.Add("Path=\\Velmora=old");
  ini.Add("NoValue");
  EXPECT_EQ(ini.Values("drive"), "C");
  EXPECT_EQ(ini.Values("PATH"), "\\Velmora=old");
  EXPECT_EQ(ini.Names(1), "Path");
  EXPECT_EQ(ini.Names(2), "");
  ini.SetValues("Drive", "D");
  EXPECT_EQ(ini[0], "Drive=D");
  ini.SetValues("New", "1");
  EXPECT_EQ(ini.IndexOfName("new"), 3);
  ini.SetValues("Drive", "");
  EXPECT_EQ(ini.IndexOfName("Drive"), -1);
}

TEST(StringListTest, SortedListsKeepOrderAndHonourDuplicates) {
  TStringList list;
  list.Add("pear");
  list.Add("Apple");
  list.Add("banana");
  list.SetSorted(true);
  EXPECT_EQ(list.CommaText(), "Apple,banana,pear");
  EXPECT_EQ(list.Add("cherry"), 2);
  EXPECT_EQ(list.Add("APPLE"), 0);  // ignored duplicate reports the existing line
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.IndexOf("PEAR"), 3);
  EXPECT_THROW(list.Insert(0, "x"), EListError);
  list.SetDuplicates(TDuplicates::dupError);
  EXPECT_THROW(list.Add("Banana"), EListError);
  list.SetDuplicates(TDuplicates::dupAccept);
  list.Add("Banana");
  EXPECT_EQ(list.Count(), 5);
  int index = -1;
  EXPECT_TRUE(list.Find("banana", index));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(list.Find("date", index));
  EXPECT_EQ(index, 4);
}
