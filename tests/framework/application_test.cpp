#include "framework/application.h"

#include <gtest/gtest.h>

#include "framework/exceptions.h"

namespace {
struct Recorder : UiHandler {
  std::vector<std::string> texts;
  unsigned lastFlags = 0;
  std::string lastCaption;
  int answer = IDNO;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    texts.push_back(text);
    lastCaption = caption;
    lastFlags = flags;
    return answer;
  }
};
}  // namespace

TEST(ApplicationTest, ErrorBoxAddsFullStopOnlyAfterCharactersSortingAfterIt) {
  EXPECT_EQ(TApplication::ErrorBoxText("Cannot find file C:\\Velmora\\Dictionary.dbf"),
            "Cannot find file C:\\Velmora\\Dictionary.dbf.");
  EXPECT_EQ(TApplication::ErrorBoxText("Done."), "Done.");
  EXPECT_EQ(TApplication::ErrorBoxText("Really!"), "Really!");  // '!' sorts before '.'
  EXPECT_EQ(TApplication::ErrorBoxText("(x)"), "(x)");
  EXPECT_EQ(TApplication::ErrorBoxText("x/"), "x/.");
  EXPECT_EQ(TApplication::ErrorBoxText(""), "");

  Recorder r;
  Application().SetHandler(&r);
  Application().ShowException(
      EDatabaseError("tbDictionary: Cannot perform this operation on a closed dataset"));
  Application().SetHandler(nullptr);
  ASSERT_EQ(r.texts.size(), 1u);
  EXPECT_EQ(r.texts[0], "tbDictionary: Cannot perform this operation on a closed dataset.");
  EXPECT_EQ(r.lastCaption, Application().Title());
  EXPECT_EQ(r.lastFlags, unsigned{MB_OK | MB_ICONSTOP});
}

TEST(ApplicationTest, WithoutHandlerTheDefaultButtonAnswers) {
  ASSERT_EQ(Application().Handler(), nullptr);
  EXPECT_EQ(Application().MessageBox("q", "t", MB_YESNO), IDYES);
  EXPECT_EQ(Application().MessageBox("q", "t", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(Application().MessageBox("q", "t", MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
  EXPECT_EQ(Application().MessageBox("q", "t", MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
  EXPECT_EQ(Application().MessageBox("q", "t", MB_ABORTRETRYIGNORE | MB_DEFBUTTON2), IDRETRY);
  Recorder r;
  r.answer = IDNO;
  Application().SetHandler(&r);
  EXPECT_EQ(Application().MessageBox("q", "t", MB_YESNO), IDNO);
  Application().SetHandler(nullptr);
}

TEST(ApplicationTest, HandleExceptionIsSilentForAbort) {
  Recorder r;
  Application().SetHandler(&r);
  Application().HandleException(EAbort());
  Application().HandleException(EConvertError("bad"));
  Application().SetHandler(nullptr);
  EXPECT_EQ(r.texts, std::vector<std::string>{"bad."});
}
