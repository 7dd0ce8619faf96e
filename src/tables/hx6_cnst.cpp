#include "tables/hx6_cnst.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

struct MessageEntry {
  int id;
  const char* text;
};

// Kept sorted by identifier.
constexpr std::array kMessages{
    MessageEntry{65056, "Invalid Password for encrypted file s%"},
    MessageEntry{65072, "Sort key length must be 1-%d bytes, is %d"},
    MessageEntry{65073, "Cannot add sort keys after beginning retrieval"},
    MessageEntry{65074, "Invalid numeric value in field %s"},
    MessageEntry{65075, "numeric value too big in field %s"},
    MessageEntry{65076, "Invalid date in field %s"},
    MessageEntry{65077, "There is no field name %s"},
    MessageEntry{65078, "Invalid %s value for field %s"},
    MessageEntry{65079, "Field %s is the incorrect type"},
    MessageEntry{65080, "Memo record is bad in %s"},
    MessageEntry{65081, "Record number %d is not in table %s"},
    MessageEntry{65082, "Table Header for %s is invalid"},
    MessageEntry{65083, "Index file %s is corrupted"},
    MessageEntry{65084, "Cannot find index tag %s"},
    MessageEntry{65085, "Could not lock indexes for Table %s"},
    MessageEntry{65086, "A Password is included for unencrypted file %s"},
    MessageEntry{65087, "No Password for encrypted file %s"},
    MessageEntry{65088, "Argument for %s must be %s"},
    MessageEntry{65089, "Target value missing for %s operation"},
    MessageEntry{65090, "The two sides of an operation do not match"},
    MessageEntry{65091, "A %s value is required but invalid"},
    MessageEntry{65092, "A value is required for %s"},
    MessageEntry{65093, "All arguments for %s must be of the same type"},
    MessageEntry{65094, "Field/variable %s is unknown"},
    MessageEntry{65095, "Expression cannot be evaluated"},
    MessageEntry{65096, "Missing closing parentheses"},
    MessageEntry{65097, "Missing closing period"},
    MessageEntry{65098, "Missing closing \"%s\" on literal"},
    MessageEntry{65099, "Expecting \".T.\" or \".F.\""},
    MessageEntry{65100, "Syntax Error in expression \"%s\""},
    MessageEntry{65101, "Variant type is not valid for append"},
    MessageEntry{65102, "Variant types mismatch for compare"},
    MessageEntry{65103, "Variant type cannot be sorted"},
    MessageEntry{65104, "Master/Detail relation failed, field missmatch for %s"},
    MessageEntry{65105, "Error getting FileSize for file %s"},
    MessageEntry{65106, "Error on Flush for file %s"},
    MessageEntry{65107, "Can not Lock file %s"},
    MessageEntry{65108, "File %s could not be found"},
    MessageEntry{65109, "Error on Read of file %s"},
    MessageEntry{65110, "Error in Close of file %s"},
    MessageEntry{65111, "Error on Rename of file %s"},
    MessageEntry{65112, "Access denied to file %s"},
    MessageEntry{65113, "Could not create file %s"},
    MessageEntry{65114, "%s requires full access to file %s"},
    MessageEntry{65115, "Error in Truncate of file %s"},
    MessageEntry{65116, "Error in Unlock of file %s"},
    MessageEntry{65117, "Error writing to %s"},
    MessageEntry{65118, "There is no function for %s"},
    MessageEntry{65119, "%s needed for Argument %d of %s"},
    MessageEntry{65120, "Table exists.  Do you want to overwrite?"},
    MessageEntry{65121, "Field list is invalid"},
    MessageEntry{65122, "Table name missing"},
    MessageEntry{65123, "Cannot find file %s"},
    MessageEntry{65124, "Error getting %s"},
    MessageEntry{65125, "Index file %s already open"},
    MessageEntry{65126, "Record request beyond range of table"},
    MessageEntry{65127, "Cannot delete the record"},
    MessageEntry{65128, "Cannot recall the record"},
    MessageEntry{65129, "Bookmark is invalid for table "},
    MessageEntry{65130, "Record is locked by another user"},
    MessageEntry{65131, "Table is busy building an index"},
    MessageEntry{65132, "Table is busy copying"},
    MessageEntry{65133, "Filter expression must return boolean result"},
    MessageEntry{65134, "Dataset not in edit or insert mode"},
    MessageEntry{65135, "Master/Detail relation failed, no index open for %s"},
    MessageEntry{65150, "A table is not assigned to this object"},
    MessageEntry{65151, "Cannot perform this operation on an open table"},
};

}  // namespace

std::string KeldorMessage(int id) {
  auto it = std::lower_bound(kMessages.begin(), kMessages.end(), id,
                             [](const MessageEntry& e, int v) { return e.id < v; });
  if (it == kMessages.end() || it->id != id) return std::string();
  return it->text;
}

std::string FormatKeldorText(std::string_view text, std::initializer_list<KeldorArg> args) {
  std::string out;
  out.reserve(text.size() + 64);
  auto next = args.begin();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '%' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    char k = text[i + 1];
    if (k == '%') {
      out += '%';
      ++i;
    } else if (k == 's' || k == 'd') {
      if (next != args.end()) {
        out += next->isText ? next->text : std::to_string(next->number);
        ++next;
      }
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

bool IsEncryptionMessage(int id) {
  return id == hxErrInvalidPassword || id == hxErrPasswordForPlainFile || id == hxErrNoPassword;
}

void RaiseKeldorText(int id, const std::string& message) {
  if (IsEncryptionMessage(id)) throw EKeldorEncryption(message);
  throw EKeldorError(message);
}
