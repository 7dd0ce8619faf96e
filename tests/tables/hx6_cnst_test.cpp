#include "tables/hx6_cnst.h"

#include <gtest/gtest.h>

TEST(KeldorMessages, TextsStandAsStoredIncludingTheirOddities) {
  EXPECT_EQ(KeldorMessage(hxErrInvalidPassword), "Invalid Password for encrypted file s%");
  EXPECT_EQ(KeldorMessage(hxErrMasterDetailField), "Master/Detail relation failed, field missmatch for %s");
  EXPECT_EQ(KeldorMessage(hxMsgTableExists), "Table exists.  Do you want to overwrite?");
  // Expression messages keep their order in the id range, then 65118/65119.
  EXPECT_EQ(KeldorMessage(65099), "Expecting \".T.\" or \".F.\"");
  EXPECT_EQ(KeldorMessage(65100), "Syntax Error in expression \"%s\"");
  EXPECT_EQ(KeldorMessage(65118), "There is no function for %s");
  EXPECT_EQ(KeldorMessage(65119), "%s needed for Argument %d of %s");
  // Dataset messages: 65133 belongs to the filter, 65134/65135 follow it.
  EXPECT_EQ(KeldorMessage(65129), "Bookmark is invalid for table ");
  EXPECT_EQ(KeldorMessage(65133), "Filter expression must return boolean result");
  EXPECT_EQ(KeldorMessage(65134), "Dataset not in edit or insert mode");
  EXPECT_EQ(KeldorMessage(65135), "Master/Detail relation failed, no index open for %s");

  // The whole range 65072..65135 is filled, the gaps around it are not.
  for (int id = 65072; id <= 65135; ++id) EXPECT_FALSE(KeldorMessage(id).empty()) << id;
  EXPECT_TRUE(KeldorMessage(65057).empty());
  EXPECT_TRUE(KeldorMessage(65140).empty());
}

TEST(KeldorMessages, PlaceholdersFillInOrder) {
  EXPECT_EQ(FormatKeldorMessage(hxErrRecordNotInTable, 12, "C:\\DATA\\X.DBF"),
            "Record number 12 is not in table C:\\DATA\\X.DBF");
  EXPECT_EQ(FormatKeldorMessage(hxErrSortKeyLength, 240, 300), "Sort key length must be 1-240 bytes, is 300");
  EXPECT_EQ(FormatKeldorMessage(hxErrFullAccess, "Truncate", std::string("C:\\A.DBF")),
            "Truncate requires full access to file C:\\A.DBF");
  // "s%" is text: nothing is substituted and the argument is dropped.
  EXPECT_EQ(FormatKeldorMessage(hxErrInvalidPassword, "ignored"), "Invalid Password for encrypted file s%");
  EXPECT_EQ(FormatKeldorText("100%% of %s, %q", {"all"}), "100% of all, %q");
  EXPECT_EQ(FormatKeldorText("%s and %s", {"one"}), "one and ");
}

TEST(KeldorMessages, RaisesTheMessagesClass) {
  try {
    RaiseKeldorError(hxErrNoPassword, "C:\\S.DBF");
    FAIL();
  } catch (const EKeldorEncryption& e) {
    EXPECT_STREQ(e.what(), "No Password for encrypted file C:\\S.DBF");
  }
  EXPECT_THROW(RaiseKeldorError(hxErrPasswordForPlainFile, "x"), EKeldorEncryption);
  EXPECT_THROW(RaiseKeldorError(hxErrInvalidPassword), EKeldorEncryption);
  try {
    RaiseKeldorError(hxErrFileNotFound, "C:\\NONE.DBF");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(dynamic_cast<const EKeldorError*>(&e), nullptr);
    EXPECT_EQ(e.Message(), "File C:\\NONE.DBF could not be found");
  }
}
