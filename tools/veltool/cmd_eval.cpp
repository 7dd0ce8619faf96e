// veltool eval [--table FILE] EXPRESSION [--json]: compiles a dBase-style
// expression (against the table's fields when a table is given) and
// evaluates it once, or once per record in record order.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "expr/hx6_sql.h"
#include "platform/text.h"
#include "tables/hx6_date.h"
#include "tables/hx6_dbf.h"
#include "veltool.h"

namespace {

constexpr const char* kUsage = "usage: veltool eval [--table FILE] EXPRESSION [--json]\n";

std::string NumberText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

// The value as plain text: text as UTF-8, numbers in general notation, dates
// as yyyymmdd (blank for the empty date), logicals as .T. / .F.
std::string PlainValue(uint8_t type, const ThxExpValue& v) {
  if (v.null) return std::string();
  switch (type) {
    case hxtText:
    case hxtMemo:
      return platform::AnsiToUtf8(v.text);
    case hxtNumber:
    case hxtInteger:
    case hxtDateTime:
      return NumberText(v.number);
    case hxtDate: {
      int32_t day = 0;
      if (!HxDayFromNumber(v.number, day)) day = 0;
      return DBFDate().ToText(day);
    }
    case hxtBoolean:
      return v.boolean ? ".T." : ".F.";
    default:
      return std::string();
  }
}

std::string JsonValue(uint8_t type, const ThxExpValue& v) {
  if (v.null) return "null";
  switch (type) {
    case hxtNumber:
    case hxtInteger:
    case hxtDateTime:
      return NumberText(v.number);
    case hxtBoolean:
      return v.boolean ? "true" : "false";
    case hxtText:
    case hxtMemo:
    case hxtDate:
      return veltool::JsonString(PlainValue(type, v));
    default:
      return "null";
  }
}

void PrintResult(std::ostream& out, bool json, int64_t recno, uint8_t type, const ThxExpValue& v,
                 bool& first) {
  if (json) {
    out << (first ? "" : ",\n") << "{";
    if (recno > 0) out << "\"record\":" << recno << ",";
    out << "\"type\":" << veltool::JsonString(ExpTypeName(type)) << ",\"value\":" << JsonValue(type, v)
        << "}";
  } else {
    if (recno > 0) out << recno << "\t";
    out << ExpTypeName(type) << "\t" << PlainValue(type, v) << "\n";
  }
  first = false;
}

int RunEval(const std::vector<std::string>& args) {
  std::string file, expression;
  bool json = false, haveExpression = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if (args[i] == "--table" && i + 1 < args.size() && file.empty()) {
      file = args[++i];
    } else if (!haveExpression) {
      expression = args[i];
      haveExpression = true;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (!haveExpression) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string text = platform::Utf8ToAnsi(expression);
  int64_t recno = 0;
  try {
    std::unique_ptr<HXO_dBaseFld> table;
    if (!file.empty()) table = std::make_unique<HXO_dBaseFld>(veltool::ToEnginePath(file), true, false);
    // The handler refers to the table's link: it goes first.
    ThxExpHandler handler(table ? table->ExpUserLink() : nullptr, false, text);
    std::ostream& out = std::cout;
    bool first = true;
    if (json) out << "[";
    if (!table) {
      const ThxExpValue& v = handler.EvaluateValue();
      PrintResult(out, json, 0, handler.ResultType(), v, first);
    } else {
      for (recno = 1; recno <= table->RecordCount(); ++recno) {
        table->GetRecord(recno);
        const ThxExpValue& v = handler.EvaluateValue();
        PrintResult(out, json, recno, handler.ResultType(), v, first);
      }
    }
    if (json) out << "]\n";
    out.flush();
    return 0;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "veltool eval: ";
    if (recno > 0) std::cerr << "record " << recno << ": ";
    std::cerr << platform::AnsiToUtf8(e.what()) << "\n";
    return 1;
  }
}

}  // namespace

VELTOOL_COMMAND("eval", "eval [--table FILE] EXPRESSION [--json]   evaluate an expression (per record)",
                RunEval);
