// The table engine's message table and exception classes.
//
// Every failure of the table engine is an exception carrying one of the
// messages below with its placeholders filled (%s text, %d integer, in
// order). Password faults are EKeldorEncryption, everything else raised here
// is EKeldorError (the expression engine adds EKeldorExpression).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "framework/exceptions.h"

// ---- message identifiers -------------------------------------------------

inline constexpr int hxErrInvalidPassword = 65056;  // "Invalid Password for encrypted file s%"
inline constexpr int hxErrSortKeyLength = 65072;    // "Sort key length must be 1-%d bytes, is %d"
inline constexpr int hxErrSortKeysAfterRetrieval = 65073;
inline constexpr int hxErrInvalidNumeric = 65074;        // "Invalid numeric value in field %s"
inline constexpr int hxErrNumericTooBig = 65075;         // "numeric value too big in field %s"
inline constexpr int hxErrInvalidDate = 65076;           // "Invalid date in field %s"
inline constexpr int hxErrNoFieldName = 65077;           // "There is no field name %s"
inline constexpr int hxErrInvalidFieldValue = 65078;     // "Invalid %s value for field %s"
inline constexpr int hxErrFieldIncorrectType = 65079;    // "Field %s is the incorrect type"
inline constexpr int hxErrMemoRecordBad = 65080;         // "Memo record is bad in %s"
inline constexpr int hxErrRecordNotInTable = 65081;      // "Record number %d is not in table %s"
inline constexpr int hxErrTableHeaderInvalid = 65082;    // "Table Header for %s is invalid"
inline constexpr int hxErrIndexCorrupted = 65083;        // "Index file %s is corrupted"
inline constexpr int hxErrIndexTagNotFound = 65084;      // "Cannot find index tag %s"
inline constexpr int hxErrCannotLockIndexes = 65085;     // "Could not lock indexes for Table %s"
inline constexpr int hxErrPasswordForPlainFile = 65086;  // "A Password is included for unencrypted file %s"
inline constexpr int hxErrNoPassword = 65087;            // "No Password for encrypted file %s"

// Expression messages.
inline constexpr int hxExpArgumentMustBe = 65088;      // "Argument for %s must be %s"
inline constexpr int hxExpTargetMissing = 65089;       // "Target value missing for %s operation"
inline constexpr int hxExpSidesDoNotMatch = 65090;     // "The two sides of an operation do not match"
inline constexpr int hxExpValueInvalid = 65091;        // "A %s value is required but invalid"
inline constexpr int hxExpValueRequired = 65092;       // "A value is required for %s"
inline constexpr int hxExpSameType = 65093;            // "All arguments for %s must be of the same type"
inline constexpr int hxExpUnknownVariable = 65094;     // "Field/variable %s is unknown"
inline constexpr int hxExpCannotEvaluate = 65095;      // "Expression cannot be evaluated"
inline constexpr int hxExpMissingParenthesis = 65096;  // "Missing closing parentheses"
inline constexpr int hxExpMissingPeriod = 65097;       // "Missing closing period"
inline constexpr int hxExpMissingQuote = 65098;        // "Missing closing "%s" on literal"
inline constexpr int hxExpExpectingLogical = 65099;    // "Expecting ".T." or ".F.""
inline constexpr int hxExpSyntaxError = 65100;         // "Syntax Error in expression "%s""

inline constexpr int hxErrVariantAppend = 65101;       // "Variant type is not valid for append"
inline constexpr int hxErrVariantMismatch = 65102;     // "Variant types mismatch for compare"
inline constexpr int hxErrVariantNotSortable = 65103;  // "Variant type cannot be sorted"
inline constexpr int hxErrMasterDetailField =
    65104;                                         // "Master/Detail relation failed, field missmatch for %s"
