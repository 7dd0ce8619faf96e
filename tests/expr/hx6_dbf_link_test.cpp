// Expressions over a real table: the link's field variables and table
// functions.
#include <gtest/gtest.h>

#include <string>

#include "expr/hx6_sql.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"
#include "tables/table_test_util.h"

namespace {

std::string WritePeople(const TempDrive& drive) {
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 10}, {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 8}, {"OK", 'L', 1}, {"XF", 'X', 3}};
  auto record = [](char flag, std::string name, std::string amount, std::string born, char ok,
                   std::string xf) {
    name.resize(10, ' ');
    amount.insert(0, 10 - amount.size(), ' ');
    return std::string(1, flag) + name + amount + born + std::string(1, ok) + xf;
  };
  img.records = {record(' ', "Smith", "123.45", "19800101", 'T', "abc"),
                 record('*', "orders", "-1.00", "        ", 'F', "xyz"),
                 record(' ', "ORDERS", "0.00", "20260104", '?', "   ")};
  WriteHostFile(drive.Host("ppl.dbf"), tabletest::Bytes(img));
  return drive.Dos("PPL.DBF");
}

struct Eval {
  explicit Eval(HXO_dBaseFld& t) : table(t) {}
  const ThxExpValue& operator()(const std::string& text) {
    handler = std::make_unique<ThxExpHandler>(table.ExpUserLink(), false, text);
    return handler->EvaluateValue();
  }
  uint8_t Type() const { return handler->ResultType(); }
  HXO_dBaseFld& table;
  std::unique_ptr<ThxExpHandler> handler;
};

}  // namespace

TEST(ExpTableLink, FieldVariablesReadTheCurrentRecord) {
  TempDrive drive;
  HXO_dBaseFld table(WritePeople(drive), false, false);
  ASSERT_NE(table.ExpUserLink(), nullptr);
  Eval eval(table);
  table.GetRecord(1);
  EXPECT_EQ(eval("NAME").text, "Smith     ");  // untrimmed
  EXPECT_EQ(eval.Type(), hxtText);
  EXPECT_EQ(eval("AMOUNT").number, 123.45);
  EXPECT_EQ(eval.Type(), hxtNumber);
  EXPECT_EQ(eval("BORN").number, 2444240);
  EXPECT_EQ(eval.Type(), hxtDate);
  EXPECT_TRUE(eval("OK").boolean);
  EXPECT_EQ(eval("XF").text, "abc");
  EXPECT_EQ(eval.Type(), hxtMemo);
  EXPECT_EQ(eval("UPPER(NAME)+STR(AMOUNT,10,2)+DTOS(BORN)").text, "SMITH         123.4519800101");
  EXPECT_TRUE(eval("BORN = {19800101} .AND. ppl->amount > 100 .AND. PPL.OK").boolean);
  EXPECT_EQ(eval("ppl.name").text, "Smith     ");
  // A qualified name is looked up by its first 10 characters like any other.
  EXPECT_EQ(eval("PPL.AMOUNTX").number, 123.45);

  table.GetRecord(3);
  EXPECT_EQ(eval("DTOS(BORN)").text, "20260104");
  EXPECT_FALSE(eval("OK").boolean);
  EXPECT_EQ(eval("AMOUNT").number, 0);
  EXPECT_EQ(eval("TRIM(NAME)").text, "ORDERS");
  table.GetRecord(2);
  EXPECT_EQ(eval("BORN").number, 0);  // an empty date
  EXPECT_TRUE(eval("EMPTY(BORN)").boolean);

  ThxExpHandler h(table.ExpUserLink(), false, "NAME + STR(AMOUNT) + DTOS(BORN) + IIF(OK, 'Y', 'N')");
  EXPECT_EQ(h.CollectNames(17), ";NAME;AMOUNT;BORN;OK");
  EXPECT_EQ(h.MaxLength(), 10);
  EXPECT_EQ(h.MaxDecimals(), 2);
  EXPECT_THROW(eval("NAME = 1"), EKeldorExpression);
  EXPECT_THROW(eval("NOSUCH"), EKeldorExpression);
}

