// veltool eval [--table FILE] EXPRESSION [--json]: compiles a dBase-style
// expression (against the table's fields when a table is given) and
// evaluates it once, or once per record in record order.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>

#include "expr/hx6_sql.h"
#include "platform/text.h"
#include "tables/hx6_date.h"
#include "tables/hx6_dbf.h"
#include "veltool.h"

namespace {

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

veltool::Json JsonValue(uint8_t type, const ThxExpValue& v) {
  if (v.null) return nullptr;
  switch (type) {
    case hxtNumber:
    case hxtInteger:
    case hxtDateTime:
      return v.number;
    case hxtBoolean:
      return v.boolean;
    case hxtText:
    case hxtMemo:
    case hxtDate:
      return PlainValue(type, v);
    default:
      return nullptr;
  }
}

struct Options {
  std::string file;
  std::string expression;
  bool json = false;
};

int RunEval(const Options& o) {
  const std::string text = platform::Utf8ToAnsi(o.expression);
  int64_t recno = 0;
  try {
    std::unique_ptr<HXO_dBaseFld> table;
    if (!o.file.empty()) table = std::make_unique<HXO_dBaseFld>(veltool::ToEnginePath(o.file), true, false);
    // The handler refers to the table's link: it goes first.
    ThxExpHandler handler(table ? table->ExpUserLink() : nullptr, false, text);
    veltool::Json results = veltool::Json::array();
    auto print = [&](int64_t record, const ThxExpValue& v) {
      const uint8_t type = handler.ResultType();
      if (o.json) {
        veltool::Json item;
        if (record > 0) item["record"] = record;
        item["type"] = ExpTypeName(type);
        item["value"] = JsonValue(type, v);
        results.push_back(std::move(item));
      } else {
        if (record > 0) std::cout << record << "\t";
        std::cout << ExpTypeName(type) << "\t" << PlainValue(type, v) << "\n";
      }
    };
    if (!table) {
      print(0, handler.EvaluateValue());
    } else {
      for (recno = 1; recno <= table->RecordCount(); ++recno) {
        table->GetRecord(recno);
        print(recno, handler.EvaluateValue());
      }
    }
    if (o.json) veltool::PrintJson(results);
    return 0;
  } catch (const std::exception& e) {
    if (recno > 0)
      throw veltool::Failure("record " + std::to_string(recno) + ": " + veltool::FromAnsi(e.what()));
    throw;
  }
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(
      app, "eval", "evaluate a dBase expression, once or per record of a table", [o] { return RunEval(*o); });
  cmd->add_option("EXPRESSION", o->expression, "the expression, e.g. \"UPPER(NAME) = 'X'\"")->required();
  cmd->add_option("--table", o->file, "evaluate once per record of this table, its fields by name");
  veltool::AddJsonFlag(cmd, o->json);
}

}  // namespace

VELTOOL_COMMAND("eval", Setup);
