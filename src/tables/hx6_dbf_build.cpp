// Table builders (HXO_DBFBuild, HXO_DB4Build, HXO_DBFoxBuild) and the check of
// the table creator's field list.
//
// A new table file is 32 * (fields + 1) + 2 bytes: the header (version, today,
// no records, header length = fields * 32 + 33, record length), the
// descriptors, 0x0D and 0x1A; its header length points at the 0x1A.
#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

namespace {

constexpr size_t kFieldNameBytes = 10;     // stored names are cut to this
constexpr int kMaxWidthAsGiven = 255;      // one width byte
constexpr int kMaxCharacterWidth = 65534;  // two width bytes, and room for the deletion flag
constexpr int64_t kMaxRecordLength = 65535;
// Header length (fields * 32 + 33) is a 16-bit value.
constexpr int kMaxFields = (65535 - static_cast<int>(kDbfFixedPart)) / static_cast<int>(kDbfDescriptorSize);

// Memo-file header images.
constexpr size_t kDb3MemoHeader = 512;
constexpr size_t kDb4MemoHeader = 24;
constexpr size_t kFoxMemoHeader = 512;
constexpr uint32_t kFoxBlockSize = 64;

// Bytes a field of `type` (upper case) takes in the record.
int64_t RecordBytes(char type, int width) {
  switch (type) {
    case 'D':
      return 8;
    case 'L':
      return 1;
    case 'M':
    case 'B':
    case 'G':
      return 10;
    default:
      return width;  // C and every type that stores its width as given
  }
}

// D, L and the memo types have fixed widths whatever the caller gives.
bool FixedWidthType(char type) {
  return type == 'D' || type == 'L' || type == 'M' || type == 'B' || type == 'G';
}

char UpperType(char type) {
  const std::string up = HxUpperCase(std::string_view(&type, 1));
  return up.empty() ? type : up[0];
}

// The name as a descriptor stores it: trimmed, upper-cased, first 10 characters.
std::string StoredName(std::string_view name) {
  std::string up = HxUpperCase(HxTrim(name));
  if (up.size() > kFieldNameBytes) up.resize(kFieldNameBytes);
  return up;
}

// The first 8 characters of the table's base name, zero-padded, at `out`.
void PutMemoName(uint8_t* out, const std::string& baseName) {
  std::memset(out, 0, 8);
  std::memcpy(out, baseName.data(), std::min<size_t>(baseName.size(), 8));
}

}  // namespace

// ---- HXO_DBFBuild -----------------------------------------------------------

// A file written under a temporary name, waiting to be put in place. While it
// waits, an existing target is held open exclusively so that nobody opens it
// between the check and the replacement.
struct HXO_DBFBuild::Staged {
  std::string target;
  std::string temp;  // empty once moved into place
  std::unique_ptr<platform::File> claim;
};

HXO_DBFBuild::HXO_DBFBuild(const std::string& fileName) : HXO_DBFBuild(fileName, 0x83, ".DBT") {}

HXO_DBFBuild::HXO_DBFBuild(const std::string& fileName, uint8_t versionWithMemo, const char* memoExtension)
    : fileName_(ExpandFileName(DefaultExtension(HxTrim(fileName), ".DBF"))),
      baseName_(BaseFileName(fileName_)),
      memoExtension_(memoExtension),
      versionMemo_(versionWithMemo) {}

HXO_DBFBuild::~HXO_DBFBuild() {
  BuildOnDestroy();
  diskFile_.reset();
  DiscardStaged();
  Clear();
}

void HXO_DBFBuild::BuildOnDestroy() noexcept {
  if (!pending_) return;
  try {
    Build();
  } catch (...) {
    // A destructor cannot report; Build has already removed what it staged.
  }
}

