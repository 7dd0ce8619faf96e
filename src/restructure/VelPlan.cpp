#include "restructure/VelPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "framework/sysutils.h"
#include "platform/text.h"

namespace {

enum class Kind { Text, Number, Logical, Date, Other };

Kind KindOf(const Variant& v) {
  switch (v.VarType()) {
    case TVarType::varString:
      return Kind::Text;
    case TVarType::varInteger:
    case TVarType::varInt64:
    case TVarType::varDouble:
    case TVarType::varCurrency:
      return Kind::Number;
    case TVarType::varBoolean:
      return Kind::Logical;
    case TVarType::varDate:
      return Kind::Date;
    default:
      return Kind::Other;
  }
}

std::string TrimRight(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool SameNumber(double a, double b) {
  return a == b || std::fabs(a - b) <= 1e-12 * std::max(std::fabs(a), std::fabs(b));
}

// `value` taken as `kind` equals `reference` (of that kind); a value that
// does not convert does not equal anything.
bool EqualAs(Kind kind, const Variant& value, const Variant& reference) {
  try {
    switch (kind) {
      case Kind::Text:
        return TrimRight(value.AsString()) == TrimRight(reference.AsString());
      case Kind::Number:
        return SameNumber(value.AsDouble(), reference.AsDouble());
      case Kind::Logical:
        return value.AsBoolean() == reference.AsBoolean();
      case Kind::Date:
        return value.AsDateTime() == reference.AsDateTime();
      case Kind::Other:
        return value.SameAs(reference);
    }
  } catch (const Exception&) {
  }
  return false;
}

bool SameName(const std::string& a, const std::string& b) { return platform::AnsiSameText(a, b); }

bool MemoType(char t) { return t == 'M'; }

// Digits before the decimal point a numeric field can hold.
int WholeDigits(const TFieldSpec& f) { return f.width - (f.decimals > 0 ? f.decimals + 1 : 0); }

}  // namespace

std::string TFieldSpec::Text() const {
  char buf[32];
  if (decimals > 0)
    std::snprintf(buf, sizeof buf, "%c %d.%d", type, width, decimals);
  else
    std::snprintf(buf, sizeof buf, "%c %d", type, width);
  return buf;
}

const char* TFieldChange::KindName(Kind kind) {
  switch (kind) {
    case Added:
      return "added";
    case Dropped:
      return "dropped";
    case Widened:
      return "widened";
    case Narrowed:
      return "narrowed";
    case Retyped:
      return "retyped";
    case Decimals:
      return "decimals";
  }
  return "";
}

std::vector<TFieldChange> CompareStructures(const std::vector<TFieldSpec>& before,
                                            const std::vector<TFieldSpec>& after) {
  std::vector<TFieldChange> changes;
  auto find = [](const std::vector<TFieldSpec>& list, const std::string& name) -> const TFieldSpec* {
    for (const TFieldSpec& f : list)
      if (SameName(f.name, name)) return &f;
    return nullptr;
  };
  auto add = [&](TFieldChange::Kind kind, const TFieldSpec* b, const TFieldSpec* a) {
    TFieldChange c;
    c.kind = kind;
    if (b) c.before = *b;
    if (a) c.after = *a;
    changes.push_back(std::move(c));
  };
  for (const TFieldSpec& b : before) {
    const TFieldSpec* a = find(after, b.name);
    if (!a)
      add(TFieldChange::Dropped, &b, nullptr);
    else if (platform::AnsiUpperChar(a->type) != platform::AnsiUpperChar(b.type))
      add(TFieldChange::Retyped, &b, a);
    else if (a->width > b.width)
      add(TFieldChange::Widened, &b, a);
    else if (a->width < b.width)
      add(TFieldChange::Narrowed, &b, a);
    else if (a->decimals != b.decimals)
      add(TFieldChange::Decimals, &b, a);
  }
  for (const TFieldSpec& a : after)
    if (!find(before, a.name)) add(TFieldChange::Added, nullptr, &a);
  return changes;
}

bool CanLoseValues(const TFieldSpec& before, const TFieldSpec& after) {
  const char b = platform::AnsiUpperChar(before.type), a = platform::AnsiUpperChar(after.type);
  // A memo field holds any text.
  if (MemoType(a) && (b == 'C' || MemoType(b))) return false;
  if (a != b) return true;
  switch (a) {
    case 'C':
      return after.width < before.width;
    case 'N':
    case 'F':
      return WholeDigits(after) < WholeDigits(before) || after.decimals < before.decimals;
    case 'D':
    case 'L':
    case 'M':
      return false;
    default:
      return after.width != before.width || after.decimals != before.decimals;
  }
}

bool ValueSurvives(const Variant& before, const Variant& after) {
  if (before.IsClear()) return true;
  const Kind kb = KindOf(before);
  if (after.IsClear()) return kb == Kind::Text && TrimRight(before.AsString()).empty();
  const Kind ka = KindOf(after);
  // Text says what it means in any kind it converts to; other values must
  // come back from the new field unchanged.
  if (kb == Kind::Text) return EqualAs(ka, before, after);
  // A logical keeps 0 and 1 (and the framework's -1), nothing else.
  if (kb == Kind::Number && ka == Kind::Logical) {
    const double v = before.AsDouble();
    return (v == 0 || v == 1 || v == -1) && (v != 0) == after.AsBoolean();
  }
  return EqualAs(kb, after, before);
}

std::string LossReason(const Variant& before, const Variant& after, const TFieldSpec& target) {
  const char t = platform::AnsiUpperChar(target.type);
  std::string text;
  try {
    text = TrimRight(before.AsString());
  } catch (const Exception&) {
  }
  if (t == 'C' && static_cast<int>(text.size()) > target.width)
    return "text longer than " + std::to_string(target.width);
  if ((t == 'N' || t == 'F') && KindOf(before) == Kind::Number && KindOf(after) == Kind::Number)
    return "rounded to " + std::to_string(target.decimals) + " decimals";
  if (after.IsClear()) return "does not convert to " + target.Text();
  return "becomes \"" + LossValueText(after) + "\"";
}

std::string LossValueText(const Variant& before) {
  std::string s;
  try {
    s = TrimRight(VarToStr(before));
  } catch (const Exception&) {
  }
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  if (s.size() > 60) s = s.substr(0, 57) + "...";
  return s;
}

void TLossList::Add(TValueLoss loss) {
  ++count;
  if (items.size() < kMaxListed) items.push_back(std::move(loss));
}

std::string TLossList::Summary(const std::string& table) const {
  std::string s = table + ": " + std::to_string(count) + (count == 1 ? " value does" : " values do") +
                  " not survive the new structure";
  const size_t shown = std::min<size_t>(items.size(), 3);
  if (shown == 0) return s;
  s += " (";
  for (size_t i = 0; i < shown; ++i) {
    const TValueLoss& l = items[i];
    s += (i ? "; " : "") + l.field + " in record " + std::to_string(l.record) + ": " + l.reason;
  }
  return s + (static_cast<int64_t>(shown) < count ? "; ...)" : ")");
}
