// What a restructure does to a table before it does it: the fields added,
// dropped, widened, narrowed or retyped, and the values that would not
// survive the new structure, record by record.
//
// A value survives when the new field gives it back: after the old value is
// assigned to the new field (as the copy assigns it, a variant converted by
// the field's rules) and read back, the result equals the old value. Text is
// compared as text (trailing blanks do not count); a number, date or logical
// is compared after the new value is turned back into the old kind, so a
// number cut short in a narrower text field, a date whose year was cut, or a
// number folded into a logical is caught. An assignment the field refuses
// (a number too big for its width, text that is no number) is a loss too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/variants.h"

class TField;

// A field as a table header or a dictionary row gives it.
struct TFieldSpec {
  std::string name;
  char type = 'C';
  int width = 0;
  int decimals = 0;
  // "C 30", "N 10.2".
  std::string Text() const;
};

struct TFieldChange {
  enum Kind { Added, Dropped, Widened, Narrowed, Retyped, Decimals } kind = Added;
  TFieldSpec before;  // empty for Added
  TFieldSpec after;   // empty for Dropped
  static const char* KindName(Kind kind);
};

// The changes from `before` to `after`, matching fields by name (letter case
// ignored): changed and dropped fields in the old order, then added ones in
// the new order.
std::vector<TFieldChange> CompareStructures(const std::vector<TFieldSpec>& before,
                                            const std::vector<TFieldSpec>& after);

// Whether a value of `before` can be lost in `after` at all; fields for which
// it cannot are not checked value by value.
bool CanLoseValues(const TFieldSpec& before, const TFieldSpec& after);

// One value that would not survive.
struct TValueLoss {
  int64_t record = 0;  // physical record number in the old table
  std::string field;
  std::string reason;  // "text longer than 20", "does not fit N 6.2", "does not convert: ..."
  std::string value;   // the old value as text, cut to 60 characters
};

// Losses of one table: the first kMaxListed in record order, and how many in all.
struct TLossList {
  static constexpr size_t kMaxListed = 1000;
  std::vector<TValueLoss> items;
  int64_t count = 0;
  void Add(TValueLoss loss);
  bool Empty() const { return count == 0; }
  // "CUSTOMER: 3 values do not survive the new structure (NAME in record 5: text longer than 20, ...)".
  std::string Summary(const std::string& table) const;
};

// True when `after`, read back from the new field, still holds `before`.
bool ValueSurvives(const Variant& before, const Variant& after);

// The reason a value that did not survive is reported with.
std::string LossReason(const Variant& before, const Variant& after, const TFieldSpec& target);

// The old value as the reports show it.
std::string LossValueText(const Variant& before);