std::string HXO_DBFBuild::MemoFileName() const {
  const std::string tableExt = ExtractFileExt(fileName_);
  const bool small =
      std::any_of(tableExt.begin(), tableExt.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  const bool capital =
      std::any_of(tableExt.begin(), tableExt.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  std::string ext = memoExtension_;
  if (small && !capital) ext = HxLowerCase(ext);
  if (capital && !small) ext = HxUpperCase(ext);
  return ChangeFileExt(fileName_, ext);
}

void HXO_DBFBuild::DisposeItem(ThxDescriptorBlock* block) { delete block; }

void HXO_DBFBuild::AddField(std::string_view name, char type, int width, int decimals) {
  const std::string stored = StoredName(name);
  if (stored.empty()) return;
  auto block = std::make_unique<ThxDescriptorBlock>();
  block->fill(0);
  std::memcpy(block->data(), stored.data(), stored.size());
  const char t = UpperType(type);
  (*block)[11] = static_cast<uint8_t>(t);
  switch (t) {
    case 'C':
      (*block)[16] = static_cast<uint8_t>(width & 0xFF);
      (*block)[17] = static_cast<uint8_t>((width >> 8) & 0xFF);
      break;
    case 'D':
      (*block)[16] = 8;
      break;
    case 'L':
      (*block)[16] = 1;
      break;
    case 'M':
    case 'B':
    case 'G':
      (*block)[16] = 10;
      hasMemo_ = true;
      break;
    default:
      (*block)[16] = static_cast<uint8_t>(width & 0xFF);
      (*block)[17] = static_cast<uint8_t>(decimals & 0xFF);
      break;
  }
  recordLength_ += RecordBytes(t, width);
  Add(std::move(block));
}

void HXO_DBFBuild::Build() {
  if (!pending_) return;
  // A failed build is not tried again by the destructor.
  pending_ = false;
  try {
    WriteTableHeader();
    if (hasMemo_) WriteMemoFile();
    CommitStaged();
  } catch (...) {
    DiscardStaged();
    throw;
  }
  auto file = std::make_unique<HXO_DiskFile>(fileName_, false, true);
  file->Open();
  diskFile_ = std::move(file);
}

void HXO_DBFBuild::WriteTableHeader() {
  const int fields = Count();
  std::memset(header_, 0, sizeof header_);
  header_[0] = hasMemo_ ? versionMemo_ : versionPlain_;
  const platform::LocalTime today = platform::Now();
  header_[1] = static_cast<uint8_t>(today.year % 100);
  header_[2] = static_cast<uint8_t>(today.month);
  header_[3] = static_cast<uint8_t>(today.day);
  PutLE32(header_ + 4, 0);
  PutLE16(header_ + 8, static_cast<uint16_t>(fields * kDbfDescriptorSize + kDbfFixedPart));
  PutLE16(header_ + 10, static_cast<uint16_t>(recordLength_));

  std::vector<uint8_t> image(kDbfDescriptorSize * (static_cast<size_t>(fields) + 1) + 2);
  std::memcpy(image.data(), header_, kDbfHeaderSize);
  for (int i = 1; i <= fields; ++i)
    std::memcpy(image.data() + static_cast<size_t>(i) * kDbfDescriptorSize, Items(i - 1)->data(),
                kDbfDescriptorSize);
  image[image.size() - 2] = kDbfTerminator;
  image[image.size() - 1] = kDbfEndOfFile;
  StageFile(fileName_, image);
}

void HXO_DBFBuild::WriteMemoFile() {
  // dBase III: next free block 1, the table's name, one 0x1A after the header block.
  std::vector<uint8_t> image(kDb3MemoHeader + 1, 0);
  PutLE32(image.data(), 1);
  PutMemoName(image.data() + 8, baseName_);
  image[kDb3MemoHeader] = 0x1A;
  StageFile(MemoFileName(), image);
}

void HXO_DBFBuild::StageFile(const std::string& target, const std::vector<uint8_t>& image) {
  Staged staged;
  staged.target = target;
  if (platform::FileExists(target)) {
    // Refused when another program has the file open, or when it is read-only.
    staged.claim = platform::File::Open(target, platform::Access::ReadWrite, platform::Share::Exclusive,
                                        platform::Disposition::OpenExisting);
    if (!staged.claim) RaiseKeldorError(hxErrCreate, target);
  }
  staged.temp = platform::GetTempFileName(ExtractFilePath(target), "vel");
  if (staged.temp.empty()) RaiseKeldorError(hxErrCreate, target);
  staged_.push_back(std::move(staged));  // from here on a failure removes the temporary file

  auto file = platform::File::Open(staged_.back().temp, platform::Access::ReadWrite,
                                   platform::Share::Exclusive, platform::Disposition::OpenExisting);
  if (!file) RaiseKeldorError(hxErrCreate, target);
  const int64_t written = file->WriteAt(0, image.data(), image.size());
  if (written < 0 || static_cast<size_t>(written) != image.size()) RaiseKeldorError(hxErrWrite, target);
  if (!file->Flush()) RaiseKeldorError(hxErrFlush, target);
}

void HXO_DBFBuild::CommitStaged() {
  for (auto& s : staged_) s.claim.reset();
  // The table goes first: should its memo file then fail to move, the new
  // table still opens with the old memo file beside it, while the old table
  // with a new, empty memo file would have lost its memo texts.
  for (auto& s : staged_) {
    if (!platform::MoveFileReplace(s.temp, s.target)) RaiseKeldorError(hxErrCreate, s.target);
    s.temp.clear();
  }
  staged_.clear();
}

void HXO_DBFBuild::DiscardStaged() noexcept {
  for (auto& s : staged_) {
    s.claim.reset();
    if (!s.temp.empty()) platform::DeleteFile(s.temp);
  }
  staged_.clear();
}

// ---- HXO_DB4Build -----------------------------------------------------------

HXO_DB4Build::HXO_DB4Build(const std::string& fileName) : HXO_DBFBuild(fileName, 0x8B, ".DBT") {}

HXO_DB4Build::~HXO_DB4Build() { BuildOnDestroy(); }

void HXO_DB4Build::WriteMemoFile() {
  // dBase IV: free list empty (1 = the end of the file), the table's name,
  // 02 01 and the block size 512. The memo object extends the file to a full
  // block when it first opens it.
  std::vector<uint8_t> image(kDb4MemoHeader, 0);
  PutLE32(image.data(), 1);
  PutMemoName(image.data() + 8, TableBaseName());
  image[18] = 0x02;
  image[19] = 0x01;
  PutLE32(image.data() + 20, 512);
  StageFile(MemoFileName(), image);
}

// ---- HXO_DBFoxBuild ---------------------------------------------------------

HXO_DBFoxBuild::HXO_DBFoxBuild(const std::string& fileName) : HXO_DBFBuild(fileName, 0xF5, ".fpt") {}

HXO_DBFoxBuild::~HXO_DBFoxBuild() { BuildOnDestroy(); }

void HXO_DBFoxBuild::WriteMemoFile() {
  // FoxPro (big-endian): next free block 8 (right after this header), block size 64.
  std::vector<uint8_t> image(kFoxMemoHeader, 0);
  PutBE32(image.data(), static_cast<uint32_t>(kFoxMemoHeader / kFoxBlockSize));
  PutBE16(image.data() + 6, static_cast<uint16_t>(kFoxBlockSize));
  StageFile(MemoFileName(), image);
}

// ---- the creator's field list -------------------------------------------------

namespace {

// A whole number in decimal: leading blanks, an optional sign, digits and
// nothing after them.
bool ParseWhole(std::string_view text, int& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > INT_MAX) return false;
  }
  value = static_cast<int>(negative ? -v : v);
  return true;
}

bool ValidFieldName(std::string_view name) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (name.empty() || !letter(name[0])) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '_'; });
}

