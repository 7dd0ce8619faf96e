#include "archive/zarvoFileScan.h"

#include <algorithm>
#include <string>

#include "framework/application.h"
#include "framework/sysutils.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/volume.h"

namespace {

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Symbols of a compiled mask for the covering test.
constexpr int kSymStar = -1;
constexpr int kSymAny = -2;

// "*.*" and an empty mask stand for every name in a scan.
std::string NormalizeScanMask(const std::string& mask) {
  if (mask.empty() || mask == "*.*") return "*";
  return mask;
}

// Identity of a folder on the host, to notice a link that leads back into
// one of the folders being scanned. Empty when it cannot be told.
std::string FolderIdentity(const std::string& dosFolder) {
  platform::FileIdentity id;
  if (!platform::GetFolderIdentity(dosFolder, id)) return {};
  return std::to_string(id.device) + ":" + std::to_string(id.inode);
}

}  // namespace

// ---- attributes ----

bool AttributesSatisfy(TZarvoFileAttrs set, uint32_t a) {
  return (set.contains(fsReadOnly) && (a & platform::kAttrReadOnly)) ||
         (set.contains(fsHidden) && (a & platform::kAttrHidden)) ||
         (set.contains(fsSysFile) && (a & platform::kAttrSystem)) ||
         (set.contains(fsDirectory) && (a & platform::kAttrDirectory)) ||
         (set.contains(fsArchive) && (a & platform::kAttrArchive)) ||
         (set.contains(fsCompressed) && (a & platform::kAttrCompressed)) ||
         (set.contains(fsEncrypted) && (a & platform::kAttrEncrypted)) ||
         (set.contains(fsZeroAttr) && (a == 0 || a == platform::kAttrNormal));
}

bool AttributesAdmit(TZarvoFileAttrs wanted, TZarvoFileAttrs unwanted, uint32_t a) {
  bool want = (a & kAttrNotContentIndexed) != 0 || AttributesSatisfy(wanted, a);
  return want && !AttributesSatisfy(unwanted, a);
}

// ---- masks ----

void TInternalMask::Compile(std::string_view pattern) {
  pattern_.assign(pattern);
  items_.clear();
  bool star = false;
  for (char c : pattern) {
    if (c == '*') {
      star = true;
    } else if (c == '?') {
      // A "?" after a "*" adds nothing the "*" would not take.
      if (!star) items_.push_back({Kind::AnyOne, false, 0});
    } else {
      items_.push_back({Kind::Literal, star, FoldAscii(c)});
      star = false;
    }
  }
  items_.push_back({Kind::End, star, 0});
  trailingDot_ = !pattern.empty() && pattern.back() == '.';
}

bool TInternalMask::MatchItems(std::string_view name) const {
  const size_t n = name.size();
  size_t item = 0, pos = 0;
  // The most recent "*" item and where its next search starts.
  size_t backItem = SIZE_MAX, backPos = 0;
  for (;;) {
    const Item& it = items_[item];
    if (it.star) {
      if (it.kind == Kind::End) return true;
      size_t q = pos;
      while (q < n && FoldAscii(name[q]) != it.ch) ++q;
      // When the latest "*" cannot find its character further on, no earlier
      // "*" can help either: they only push the rest further right.
      if (q >= n) return false;
      backItem = item;
      backPos = q + 1;
      pos = q + 1;
      ++item;
      continue;
    }
    bool ok = false;
    switch (it.kind) {
      case Kind::Literal:
        ok = pos < n && FoldAscii(name[pos]) == it.ch;
        break;
      case Kind::AnyOne:
        ok = pos < n;
        break;
      case Kind::End:
        if (pos == n) return true;
        break;
    }
    if (ok) {
      ++pos;
      ++item;
      continue;
    }
    if (backItem == SIZE_MAX) return false;
    item = backItem;
    pos = backPos;
  }
}

bool TInternalMask::Matches(std::string_view name) const {
  if (trailingDot_ && name.find('.') == std::string_view::npos) {
    std::string dotted(name);
    dotted += '.';
    return MatchItems(dotted);
  }
  return MatchItems(name);
}

std::vector<int> TInternalMask::Symbols() const {
  std::vector<int> s;
  for (const Item& it : items_) {
    if (it.star) s.push_back(kSymStar);
    if (it.kind == Kind::Literal) s.push_back(static_cast<unsigned char>(it.ch));
    if (it.kind == Kind::AnyOne) s.push_back(kSymAny);
  }
  return s;
}

