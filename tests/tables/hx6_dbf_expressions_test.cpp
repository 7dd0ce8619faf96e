// Expressions over a table's fields, the way filters and index keys use them:
// operator precedence and the text functions give the values dBase gives.
#include <gtest/gtest.h>

#include "expr/hx6_sql.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_dbf.h"

namespace {

struct Evaluated {
  bool null;
  bool boolean;
  std::string text;
};

Evaluated Eval(HXO_dBaseFld* table, const std::string& expression) {
  ThxExpHandler handler(table ? table->ExpUserLink() : nullptr, false, expression);
  const ThxExpValue& v = handler.EvaluateValue();
  return {v.null, v.boolean, v.text};
}

}  // namespace

TEST(TableExpressions, AndBindsBeforeOrAndSubstrTakesTheRest) {
  TempDrive drive;
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 3}, {"YES", 'L', 1}, {"NO", 'L', 1}};
  img.records = {" ABCTF", " XY FF"};
  WriteHostFile(drive.Host("e.dbf"), tabletest::Bytes(img));
  HXO_dBaseFld t(drive.Dos("e.dbf"), false, false);
  t.GetRecord(1);

  // .AND. before .OR., whichever side the .OR. is on.
  for (const char* e : {".T. .OR. .F. .AND. .F.", ".F. .AND. .F. .OR. .T.", "YES .OR. NO .AND. NO",
                        "NO .AND. NO .OR. YES", ".NOT. NO .OR. NO .AND. NO"}) {
    const Evaluated v = Eval(&t, e);
    EXPECT_FALSE(v.null) << e;
    EXPECT_TRUE(v.boolean) << e;
  }
  for (const char* e : {"(.T. .OR. .F.) .AND. .F.", "YES .AND. NO .OR. NO", ".F. .OR. .T. .AND. .F."})
    EXPECT_FALSE(Eval(&t, e).boolean) << e;

  // SUBSTR without a length runs to the end of the text.
  EXPECT_EQ(Eval(&t, "SUBSTR('ABC', 3)").text, "C");
  EXPECT_EQ(Eval(&t, "SUBSTR(NAME, 3)").text, "C");
  EXPECT_EQ(Eval(&t, "SUBSTR(NAME, 2)").text, "BC");
  EXPECT_EQ(Eval(&t, "SUBSTR(NAME, 1)").text, "ABC");
  EXPECT_EQ(Eval(&t, "SUBSTR('ABC', 3, 5)").text, "C");
  EXPECT_EQ(Eval(&t, "SUBSTR('ABC', 4)").text, "");
  t.GetRecord(2);
  EXPECT_EQ(Eval(&t, "SUBSTR(NAME, 2)").text, "Y ");  // the field's blanks are part of it
}
