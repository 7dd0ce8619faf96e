#include "archive/zarvoFileScan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "framework/application.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/temp_drive.h"

namespace {

namespace fs = std::filesystem;

void Put(const TempDrive& d, const std::string& name, size_t size = 1) {
  fs::create_directories(fs::path(d.Host(name)).parent_path());
  std::ofstream(d.Host(name), std::ios::binary) << std::string(size, 'x');
}

// Plain recursive glob with the same rules, to hold the compiled matcher to.
bool ReferenceMatch(const std::string& p, size_t i, const std::string& n, size_t j) {
  if (i == p.size()) return j == n.size();
  if (p[i] == '*') return ReferenceMatch(p, i + 1, n, j) || (j < n.size() && ReferenceMatch(p, i, n, j + 1));
  if (j == n.size()) return false;
  if (p[i] != '?' &&
      std::toupper(static_cast<unsigned char>(p[i])) != std::toupper(static_cast<unsigned char>(n[j])))
    return false;
  return ReferenceMatch(p, i + 1, n, j + 1);
}
bool Reference(const std::string& pattern, std::string name) {
  std::string p;
  bool star = false;
  for (char c : pattern) {
    if (c == '?' && star) continue;
    star = c == '*' || (star && c == '?');
    p += c;
  }
  if (!pattern.empty() && pattern.back() == '.' && name.find('.') == std::string::npos) name += '.';
  return ReferenceMatch(p, 0, name, 0);
}

std::string Random(std::mt19937& rng, const char* alphabet, size_t maxLen) {
  std::string s(rng() % (maxLen + 1), ' ');
  size_t k = std::char_traits<char>::length(alphabet);
  for (char& c : s) c = alphabet[rng() % k];
  return s;
}

struct Collected {
  std::vector<std::string> files;  // full paths as delivered
  std::vector<std::string> roots, dirs;
};

// A scanner whose deliveries are recorded.
void Record(TZarvoFileScan& scan, Collected& c) {
  scan.SetFileCallback([&c](const std::string& folder, const platform::FileInfo& f) {
    c.files.push_back((f.attributes & platform::kAttrDirectory) ? folder : folder + f.name);
  });
  scan.OnRootDirChange = [&c](TComponent*, const std::string& d) { c.roots.push_back(d); };
  scan.OnRecurseDir = [&c](TComponent*, const std::string& d) { c.dirs.push_back(d); };
}

std::vector<std::string> Listed(const std::string& folder) {
  std::vector<platform::FileInfo> e;
  platform::ListDirectory(folder, e);
  std::vector<std::string> names;
  for (auto& f : e) names.push_back(f.name);
  return names;
}

TEST(ZarvoMask, MatchesLikeAPlainGlobWithTheScannerRules) {
  EXPECT_TRUE(MaskMatches("A?C", "abc"));
  EXPECT_TRUE(MaskMatches("A?C", "ABC"));
  EXPECT_FALSE(MaskMatches("A?C", "ac"));
  EXPECT_TRUE(MaskMatches("*?", ""));
  EXPECT_TRUE(MaskMatches("a*?", "a"));
  EXPECT_TRUE(MaskMatches("*.", "README"));
  EXPECT_FALSE(MaskMatches("*.", "README.TXT"));
  EXPECT_FALSE(MaskMatches("*.*", "README"));  // a plain mask: "*.*" wants a dot
  EXPECT_TRUE(MaskMatches("*.*", "a.b.c"));
  EXPECT_TRUE(MaskMatches("[ab].txt", "[AB].TXT"));  // no character classes
  EXPECT_FALSE(MaskMatches("[ab].txt", "a.txt"));
  EXPECT_TRUE(MaskMatches("*ab*ab", "xabyabab"));  // needs backtracking
  EXPECT_FALSE(MaskMatches("*.dbf", "x.dbfx"));
  EXPECT_TRUE(MaskMatches("", ""));
  EXPECT_FALSE(MaskMatches("", "a"));
  EXPECT_TRUE(MaskMatches("\xE9*", "\xE9t\xE9"));  // bytes beyond ASCII compare as they are
  EXPECT_FALSE(MaskMatches("\xE9*", "\xC9t\xE9"));

  std::mt19937 rng(7);
  for (int k = 0; k < 20000; ++k) {
    std::string p = Random(rng, "aB.*?", 6), n = Random(rng, "Ab.", 7);
    ASSERT_EQ(MaskMatches(p, n), Reference(p, n)) << "mask '" << p << "' name '" << n << "'";
  }

  EXPECT_EQ(SplitMaskString(" *.txt,a b ,, *.dbf,"), (std::vector<std::string>{"*.txt", "a b ", "*.dbf"}));
}

TEST(ZarvoMask, CoveringIsNeverClaimedWrongly) {
  EXPECT_TRUE(TInternalMask("x.dbf").CoveredBy(TInternalMask("*.DBF")));
  EXPECT_TRUE(TInternalMask("?").CoveredBy(TInternalMask("*")));
  EXPECT_FALSE(TInternalMask("*").CoveredBy(TInternalMask("?")));
  EXPECT_FALSE(TInternalMask("a.").CoveredBy(TInternalMask("a?")));  // "a." also takes "a"
  std::mt19937 rng(11);
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back(Random(rng, "ab.", 6));
  int claimed = 0;
  for (int k = 0; k < 3000; ++k) {
    TInternalMask narrow(Random(rng, "ab.*?", 4)), wide(Random(rng, "ab.*?", 4));
    if (!narrow.CoveredBy(wide)) continue;
    ++claimed;
    for (const auto& n : names)
      ASSERT_TRUE(!narrow.Matches(n) || wide.Matches(n))
          << narrow.Pattern() << " within " << wide.Pattern() << " but not for " << n;
  }
  EXPECT_GT(claimed, 100);
}

TEST(ZarvoFileScan, AttributeFilter) {
  TZarvoFileScan scan;
  EXPECT_EQ(scan.Attributes(),
            (TZarvoFileAttrs{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted}));
  EXPECT_TRUE(scan.AttributesEx().empty());
  EXPECT_TRUE(scan.Admits(0x20));
  EXPECT_TRUE(scan.Admits(0x80));
  EXPECT_TRUE(scan.Admits(0));
  EXPECT_FALSE(scan.Admits(0x82));  // 0x80 counts as "no attribute" only on its own
  EXPECT_FALSE(scan.Admits(0x02));  // hidden without the archive bit
  EXPECT_FALSE(scan.Admits(0x10));
  EXPECT_TRUE(scan.Admits(0x2000 | 0x02));  // not content-indexed: always wanted
  scan.SetAttributesEx({fsHidden});
  EXPECT_FALSE(scan.Admits(0x22));  // wanted and unwanted: rejected
  EXPECT_FALSE(scan.Admits(0x2000 | 0x02));
  scan.SetAttributes({fsVolumeID});
  scan.SetAttributesEx({});
  EXPECT_FALSE(scan.Admits(0x08));  // the volume bit is never tested
  const std::pair<TZarvoFileAttr, uint32_t> bits[] = {
      {fsReadOnly, 0x01}, {fsHidden, 0x02},      {fsSysFile, 0x04},    {fsDirectory, 0x10},
      {fsArchive, 0x20},  {fsCompressed, 0x800}, {fsEncrypted, 0x4000}};
  for (auto [attr, bit] : bits) {
    EXPECT_TRUE(AttributesSatisfy({attr}, bit | 0x80)) << int(attr);
    EXPECT_FALSE(
        AttributesSatisfy(TZarvoFileAttrs::FromBits(0x1FF) - TZarvoFileAttrs{attr, fsZeroAttr}, bit));
  }
}

TEST(ZarvoFileScan, GroupKeepsOnlyTheWidestMasks) {
  TScanGroup g;
  for (auto m : {"x.dbf", "X.DBF", "a.dbf", "readme.", "b.txt"}) g.Add(m);
  EXPECT_EQ(g.Patterns().size(), 4u);
  EXPECT_TRUE(g.Matches("README"));
  g.Add("*.dbf");
  g.Add("y.DBF");
  auto p = g.Patterns();
  std::sort(p.begin(), p.end());
  EXPECT_EQ(p, (std::vector<std::string>{"*.dbf", "B.TXT", "readme."}));
  EXPECT_TRUE(g.Matches("Q.Dbf"));
  EXPECT_FALSE(g.Matches("c.txt"));
  g.Add("?");
  g.Add("*");
  EXPECT_EQ(g.Patterns(), (std::vector<std::string>{"*"}));
}

TEST(ZarvoFileScan, FileSpecGroupsByFolderAndDropsCoveredMasks) {
  TempDrive d;
  for (auto n :
       {"data/a.dbf", "data/b.dbf", "data/x.dbf", "data/README", "data/r.txt", "data/sub/c.dbf", "top.txt"})
    Put(d, n);
  auto listed = Listed(d.Dos("data"));

  TZarvoFileScan scan;
  scan.SetRecurseDirs(false);
  Collected c;
  Record(scan, c);
  TStringList spec;
  spec.Add(d.Dos("data\\b.dbf"));
  spec.Add("  ");
  spec.Add(d.Dos("DATA\\a.dbf"));
  spec.Add(d.Dos("data\\a.dbf"));
  scan.SetFileSpec(spec);
  scan.Scan();
  EXPECT_EQ(c.roots, (std::vector<std::string>{d.Dos("data\\")}));
  EXPECT_EQ(c.dirs.size(), 1u);
  std::vector<std::string> expect;  // in listing order, not FileSpec order
  for (auto& n : listed)
    if (n == "a.dbf" || n == "b.dbf") expect.push_back(d.Dos("data\\") + n);
  EXPECT_EQ(c.files, expect);
  EXPECT_EQ(scan.FilesCount(), 2);
  EXPECT_EQ(scan.FileSpec().Count(), 0);  // consumed
  EXPECT_EQ(spec.Count(), 4);             // the owner's list is untouched

  // A wider mask replaces the narrower one; a narrower one after it is dropped;
  // "?" does not swallow a later "*".
  c = {};
  spec.Clear();
  spec.Add(d.Dos("data\\x.dbf"));
  spec.Add(d.Dos("data\\*.dbf"));
  spec.Add(d.Dos("data\\a.dbf"));
  spec.Add(d.Dos("data\\?"));
  spec.Add(d.Dos("data\\*.*"));
  scan.SetFileSpec(spec);
  int finished = -1;
  scan.OnFinished = [&](TComponent*, int n, int64_t) { finished = n; };
  scan.Scan();
  EXPECT_EQ(scan.FilesCount(), 5);  // "*.*" is "*" here: README as well
  EXPECT_EQ(finished, 5);
  EXPECT_EQ(c.roots.size(), 1u);

  // Bare masks go to RootDir and share its group; "*." finds names without a dot.
  c = {};
  spec.Clear();
  spec.Add("*.");
  spec.Add(d.Dos("data\\*.txt"));
  spec.Add(d.Dos("data\\sub\\C.DBF"));
  scan.SetRootDir(d.Dos("data"));
  EXPECT_EQ(scan.RootDir(), d.Dos("data\\"));
  scan.SetFileSpec(spec);
  scan.Scan();
  EXPECT_EQ(c.roots, (std::vector<std::string>{d.Dos("data\\"), d.Dos("data\\sub\\")}));
  EXPECT_EQ(scan.FilesCount(), 3);  // README, r.txt, sub\c.dbf

  // Cancelling stops the scan; what was not reached stays in FileSpec.
  c = {};
  spec.Clear();
  spec.Add(d.Dos("data\\*.dbf"));
  spec.Add(d.Dos("data\\sub\\*"));
  scan.SetFileSpec(spec);
  scan.OnScanFile = [&](TComponent* s, const std::string&, int n, int64_t) {
    if (n == 2) static_cast<TZarvoFileScan*>(s)->Cancel();
  };
  scan.Scan();
  EXPECT_EQ(scan.FilesCount(), 2);
  EXPECT_EQ(scan.FileSpec().Count(), 1);
}

TEST(ZarvoFileScan, RecursionHiddenFoldersAndCancel) {
  TempDrive d;
  for (auto n : {"r/a.txt", "r/s1/b.txt", "r/s1/s2/c.txt", "r/.hid/d.txt", "r/s3/.e.txt"}) Put(d, n, 10);
  fs::create_directory_symlink(d.Host("r"), d.Host("r/s1/loop"));

  struct Pump : UiHandler {
    int calls = 0;
    void ProcessMessages() override { ++calls; }
    int MessageBox(const std::string&, const std::string&, unsigned) override { return IDOK; }
  } pump;
  Application().SetHandler(&pump);

  TZarvoFileScan scan;
  Collected c;
  Record(scan, c);
  TStringList spec;
  spec.Add(d.Dos("r\\*.txt"));
  scan.SetFileSpec(spec);
  scan.SetRecurseDirs(false);
  scan.Scan();
  EXPECT_EQ(c.files, (std::vector<std::string>{d.Dos("r\\a.txt")}));
  EXPECT_EQ(pump.calls, 4);  // once per entry of r

  c = {};
  scan.SetRecurseDirs(true);
  scan.SetFileSpec(spec);
  scan.Scan();
  EXPECT_EQ(scan.FilesCount(), 4);  // .hid skipped; .e.txt is a hidden file, archive bit set
  EXPECT_EQ(scan.FilesSize(), 40);
  // Depth first: every folder is entered right after its entry, before the
  // entries that follow it.
  for (size_t i = 0; i < c.dirs.size(); ++i) EXPECT_EQ(c.dirs[i].back(), '\\');
  auto pos = [&](const std::string& s) {
    return std::find(c.dirs.begin(), c.dirs.end(), d.Dos(s)) - c.dirs.begin();
  };
  EXPECT_EQ(pos("r\\s1\\s2\\"), pos("r\\s1\\") + 1);
  EXPECT_EQ(std::count(c.dirs.begin(), c.dirs.end(), d.Dos("r\\s1\\loop\\")), 0);  // the link leads back
  EXPECT_EQ(pos("r\\.hid\\"), static_cast<std::ptrdiff_t>(c.dirs.size()));

  c = {};
  scan.SetIncludeHiddenDirs(true);
  scan.SetAttributes({fsArchive, fsDirectory});
  scan.SetFileSpec(spec);
  scan.Scan();
  EXPECT_EQ(scan.FilesCount(), 5);
  // Admitted folders reach the callback as their own path.
  EXPECT_NE(std::find(c.files.begin(), c.files.end(), d.Dos("r\\.hid\\")), c.files.end());

  // The owner's cancel flag stops the walk at the next entry.
  bool stop = false;
  scan.SetCancelFlag(&stop);
  scan.OnScanFile = [&](TComponent*, const std::string&, int, int64_t) { stop = true; };
  scan.SetFileSpec(spec);
  scan.Scan();
  EXPECT_EQ(scan.FilesCount(), 1);
  Application().SetHandler(nullptr);
}

TEST(ZarvoFileScan, RootDirModeAndResultList) {
  TempDrive d;
  Put(d, "w/b.TXT", 300);
  Put(d, "w/a.dbf", 100);
  Put(d, "w/C.txt", 200);
  Put(d, "w/d.log", 50);
  platform::SetFileModifiedTime(d.Dos("w\\a.dbf"), platform::FromLocalTime({2001, 1, 1, 12, 0, 0}));
  platform::SetFileModifiedTime(d.Dos("w\\b.TXT"), platform::FromLocalTime({1999, 1, 1, 12, 0, 0}));
  platform::SetFileModifiedTime(d.Dos("w\\C.txt"), platform::FromLocalTime({2050, 1, 1, 12, 0, 0}));
  platform::SetFileModifiedTime(d.Dos("w\\d.log"), platform::FromLocalTime({2010, 6, 1, 12, 0, 0}));

  TZarvoFileScan scan;
  EXPECT_EQ(scan.RootDir(), "c:\\");
  EXPECT_EQ(scan.Mask(), "*");
  scan.SetRootDir(d.Dos("w"));
  scan.SetMask(" *.txt, *.dbf");
  scan.SetSorted(soByName);
  int finished = 0;
  scan.OnFinished = [&](TComponent*, int, int64_t) { ++finished; };
  scan.Scan();
  auto names = [&] {
    std::string s;
    for (int i = 0; i < scan.FilesList().Count(); ++i) s += scan.FilesList()[i].name + " ";
    return s;
  };
  EXPECT_EQ(names(), "a.dbf b.TXT C.txt ");
  const TFileObject& a = scan.FilesList()[0];
  EXPECT_EQ(a.folder, d.Dos("w\\"));
  EXPECT_EQ(a.Size(), 100u);
  EXPECT_EQ(a.dosDateTime, platform::UnixToDosDateTime(platform::FromLocalTime({2001, 1, 1, 12, 0, 0})));
  EXPECT_EQ(finished, 1);

  scan.SetSorted(soBySize);
  EXPECT_EQ(names(), "a.dbf C.txt b.TXT ");
  EXPECT_EQ(finished, 2);
  scan.SetSorted(soByTime);  // 2050 sorts after 2001
  EXPECT_EQ(names(), "b.TXT a.dbf C.txt ");
  scan.SetSorted(soByType);
  EXPECT_EQ(names().substr(0, 6), "a.dbf ");

  // Sizes of 2 GB and more sort by their whole value.
  TFileObject big, small;
  big.sizeLow = 0x80000000u;
  big.sizeHigh = 1;
  small.sizeLow = 5;
  EXPECT_GT(TFilesList::Compare(soBySize, big, small), 0);

  // Back to discovery order, which is the platform's listing order.
  scan.SetSorted(soUnsort);
  std::string listed;
  for (auto& n : Listed(d.Dos("w")))
    if (n != "d.log") listed += n + " ";
  EXPECT_EQ(names(), listed);

  // A RootDir that does not exist finds nothing; "*.*" here means every file.
  scan.SetMask("*.*");
  scan.Scan();
  EXPECT_EQ(scan.FilesCount(), 4);
  scan.SetRootDir(d.Dos("missing"));
  scan.Scan();
  EXPECT_EQ(scan.FilesCount(), 0);
  EXPECT_EQ(scan.FilesList().Count(), 0);
}

}  // namespace