bool TInternalMask::CoveredBy(const TInternalMask& wider) const {
  const std::vector<int> w = wider.Symbols();
  const std::vector<int> f = Symbols();
  const bool widerAcceptsAll =
      !w.empty() && std::all_of(w.begin(), w.end(), [](int s) { return s == kSymStar; });
  if (widerAcceptsAll) return true;
  // A mask ending in "." also takes the names without a dot; a wider mask
  // that lacks the rule might miss them.
  if (trailingDot_ && !wider.trailingDot_) return false;
  // cov[i][j]: wider symbols from i cover narrower symbols from j. A "*" of
  // the wider mask takes any symbol, a "?" any single character (or "?"),
  // a character only itself; a "*" of the narrower mask needs a "*".
  const size_t m = w.size(), k = f.size();
  std::vector<char> cov((m + 1) * (k + 1), 0);
  auto at = [&](size_t i, size_t j) -> char& { return cov[i * (k + 1) + j]; };
  for (size_t i = m + 1; i-- > 0;) {
    for (size_t j = k + 1; j-- > 0;) {
      char r;
      if (i == m) {
        r = j == k;
      } else if (w[i] == kSymStar) {
        r = at(i + 1, j) || (j < k && at(i, j + 1));
      } else if (j == k || f[j] == kSymStar) {
        r = 0;
      } else if (w[i] == kSymAny) {
        r = at(i + 1, j + 1);
      } else {
        r = f[j] == w[i] && at(i + 1, j + 1);
      }
      at(i, j) = r;
    }
  }
  return at(0, 0) != 0;
}

bool MaskMatches(std::string_view pattern, std::string_view name) {
  return TInternalMask(pattern).Matches(name);
}

std::vector<std::string> SplitMaskString(std::string_view masks) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= masks.size()) {
    size_t comma = masks.find(',', start);
    if (comma == std::string_view::npos) comma = masks.size();
    std::string_view part = masks.substr(start, comma - start);
    size_t first = part.find_first_not_of(' ');
    if (first != std::string_view::npos) out.emplace_back(part.substr(first));
    start = comma + 1;
  }
  return out;
}

// ---- scan groups ----

namespace {

std::string FoldName(std::string_view name) {
  std::string s(name);
  for (char& c : s) c = FoldAscii(c);
  return s;
}

bool IsPlainName(const std::string& pattern) {
  return pattern.find_first_of("*?") == std::string::npos && !pattern.empty() && pattern.back() != '.';
}

}  // namespace

void TScanGroup::Add(const std::string& pattern) {
  if (IsPlainName(pattern)) {
    std::string key = FoldName(pattern);
    if (names_.count(key)) return;
    if (std::any_of(masks_.begin(), masks_.end(), [&](const TMultiMask& m) { return m.mask.Matches(key); }))
      return;
    names_.insert(std::move(key));
    return;
  }
  TInternalMask added(pattern);
  if (std::any_of(masks_.begin(), masks_.end(), [&](const TMultiMask& m) { return added.CoveredBy(m.mask); }))
    return;
  // The wider mask takes the place of the ones it covers.
  std::erase_if(masks_, [&](const TMultiMask& m) { return m.mask.CoveredBy(added); });
  std::erase_if(names_, [&](const std::string& n) { return added.Matches(n); });
  masks_.emplace_back(pattern);
}

bool TScanGroup::Matches(std::string_view name) const {
  if (!names_.empty() && names_.count(FoldName(name))) return true;
  return std::any_of(masks_.begin(), masks_.end(), [&](const TMultiMask& m) { return m.mask.Matches(name); });
}

std::vector<std::string> TScanGroup::Patterns() const {
  std::vector<std::string> out;
  for (const TMultiMask& m : masks_) out.push_back(m.mask.Pattern());
  out.insert(out.end(), names_.begin(), names_.end());
  return out;
}

// ---- result list ----

void TBaseFileList::Insert(int index, std::unique_ptr<TFileObject> item) {
  size_t at = std::min(static_cast<size_t>(std::max(index, 0)), items_.size());
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
}

void TBaseFileList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  items_.erase(items_.begin() + index);
}

namespace {

std::string_view Extension(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot);
}