inline constexpr int hxErrFileSize = 65105;        // "Error getting FileSize for file %s"
inline constexpr int hxErrFlush = 65106;           // "Error on Flush for file %s"
inline constexpr int hxErrCannotLock = 65107;      // "Can not Lock file %s"
inline constexpr int hxErrFileNotFound = 65108;    // "File %s could not be found"
inline constexpr int hxErrRead = 65109;            // "Error on Read of file %s"
inline constexpr int hxErrClose = 65110;           // "Error in Close of file %s"
inline constexpr int hxErrRename = 65111;          // "Error on Rename of file %s"
inline constexpr int hxErrAccessDenied = 65112;    // "Access denied to file %s"
inline constexpr int hxErrCreate = 65113;          // "Could not create file %s"
inline constexpr int hxErrFullAccess = 65114;      // "%s requires full access to file %s"
inline constexpr int hxErrTruncate = 65115;        // "Error in Truncate of file %s"
inline constexpr int hxErrUnlock = 65116;          // "Error in Unlock of file %s"
inline constexpr int hxErrWrite = 65117;           // "Error writing to %s"
inline constexpr int hxExpNoFunction = 65118;      // "There is no function for %s"
inline constexpr int hxExpArgumentNeeded = 65119;  // "%s needed for Argument %d of %s"
inline constexpr int hxMsgTableExists = 65120;     // question: "Table exists.  Do you want to overwrite?"
inline constexpr int hxErrFieldListInvalid = 65121;  // "Field list is invalid"

// Dataset messages.
inline constexpr int hxDsTableNameMissing = 65122;   // "Table name missing"
inline constexpr int hxDsCannotFindFile = 65123;     // "Cannot find file %s"
inline constexpr int hxDsErrorGetting = 65124;       // "Error getting %s"
inline constexpr int hxDsIndexAlreadyOpen = 65125;   // "Index file %s already open"
inline constexpr int hxDsRecordBeyondRange = 65126;  // "Record request beyond range of table"
inline constexpr int hxDsCannotDelete = 65127;       // "Cannot delete the record"
inline constexpr int hxDsCannotRecall = 65128;       // "Cannot recall the record"
inline constexpr int hxDsBookmarkInvalid = 65129;    // "Bookmark is invalid for table "
inline constexpr int hxDsRecordLocked = 65130;       // "Record is locked by another user"
inline constexpr int hxDsBusyIndexing = 65131;       // "Table is busy building an index"
inline constexpr int hxDsBusyCopying = 65132;        // "Table is busy copying"
inline constexpr int hxErrFilterNotBoolean = 65133;  // "Filter expression must return boolean result"
inline constexpr int hxDsNotEditing = 65134;         // "Dataset not in edit or insert mode"
inline constexpr int hxDsMasterDetailNoIndex =
    65135;                                           // "Master/Detail relation failed, no index open for %s"
inline constexpr int hxErrTableNotAssigned = 65150;  // "A table is not assigned to this object"
inline constexpr int hxErrTableIsOpen = 65151;       // "Cannot perform this operation on an open table"

// ---- exception classes ---------------------------------------------------

class EKeldorError : public Exception {
 public:
  using Exception::Exception;
};

class EKeldorEncryption : public Exception {
 public:
  using Exception::Exception;
};

// ---- message lookup and formatting ---------------------------------------

// The text of a message as stored; empty for an identifier the table lacks.
std::string KeldorMessage(int id);

// One placeholder value: text for %s, integer for %d. Either kind fills either
// placeholder (an integer given for %s is written in decimal, a text given
// for %d is inserted as it is).
struct KeldorArg {
  KeldorArg(const std::string& s) : isText(true), text(s) {}    // NOLINT(runtime/explicit)
  KeldorArg(const char* s) : isText(true), text(s ? s : "") {}  // NOLINT
  KeldorArg(std::string_view s) : isText(true), text(s) {}      // NOLINT
  template <typename I, typename = std::enable_if_t<std::is_integral_v<I>>>
  KeldorArg(I v) : isText(false), number(static_cast<int64_t>(v)) {}  // NOLINT
  bool isText;
  std::string text;
  int64_t number = 0;
};

// Fills %s and %d in order; "%%" gives "%"; any other "%" stays as written
// (65056 ends in "s%", which is text, not a placeholder). Missing values
// leave their placeholder empty; surplus values are ignored.
std::string FormatKeldorText(std::string_view text, std::initializer_list<KeldorArg> args);

template <typename... Args>
std::string FormatKeldorMessage(int id, const Args&... args) {
  return FormatKeldorText(KeldorMessage(id), {KeldorArg(args)...});
}

// True for the identifiers raised as EKeldorEncryption (65056, 65086, 65087).
bool IsEncryptionMessage(int id);

// Raises the message's exception: EKeldorEncryption for the password
// messages, EKeldorError for every other identifier.
[[noreturn]] void RaiseKeldorText(int id, const std::string& message);

template <typename... Args>
[[noreturn]] void RaiseKeldorError(int id, const Args&... args) {
  RaiseKeldorText(id, FormatKeldorMessage(id, args...));
}
