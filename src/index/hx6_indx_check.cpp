// Verification of an index file: the tree of every tag level by level, its
// key order and sibling links, the format's node bookkeeping, and the tag's
// entries against the table's records.
#include <algorithm>
#include <cstring>
#include <exception>
#include <unordered_set>

#include "expr/hx6_sql.h"
#include "index/hx6_indx.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr size_t kMaxProblemsPerTag = 50;
constexpr int kMaxLevels = 48;

// Keys as compared by the tags: unsigned bytes, the shorter one padded.
int CompareBytes(const uint8_t* a, size_t al, const uint8_t* b, size_t bl, uint8_t pad) {
  const size_t n = std::min(al, bl);
  if (n > 0) {
    const int c = std::memcmp(a, b, n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  for (size_t i = n; i < bl; ++i)
    if (b[i] != pad) return b[i] > pad ? -1 : 1;
  for (size_t i = n; i < al; ++i)
    if (a[i] != pad) return a[i] > pad ? 1 : -1;
  return 0;
}

// Entries of a tag or of the table, the key bytes kept in one arena.
struct EntryList {
  struct Entry {
    size_t at;
    uint32_t length;
    uint32_t recno;
  };
  std::vector<uint8_t> bytes;
  std::vector<Entry> entries;
  void Add(const uint8_t* key, size_t length, uint32_t recno) {
    entries.push_back({bytes.size(), static_cast<uint32_t>(length), recno});
    bytes.insert(bytes.end(), key, key + length);
  }
  const uint8_t* Key(const Entry& e) const { return bytes.data() + e.at; }
};

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

class TagChecker {
 public:
  TagChecker(HXobjIndexTag& tag, HxIndexCheckReport::TagSummary& summary, std::vector<std::string>& problems,
             const std::function<void(int, int64_t, int64_t)>& progress, int index)
      : tag_(tag),
        summary_(summary),
        out_(problems),
        progress_(progress),
        index_(index),
        pad_(tag.KeyType() == hxKeyCharacter ? ' ' : 0) {}

  void Run() {
    const bool treeSound = WalkTree();
    if (treeSound) CheckRecords();
    if (dropped_ > 0)
      out_.push_back("tag " + tag_.Name() + ": " + std::to_string(dropped_) + " more problems not listed");
  }

 private:
  void Problem(const std::string& text) {
    if (count_ < kMaxProblemsPerTag)
      out_.push_back("tag " + tag_.Name() + ": " + text);
    else
      ++dropped_;
    ++count_;
  }

  std::string KeyText(const uint8_t* p, size_t n) const {
    if (tag_.KeyType() == hxKeyCharacter) {
      bool printable = true;
      for (size_t i = 0; i < n; ++i) printable = printable && p[i] >= 0x20;
      if (printable) return "\"" + std::string(reinterpret_cast<const char*>(p), n) + "\"";
    }
    return Hex(p, n);
  }

  int CompareEntry(const uint8_t* a, size_t al, uint32_t ar, const uint8_t* b, size_t bl, uint32_t br) const {
    const int c = CompareBytes(a, al, b, bl, pad_);
    if (c != 0) return c;
    return ar < br ? -1 : (ar > br ? 1 : 0);
  }

  // Walks the tree level by level. False when it could not be read whole.
  bool WalkTree() {
    struct Bound {
      int64_t offset;
      std::vector<uint8_t> key;  // the parent's entry for this node
      uint32_t recno;
    };
    std::vector<Bound> level{{tag_.RootOffset(), {}, 0}};
    std::unordered_set<int64_t> seen;
    bool leafLevel = false;
    std::vector<uint8_t> prevKey;
    uint32_t prevRecno = 0;
    bool havePrev = false;
    for (int depth = 0; !level.empty(); ++depth) {
      if (depth >= kMaxLevels) {
        Problem("the tree is deeper than " + std::to_string(kMaxLevels) + " levels (its links loop)");
        return false;
      }
      summary_.depth = depth + 1;
      std::vector<Bound> next;
      int64_t expectLeft = -1;
      std::vector<uint8_t> prevBound;
      uint32_t prevBoundRecno = 0;
      bool levelClassKnown = false;
      bool levelIsLeaf = false;
      for (size_t i = 0; i < level.size(); ++i) {
        const Bound& b = level[i];
        if (!seen.insert(b.offset).second) {
          Problem("node at " + std::to_string(b.offset) + " is reached twice (its links loop)");
          return false;
        }
        HXobjIndexKey node(&tag_);
        try {
          tag_.ReadNode(b.offset, node);
        } catch (const std::exception& e) {
          Problem("node at " + std::to_string(b.offset) + " cannot be read: " + e.what());
          return false;
        }
        const std::string verdict = tag_.VerifyNode(b.offset);
        if (!verdict.empty()) Problem(verdict);
        if (!levelClassKnown) {
          levelClassKnown = true;
          levelIsLeaf = node.IsLeaf();
        } else if (node.IsLeaf() != levelIsLeaf) {
          Problem("node at " + std::to_string(b.offset) + " is a " +
                  (node.IsLeaf() ? "leaf" : "interior node") + " among nodes of the other kind");
        }
        if (node.IsLeaf())
          ++summary_.leaves;
        else
          ++summary_.interiorNodes;
        // Sibling links, both ways.
        if (node.left != expectLeft)
          Problem("node at " + std::to_string(b.offset) + " has left sibling " + std::to_string(node.left) +
                  ", expected " + std::to_string(expectLeft));
        const int64_t expectRight = i + 1 < level.size() ? level[i + 1].offset : -1;
        if (node.right != expectRight)
          Problem("node at " + std::to_string(b.offset) + " has right sibling " + std::to_string(node.right) +
                  ", expected " + std::to_string(expectRight));
        expectLeft = b.offset;
        if (node.Count() == 0 && !(depth == 0 && node.IsLeaf()))
          Problem("node at " + std::to_string(b.offset) + " holds no keys");
        // Keys within the node, and against the parent's entries.
        for (int k = 0; k < node.Count(); ++k) {
          const HXobjIndexKeyData& e = node.keys[static_cast<size_t>(k)];
          const uint8_t* kp = e.Data();
          const size_t kl = kp ? e.Length() : 0;
          if (kl > static_cast<size_t>(tag_.KeyLength()))
            Problem("node at " + std::to_string(b.offset) + " holds a key longer than the key length");
          if (depth > 0 && !b.key.empty() &&
              CompareEntry(kp, kl, e.RecNo(), b.key.data(), b.key.size(), b.recno) > 0)
            Problem("key " + KeyText(kp, kl) + " (record " + std::to_string(e.RecNo()) + ") in node at " +
                    std::to_string(b.offset) + " is beyond its parent's entry");
          if (depth > 0 && k == 0 && i > 0 &&
              CompareEntry(kp, kl, e.RecNo(), prevBound.data(), prevBound.size(), prevBoundRecno) <= 0)
            Problem("first key of node at " + std::to_string(b.offset) +
                    " is not beyond the parent's entry for its left neighbour");
          if (node.IsLeaf()) {
            if (havePrev) {
              const int c = CompareEntry(prevKey.data(), prevKey.size(), prevRecno, kp, kl, e.RecNo());
              const int ck = CompareBytes(prevKey.data(), prevKey.size(), kp, kl, pad_);
              if (c >= 0)
                Problem("key " + KeyText(kp, kl) + " (record " + std::to_string(e.RecNo()) + ") in leaf at " +
                        std::to_string(b.offset) + " is out of order");
              else if (tag_.Unique() && ck == 0)
                Problem("unique tag holds key " + KeyText(kp, kl) + " twice");
            }
            prevKey.assign(kp, kp + kl);
            prevRecno = e.RecNo();
            havePrev = true;
            entries_.Add(kp, kl, e.RecNo());
            ++summary_.keys;
          } else {
            next.push_back({static_cast<int64_t>(e.Link()), std::vector<uint8_t>(kp, kp + kl), e.RecNo()});
          }
        }
        if (!node.IsLeaf() && node.Count() > 1) {
          for (int k = 1; k < node.Count(); ++k) {
            const HXobjIndexKeyData& a = node.keys[static_cast<size_t>(k - 1)];
            const HXobjIndexKeyData& c = node.keys[static_cast<size_t>(k)];
            if (CompareEntry(a.Data(), a.Data() ? a.Length() : 0, a.RecNo(), c.Data(),
                             c.Data() ? c.Length() : 0, c.RecNo()) >= 0)
              Problem("interior node at " + std::to_string(b.offset) + " has entries out of order");
          }
        }
        prevBound = b.key;
        prevBoundRecno = b.recno;
        if (progress_) progress_(index_, summary_.leaves + summary_.interiorNodes, 0);
      }
      leafLevel = levelIsLeaf;
      if (leafLevel && !next.empty()) {
        Problem("leaves have children");
        return false;
      }
      level = std::move(next);
    }
    return true;
  }

  void CheckRecords() {
    HXO_dBaseFld* table = tag_.Table();
    if (!table || !tag_.KeyHandler() || !tag_.Orderable()) return;
    summary_.recordsChecked = true;
    EntryList expected;
    {
      HxRecordScan scan(*table);
      HXobjIndexKeyData key;
      while (scan.Next()) {
        const uint32_t recno = static_cast<uint32_t>(scan.RecNo());
        try {
          if (tag_.HasFor() && !tag_.TestFor()) continue;
          tag_.CurrentRecordKey(key, recno);
        } catch (const std::exception& e) {
          Problem("record " + std::to_string(recno) + ": its key cannot be built: " + e.what());
          continue;
        }
        expected.Add(key.Data(), key.Data() ? key.Length() : 0, recno);
        if (progress_ && (recno & 0xFFFF) == 0) progress_(index_, recno, scan.Count());
      }
    }
    auto less = [&](const EntryList& list) {
      return [&list, this](const EntryList::Entry& a, const EntryList::Entry& b) {
        return CompareEntry(list.Key(a), a.length, a.recno, list.Key(b), b.length, b.recno) < 0;
      };
    };
    std::sort(expected.entries.begin(), expected.entries.end(), less(expected));
    std::sort(entries_.entries.begin(), entries_.entries.end(), less(entries_));
    if (tag_.Unique())
      CompareUnique(expected);
    else
      CompareAll(expected);
  }

  // Every expected (key, record) exactly once, nothing else.
  void CompareAll(const EntryList& expected) {
    size_t i = 0, j = 0;
    const auto& want = expected.entries;
    const auto& have = entries_.entries;
    while (i < want.size() || j < have.size()) {
      int c;
      if (i >= want.size())
        c = 1;
      else if (j >= have.size())
        c = -1;
      else
        c = CompareEntry(expected.Key(want[i]), want[i].length, want[i].recno, entries_.Key(have[j]),
                         have[j].length, have[j].recno);
      if (c == 0) {
        ++i;
        ++j;
        // The same entry twice in the tag.
        while (j < have.size() &&
               CompareEntry(entries_.Key(have[j - 1]), have[j - 1].length, have[j - 1].recno,
                            entries_.Key(have[j]), have[j].length, have[j].recno) == 0) {
          Problem("record " + std::to_string(have[j].recno) + " is in the tag more than once");
          ++j;
        }
      } else if (c < 0) {
        Problem("record " + std::to_string(want[i].recno) + " is missing (key " +
                KeyText(expected.Key(want[i]), want[i].length) + ")");
        ++i;
      } else {
        Problem("entry for record " + std::to_string(have[j].recno) + " (key " +
                KeyText(entries_.Key(have[j]), have[j].length) + ") matches no record");
        ++j;
      }
    }
  }

  // Each key value at most once, held by one of the records that have it.
  void CompareUnique(const EntryList& expected) {
    size_t i = 0, j = 0;
    const auto& want = expected.entries;
    const auto& have = entries_.entries;
    while (i < want.size() || j < have.size()) {
      // The group of records sharing the next key value.
      size_t end = i;
      while (end < want.size() && CompareBytes(expected.Key(want[i]), want[i].length, expected.Key(want[end]),
                                               want[end].length, pad_) == 0)
        ++end;
      int c;
      if (i >= want.size())
        c = 1;
      else if (j >= have.size())
        c = -1;
      else
        c = CompareBytes(expected.Key(want[i]), want[i].length, entries_.Key(have[j]), have[j].length, pad_);
      if (c == 0) {
        bool member = false;
        for (size_t k = i; k < end; ++k) member = member || want[k].recno == have[j].recno;
        if (!member)
          Problem("entry for record " + std::to_string(have[j].recno) + " holds key " +
                  KeyText(entries_.Key(have[j]), have[j].length) + ", which that record does not have");
        i = end;
        ++j;
      } else if (c < 0) {
        // A key value no entry holds: after the record that held it changed,
        // a unique tag does not take another record of the same value in.
        ++summary_.uniqueValuesNotIndexed;
        i = end;
      } else {
        Problem("entry for record " + std::to_string(have[j].recno) + " (key " +
                KeyText(entries_.Key(have[j]), have[j].length) + ") matches no record");
        ++j;
      }
    }
  }

  HXobjIndexTag& tag_;
  HxIndexCheckReport::TagSummary& summary_;
  std::vector<std::string>& out_;
  const std::function<void(int, int64_t, int64_t)>& progress_;
  int index_;
  uint8_t pad_;
  EntryList entries_;
  size_t count_ = 0;
  size_t dropped_ = 0;
};

}  // namespace

HxIndexCheckReport HxCheckIndexFile(HXobjIndexFile& file,
                                    const std::function<void(int, int64_t, int64_t)>& progress) {
  HxIndexCheckReport report;
  file.Flush();
  for (int i = 0; i < file.TagCount(); ++i) {
    HXobjIndexTag& tag = *file.Tags(i);
    report.tags.push_back({});
    HxIndexCheckReport::TagSummary& summary = report.tags.back();
    summary.name = tag.Name();
    TagChecker(tag, summary, report.problems, progress, i).Run();
  }
  return report;
}