template <class T>
int Three(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

int TFilesList::Compare(TZarvoSortOptions order, const TFileObject& a, const TFileObject& b) {
  switch (order) {
    case soByName:
      return platform::AnsiCompareText(a.name, b.name);
    case soByType:
      return platform::AnsiCompareText(Extension(a.name), Extension(b.name));
    case soBySize:
      // The whole 64-bit size: files of 2 GB and more sort after smaller ones.
      return Three(a.Size(), b.Size());
    case soByTime:
      // Unsigned: dates from 2044 on set the top bit and still sort last.
      return Three(a.dosDateTime, b.dosDateTime);
    case soUnsort:
      break;
  }
  return Three(a.discovery, b.discovery);
}

void TFilesList::AddSorted(std::unique_ptr<TFileObject> item, TZarvoSortOptions order) {
  if (order == soUnsort) {
    Add(std::move(item));
    return;
  }
  auto pos =
      std::upper_bound(items_.begin(), items_.end(), item,
                       [order](const std::unique_ptr<TFileObject>& x, const std::unique_ptr<TFileObject>& y) {
                         return Compare(order, *x, *y) < 0;
                       });
  items_.insert(pos, std::move(item));
}

void TFilesList::Sort(TZarvoSortOptions order) {
  std::stable_sort(items_.begin(), items_.end(),
                   [order](const std::unique_ptr<TFileObject>& x, const std::unique_ptr<TFileObject>& y) {
                     int c = Compare(order, *x, *y);
                     return c != 0 ? c < 0 : x->discovery < y->discovery;
                   });
}

// ---- the scanner ----

TZarvoFileScan::TZarvoFileScan(TComponent* owner)
    : TComponent(owner), fileSpec_(std::make_unique<TStringList>()) {
  fileSpec_->OnChange = [this](TStrings*) {
    if (quietSpec_) return;
    fileSpecMode_ = true;
    mask_.clear();
  };
  ResetFileCallback();
}

TZarvoFileScan::~TZarvoFileScan() = default;

void TZarvoFileScan::SetFileSpec(const TStrings& value) {
  quietSpec_ = true;
  fileSpec_->Assign(value);
  quietSpec_ = false;
  fileSpecMode_ = true;
  mask_.clear();
}

void TZarvoFileScan::SetMask(const std::string& v) {
  mask_ = v;
  fileSpecMode_ = false;
  quietSpec_ = true;
  fileSpec_->Clear();
  quietSpec_ = false;
}

void TZarvoFileScan::SetRootDir(const std::string& v) {
  rootDir_ = v;
  if (!rootDir_.empty() && rootDir_.back() != '\\') rootDir_ += '\\';
}

void TZarvoFileScan::SetSorted(TZarvoSortOptions v) {
  if (v == sorted_) return;
  sorted_ = v;
  files_.Sort(sorted_);
  if (files_.Count() > 0 && OnFinished) OnFinished(this, filesCount_, filesSize_);
}

void TZarvoFileScan::ResetFileCallback() {
  callback_ = [this](const std::string& folder, const platform::FileInfo& found) {
    AddToList(folder, found);
  };
}

void TZarvoFileScan::AddToList(const std::string& folder, const platform::FileInfo& found) {
  auto obj = std::make_unique<TFileObject>();
  if ((found.attributes & platform::kAttrDirectory) == 0) obj->name = found.name;
  obj->folder = folder;
  obj->sizeLow = static_cast<uint32_t>(found.size);
  obj->sizeHigh = static_cast<uint32_t>(found.size >> 32);
  obj->attributes = found.attributes;
  obj->dosDateTime = platform::UnixToDosDateTime(found.modified);
  obj->discovery = discovered_++;
  files_.AddSorted(std::move(obj), sorted_);
}

void TZarvoFileScan::Scan() {
  if (scanning_) return;
  scanning_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{scanning_};

  files_.Clear();
  filesCount_ = 0;
  filesSize_ = 0;
  discovered_ = 0;
  cancelled_ = false;
  if (fileSpecMode_)
    ScanFileSpecs();
  else
    ScanRootDir();
  if (OnFinished) OnFinished(this, filesCount_, filesSize_);
}

std::string TZarvoFileScan::ResolveFolder(const std::string& folderPart) const {
  std::string folder = folderPart;
  if (folder.empty()) folder = rootDir_;
  if (folder.empty()) folder = platform::GetCurrentDirectory();
  // Relative folders ("data\", "D:") are taken from the current folder, as
  // the platform would; made whole here so grouping and OnRootDirChange see
  // the folder that is really listed.
  bool absolute =
      (folder.size() >= 3 && folder[1] == ':' && folder[2] == '\\') || folder.rfind("\\\\", 0) == 0;
  if (!absolute) folder = platform::GetFullPathName(folder);
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder;
}

void TZarvoFileScan::SetFileSpecSilently(const std::vector<Pending>& remaining) {
  quietSpec_ = true;
  fileSpec_->Clear();
  for (const Pending& p : remaining) fileSpec_->Add(p.line);
  quietSpec_ = false;
}

void TZarvoFileScan::ScanFileSpecs() {
  std::vector<Pending> pending;
  for (int i = 0; i < fileSpec_->Count(); ++i) {
    std::string line = (*fileSpec_)[i];
    std::string spec = Trim(line);
    if (spec.empty()) continue;
    std::replace(spec.begin(), spec.end(), '/', '\\');
    size_t cut = spec.find_last_of("\\:");
    std::string folderPart = cut == std::string::npos ? std::string() : spec.substr(0, cut + 1);
    std::string file = cut == std::string::npos ? spec : spec.substr(cut + 1);
    // Entries are grouped by the folder they resolve to, so a bare mask and
    // one naming RootDir explicitly share one listing of that folder.
    pending.push_back({line, ResolveFolder(folderPart), NormalizeScanMask(file)});
  }
  SetFileSpecSilently(pending);

  while (!pending.empty() && !Cancelled()) {
    const std::string folder = pending.front().folder;
    TScanGroup group;
    group.Add(pending.front().file);
    std::vector<Pending> later;
    for (size_t i = 1; i < pending.size(); ++i) {
      Pending& p = pending[i];
      if (platform::CompareTextAscii(p.folder, folder) != 0) {
        later.push_back(std::move(p));
        continue;
      }
      group.Add(p.file);
    }

    if (OnRootDirChange) OnRootDirChange(this, folder);
    pending = std::move(later);
    SetFileSpecSilently(pending);
    ScanTarget(folder, group);
  }
}

void TZarvoFileScan::ScanRootDir() {
  if (scanOptions_ != soScanDrvs && (rootDir_.empty() || !platform::DirectoryExists(rootDir_))) return;
  TScanGroup group;
  for (const std::string& m : SplitMaskString(mask_)) group.Add(NormalizeScanMask(m));
  ScanTarget(rootDir_, group);
}

void TZarvoFileScan::ScanTarget(const std::string& folder, const TScanGroup& masks) {
  std::vector<std::string> ancestors;
  if (scanOptions_ != soScanDrvs) {
    ScanFolder(folder, {}, masks, ancestors);
    return;
  }
  for (char letter = 'A'; letter <= 'Z' && !Cancelled(); ++letter) {
    if (!platform::GetDriveMapping(letter)) continue;
    std::string root = std::string(1, letter) + ":\\";
    switch (platform::GetDriveType(root)) {
      case platform::DriveType::Fixed:
      case platform::DriveType::Remote:
      case platform::DriveType::CdRom:
      case platform::DriveType::RamDisk:
        ancestors.clear();
        ScanFolder(root, {}, masks, ancestors);
        break;
      default:
        break;
    }
  }
}

void TZarvoFileScan::ScanFolder(const std::string& folder, const std::string& identity,
                                const TScanGroup& masks, std::vector<std::string>& ancestors) {
  if (OnRecurseDir) OnRecurseDir(this, folder);
  std::vector<platform::FileInfo> entries;
  if (!platform::ListDirectory(folder, entries)) return;
  if (recurseDirs_) ancestors.push_back(identity.empty() ? FolderIdentity(folder) : identity);

  for (const platform::FileInfo& e : entries) {
    if (Cancelled()) break;
    const bool isFolder = (e.attributes & platform::kAttrDirectory) != 0;
    if (Admits(e.attributes)) {
      if (isFolder) {
        if (updateList_ && callback_) callback_(folder + e.name + '\\', e);
      } else if (masks.Matches(e.name)) {
        ++filesCount_;
        filesSize_ += static_cast<int64_t>(e.size);
        if (OnScanFile) OnScanFile(this, e.name, filesCount_, filesSize_);
        if (updateList_ && callback_) callback_(folder, e);
      }
    }
    if (isFolder && recurseDirs_ && (includeHiddenDirs_ || (e.attributes & platform::kAttrHidden) == 0)) {
      std::string sub = folder + e.name + '\\';
      // A link back into a folder being scanned would never end.
      std::string id = FolderIdentity(sub);
      if (id.empty() || std::find(ancestors.begin(), ancestors.end(), id) == ancestors.end())
        ScanFolder(sub, id, masks, ancestors);
    }
    Application().ProcessMessages();
  }
  if (recurseDirs_) ancestors.pop_back();
}