std::string Quoted(std::string_view text) {
  std::string out(1, '"');
  out.append(text);
  out += '"';
  return out;
}

// Splits one line (trailing blanks and semicolons already gone); false with
// the reason when it does not read name;type;size;decimals.
bool SplitLine(std::string_view line, ThxFieldDescription& out, std::string& why) {
  const size_t afterName = line.find(';');
  if (afterName == std::string_view::npos) {
    why = "no \";\" after the name";
    return false;
  }
  out.name = std::string(line.substr(0, afterName));
  std::string_view rest = line.substr(afterName + 1);
  const size_t afterType = rest.find(';');
  if (afterType != 1) {
    why = afterType == std::string_view::npos
              ? "no \";\" after the type"
              : "the type " + Quoted(rest.substr(0, afterType)) + " is not exactly one character";
    return false;
  }
  out.type = rest[0];
  rest = rest.substr(2);
  const size_t afterSize = rest.find(';');
  if (afterSize == std::string_view::npos) {
    why = "no decimals after the size";
    return false;
  }
  if (!ParseWhole(rest.substr(0, afterSize), out.size)) {
    why = "the size " + Quoted(rest.substr(0, afterSize)) + " is not a whole number";
    return false;
  }
  // Only the first three characters of the decimals count.
  const std::string_view decimals = rest.substr(afterSize + 1, 3);
  if (!ParseWhole(decimals, out.decimals)) {
    why = "the decimals " + Quoted(decimals) + " are not a whole number";
    return false;
  }
  return true;
}

