// Fuzz target: arbitrary text compiled and evaluated as an expression
// against a small table. The first byte chooses the handler's flags (case
// folding, wildcards, SQL style); the rest is the expression. Every input
// must compile to a tree or fail with an exception of the engine; nothing may
// crash, hang or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "expr/hx6_sql.h"
#include "fuzz_support.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"
#include "tables/table_test_util.h"

namespace {

HXO_dBaseFld& Table() {
  static std::unique_ptr<HXO_dBaseFld> table = [] {
    tabletest::DbfImage img;
    img.fields = {
        {"NAME", 'C', 10}, {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 8}, {"OK", 'L', 1}, {"XF", 'X', 3}};
    auto record = [](char flag, std::string name, std::string amount, std::string born, char ok,
                     std::string xf) {
      name.resize(10, ' ');
      amount.insert(0, 10 - amount.size(), ' ');
      return std::string(1, flag) + name + amount + born + std::string(1, ok) + xf;
    };
    img.records = {record(' ', "Smith", "123.45", "19800101", 'T', "abc"),
                   record('*', "orders", "-1.00", "        ", 'F', "xyz"),
                   record(' ', "ORDERS", "0.00", "99999999", '?', "   ")};
    fuzzsupport::WriteFile("t.dbf", tabletest::Bytes(img));
    return std::make_unique<HXO_dBaseFld>(fuzzsupport::Dos("T.DBF"), false, false);
  }();
  return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  HXO_dBaseFld& table = Table();
  const uint8_t flags = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    ThxExpHandler h((flags & 8) ? nullptr : table.ExpUserLink(), (flags & 4) != 0);
    h.SetCaseInsensitive((flags & 1) != 0);
    h.SetPartialMatch((flags & 2) == 0);
    h.SetExpression(text);
    (void)h.ExpressionText();
    (void)h.CollectNames(17);
    for (int64_t r = 1; r <= table.RecordCount(); ++r) {
      table.GetRecord(r);
      try {
        ThxVariant v;
        h.Evaluate(v);
        Variant fv;
        h.EvaluateVariant(fv);
      } catch (const Exception&) {
      }
    }
  } catch (const Exception&) {
  }
  return 0;
}