TEST(ExpTableLink, TableFunctions) {
  TempDrive drive;
  HXO_dBaseFld table(WritePeople(drive), false, false);
  Eval eval(table);
  table.GetRecord(1);
  EXPECT_EQ(eval("RECNO()").number, 1);
  EXPECT_FALSE(eval("DELETED()").boolean);
  EXPECT_FALSE(eval("BOF() .OR. EOF()").boolean);
  table.GetRecord(2);
  EXPECT_EQ(eval("RECNO()").number, 2);
  EXPECT_TRUE(eval("DELETED()").boolean);
  table.GetRecord(4);  // one past the end
  EXPECT_TRUE(eval("EOF()").boolean);
  EXPECT_EQ(eval("TYPE('amount')").text, "N");
  EXPECT_EQ(eval("TYPE('Born ')").text, "D");
  EXPECT_EQ(eval("FIELDNO('born')").number, 3);
  EXPECT_EQ(eval("FIELDNO('nosuch')").number, 0);
  EXPECT_EQ(eval("LEN('NAME')").number, 4);  // the global LEN hides the table's
  try {
    eval("TYPE('nosuch')");
    ADD_FAILURE() << "no error";
  } catch (const EKeldorError& e) {
    EXPECT_EQ(std::string(e.what()), "There is no field name T:\\PPL.DBF->NOSUCH");
  }
  // The table's own LEN answers the descriptor width.
  ThxUserDefFunction* len = table.ExpUserLink()->FindFunction("LEN");
  ASSERT_NE(len, nullptr);
  EXPECT_EQ(len->FunctionName(), "LEN");
  EXPECT_NE(table.ExpUserLink()->FindFieldVar("NAME"), nullptr);
  EXPECT_NE(table.ExpUserLink()->FindFieldVar("PPL.NAME"), nullptr);
  EXPECT_EQ(table.ExpUserLink()->FindFieldVar("NAME")->NameKind(), 17);
  EXPECT_EQ(table.ExpUserLink()->FindFieldVar("NAME")->Length(), 10);
}

TEST(ExpTableLink, DriverFilterOverDictionaryRows) {
  TempDrive drive;
  tabletest::DbfImage img;
  img.fields = {{"TABLENAME", 'C', 20}, {"FIELDNAME", 'C', 10}};
  const char* names[] = {"ORDERS", "ORDERS2", "orders", "ORDERS", "CUSTOMER", "ORD", "Orders"};
  for (const char* n : names) {
    std::string r = " " + std::string(n);
    r.resize(21, ' ');
    img.records.push_back(r + "F1        ");
  }
  WriteHostFile(drive.Host("dictionary.dbf"), tabletest::Bytes(img));
  HXO_dBaseFld table(drive.Dos("DICTIONARY.DBF"), false, false);
  auto count = [&](const std::string& value, bool caseInsensitive) {
    ThxExpHandler h(table.ExpUserLink(), false);
    h.SetCaseInsensitive(caseInsensitive);
    h.SetExpression("Tablename = \"" + value + "\"");
    std::string hits;
    for (int64_t r = 1; r <= table.RecordCount(); ++r) {
      table.GetRecord(r);
      const ThxExpValue& v = h.EvaluateValue();
      EXPECT_EQ(h.ResultType(), hxtBoolean);
      if (v.boolean) hits += std::to_string(r);
    }
    return hits;
  };
  EXPECT_EQ(count("ORDERS", false), "14");
  EXPECT_EQ(count("ORDERS", true), "1347");
  EXPECT_EQ(count("ORD*", false), "124");  // ORD is shorter than the pattern
  EXPECT_EQ(count("*RS", false), "124");
  EXPECT_EQ(count("CUSTOMER", false), "5");
}