// Whether the field fits a descriptor; false with the reason.
bool CheckFieldFits(const ThxFieldDescription& f, std::string& why) {
  const std::string trimmed = HxTrim(f.name);
  if (!trimmed.empty() && !ValidFieldName(trimmed)) {
    why = "the name " + Quoted(trimmed) +
          " is not a field name (a letter, then letters, digits and underscores)";
    return false;
  }
  const char type = UpperType(f.type);
  if (type == 'C') {
    if (f.size < 1 || f.size > kMaxCharacterWidth) {
      why = "a field of type C is 1 to " + std::to_string(kMaxCharacterWidth) + " characters wide, not " +
            std::to_string(f.size);
      return false;
    }
  } else if (!FixedWidthType(type)) {
    if (f.size < 1 || f.size > kMaxWidthAsGiven) {
      why = "a field of type " + std::string(1, type) + " is 1 to " + std::to_string(kMaxWidthAsGiven) +
            " wide, not " + std::to_string(f.size);
      return false;
    }
    if (f.decimals < 0 || f.decimals > f.size) {
      why = std::to_string(f.decimals) + " decimals do not fit a width of " + std::to_string(f.size);
      return false;
    }
  }
  return true;
}

}  // namespace

ThxFieldListCheck CheckFieldList(const std::vector<std::string>& lines) {
  ThxFieldListCheck check;
  auto fail = [&](int line, std::string why) {
    check.valid = false;
    check.line = line;
    check.reason = std::move(why);
    check.fields.clear();
    return check;
  };
  if (lines.empty()) return fail(0, "the list has no lines");

  std::vector<std::string> stored;  // the stored name of each line so far
  int64_t recordLength = 1;
  int fieldCount = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const int lineNo = static_cast<int>(i) + 1;
    std::string_view line = lines[i];
    while (!line.empty() && (static_cast<unsigned char>(line.back()) <= ' ' || line.back() == ';'))
      line.remove_suffix(1);
    if (line.empty()) return fail(lineNo, "the line is empty");

    ThxFieldDescription field;
    std::string why;
    if (!SplitLine(line, field, why)) return fail(lineNo, why);
    // Names repeat as the table would store them: "CUSTOMERNAME1" and
    // "CUSTOMERNAME2" would both become CUSTOMERNA.
    const std::string name = StoredName(field.name);
    for (size_t k = 0; k < stored.size(); ++k)
      if (stored[k] == name)
        return fail(lineNo, name.empty()
                                ? "a second field without a name (line " + std::to_string(k + 1) + ")"
                                : "the name " + Quoted(name) + " repeats line " + std::to_string(k + 1));
    stored.push_back(name);
    if (!CheckFieldFits(field, why)) return fail(lineNo, why);

    if (!name.empty()) {
      if (++fieldCount > kMaxFields)
        return fail(lineNo, "a table holds at most " + std::to_string(kMaxFields) + " fields");
      recordLength += RecordBytes(UpperType(field.type), field.size);
      if (recordLength > kMaxRecordLength)
        return fail(lineNo, "the record would be " + std::to_string(recordLength) +
                                " bytes long, more than " + std::to_string(kMaxRecordLength));
    }
    check.fields.push_back(std::move(field));
  }
  check.valid = true;
  return check;
}
