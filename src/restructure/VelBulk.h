// The record copy of a restructure done on record images, for the common
// case where the new structure only adds fields and widens them.
//
// When every field of the old table has a field of its name in the new
// table, of the same type (C, N, F, D, L or M), no narrower and (numbers)
// with the same decimals, each value goes across as its own bytes: text
// padded with blanks, numbers right-aligned digit for digit, dates and
// logicals as the field rules read them, memos through the memo files. The
// result is what assigning each value through the two datasets gives (a
// blank number becomes 0, an invalid date blank, a logical T or F), but the
// old and new records move in blocks of 64 KiB instead of one write and one
// header update per record, and text keeps every byte (no trip through the
// ANSI code page, which has no room for some OEM characters).
//
// A value whose bytes are not the form the field rules would write (a
// number with leading zeros, "+5", ".5") stops the direct copy; the caller
// then copies the table through the datasets instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum class TDirectCopy {
  Done,
  // The structures need conversions: nothing was written.
  NotApplicable,
  // A value needs the field rules: the new table holds part of the records
  // and must be made anew before the dataset copy.
  NeedsConversion
};

// Copies the live records of the table `oldTable` into the empty table
// `newTable` (full paths; the new table must not be open elsewhere).
// `progress` receives each live record's number once it was copied.
TDirectCopy CopyRecordImages(const std::string& oldTable, const std::string& newTable,
                             const std::function<void(int64_t recno)>& progress, int64_t& copied);
