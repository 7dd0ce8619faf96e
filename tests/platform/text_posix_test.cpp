#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/text.h"
#include "support/scoped_env.h"

using namespace platform;

TEST(Text, AnsiAndOemCodePages) {
  ScopedEnv oem("VELUPDATE_OEMCP", std::nullopt);
  EXPECT_EQ(OemCodePage(), 437);
  EXPECT_EQ(AnsiToOem("Caf\xE9 \xC4rger"), "Caf\x82 \x8Erger");
  EXPECT_EQ(OemToAnsi("Caf\x82 \x8Erger"), "Caf\xE9 \xC4rger");
  EXPECT_EQ(AnsiToOem("\x80"), "?");  // the euro sign has no place in CP437
  EXPECT_EQ(OemToAnsi("\xC9"), "?");  // nor a box corner in CP1252
  EXPECT_EQ(AnsiToOem(std::string("a\0b", 3)), std::string("a\0b", 3));
  int roundTrips = 0;
  for (int b = 1; b < 256; ++b) {
    std::string s(1, static_cast<char>(b));
    std::string o = AnsiToOem(s);
    ASSERT_EQ(o.size(), 1u);
    if (o != "?") {
      EXPECT_EQ(OemToAnsi(o), s) << b;
      ++roundTrips;
    }
  }
  EXPECT_GE(roundTrips, 170);
  char buf[] = "\xE9t\xE9";
  AnsiToOemBuff(buf, 3);
  EXPECT_EQ(std::string(buf), "\x82t\x82");
  OemToAnsiBuff(buf, 3);
  EXPECT_EQ(std::string(buf), "\xE9t\xE9");
  {
    ScopedEnv oem850("VELUPDATE_OEMCP", "850");
    EXPECT_EQ(OemCodePage(), 850);
    EXPECT_EQ(AnsiToOem("\xC3\xE9"), "\xC7\x82");  // Ã exists in CP850, not in CP437
  }
  EXPECT_EQ(AnsiToOem("\xC3"), "?");
}

TEST(Text, Utf8AndOtherCodePages) {
  EXPECT_EQ(AnsiToUtf8("\x80 caf\xE9"), "\xE2\x82\xAC caf\xC3\xA9");
  EXPECT_EQ(Utf8ToAnsi("\xE2\x82\xAC caf\xC3\xA9"), "\x80 caf\xE9");
  EXPECT_EQ(Utf8ToAnsi("\xE6\x97\xA5"), "?");                       // a character CP1252 lacks
  EXPECT_EQ(Utf8ToAnsi("a\xFF\xC3"), "a??");                        // malformed input
  EXPECT_EQ(Utf8ToAnsi("\xC0\xAF"), "??");                          // overlong form
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8("\x81\x8D")), "\x81\x8D");        // the holes survive a round trip
  EXPECT_EQ(CodePageToUtf8("\xC0\xFF", 1251), "\xD0\x90\xD1\x8F");  // А я
  EXPECT_EQ(Utf8ToCodePage("\xD0\x90\xD1\x8F", 866), "\x80\xEF");
  EXPECT_EQ(Utf8ToCodePage("\xD0\x90", 1252), "?");
  EXPECT_EQ(CodePageToUtf8("\x9B", 437), "\xC2\xA2");  // ¢
}

TEST(Text, CaseFollowsTheWesternPage) {
  EXPECT_EQ(AnsiUpperCase("abc \xE0\xE9\xEE\xF5\xFC\xFE\xFF\x9A\x9C\x9E \xDF\xF7\xB5"),
            "ABC \xC0\xC9\xCE\xD5\xDC\xDE\x9F\x8A\x8C\x8E \xDF\xF7\xB5");
  EXPECT_EQ(AnsiLowerCase("ABC \xC0\xC9\xCE\xD5\xDC\xDE\x9F\x8A\x8C\x8E \xD7"),
            "abc \xE0\xE9\xEE\xF5\xFC\xFE\xFF\x9A\x9C\x9E \xD7");
  for (int b = 0; b < 256; ++b) {
    char c = static_cast<char>(b);
    if (AnsiUpperChar(c) != c) {
      EXPECT_EQ(AnsiLowerChar(AnsiUpperChar(c)), c) << b;
    }
  }
  EXPECT_TRUE(IsAnsiAlpha('q'));
  EXPECT_TRUE(IsAnsiAlpha('\xE9'));
  EXPECT_TRUE(IsAnsiAlpha('\x8A'));
  EXPECT_FALSE(IsAnsiAlpha('\xD7'));
  EXPECT_FALSE(IsAnsiAlpha('1'));
  EXPECT_FALSE(IsAnsiAlpha('_'));
}

TEST(Text, LocaleComparison) {
  std::vector<std::string> words = {"Zebra",
                                    "apple",
                                    "\xC4pfel",
                                    "Apfel",
                                    "apfel",
                                    "\xE9"
                                    "clair",
                                    "eclair",
                                    "b",
                                    "10",
                                    "-x",
                                    "\xC6ra",
                                    "Af",
                                    "Ad"};
  std::sort(words.begin(), words.end(),
            [](const std::string& a, const std::string& b) { return AnsiCompareStr(a, b) < 0; });
  std::vector<std::string> expected = {"-x",
                                       "10",
                                       "Ad",
                                       "\xC6ra",
                                       "Af",
                                       "apfel",
                                       "Apfel",
                                       "\xC4pfel",
                                       "apple",
                                       "b",
                                       "eclair",
                                       "\xE9"
                                       "clair",
                                       "Zebra"};
  EXPECT_EQ(words, expected);
  EXPECT_EQ(AnsiCompareText("Dictionary", "DICTIONARY"), 0);
  // The quick equality of name lookups agrees with the case-blind order on
  // every pair of characters, inside a word and across lengths.
  for (int x = 1; x < 256; ++x) {
    for (int y = 1; y < 256; ++y) {
      const std::string a = "n" + std::string(1, char(x)) + "me", b = "N" + std::string(1, char(y)) + "ME";
      ASSERT_EQ(AnsiSameText(a, b), AnsiCompareText(a, b) == 0) << x << " " << y;
    }
  }
  EXPECT_FALSE(AnsiSameText("NAME", "NAMES"));
  EXPECT_FALSE(AnsiSameText("\xDF", "SS"));  // sorts with "ss", yet another name
  EXPECT_TRUE(AnsiSameText("\xFF", "\x9F"));
  EXPECT_EQ(AnsiCompareText("\xE9t\xE9", "\xC9T\xC9"), 0);
  EXPECT_GT(AnsiCompareText("\xE9", "E"), 0);               // the accent still counts
  EXPECT_LT(AnsiCompareText("r\xE9sum\xE9", "resumf"), 0);  // but only after the letters
  EXPECT_LT(AnsiCompareStr("a", "A"), 0);
  EXPECT_LT(AnsiCompareStr("A", "b"), 0);
  EXPECT_LT(AnsiCompareStr("abc", "abcd"), 0);
  EXPECT_NE(AnsiCompareStr("\xE6", "ae"), 0);
  EXPECT_EQ(AnsiCompareStr("same", "same"), 0);
  EXPECT_LT(CompareTextAscii("ABC", "abd"), 0);
  EXPECT_EQ(CompareTextAscii("Table.DBF", "table.dbf"), 0);
  EXPECT_NE(CompareTextAscii("\xE9", "\xC9"), 0);
  EXPECT_GT(CompareTextAscii("\xFF", "z"), 0);
}

TEST(Text, LocaleFormats) {
  EXPECT_EQ(PosixDateFormatToWindows("%m/%d/%y"), "MM/dd/yy");
  EXPECT_EQ(PosixDateFormatToWindows("%d.%m.%Y"), "dd.MM.yyyy");
  EXPECT_EQ(PosixDateFormatToWindows("%Y-%m-%d"), "yyyy-MM-dd");
  EXPECT_EQ(PosixDateFormatToWindows("%e/%m/%Ey"), "d/MM/yy");
  EXPECT_EQ(PosixDateFormatToWindows("%D"), "MM/dd/yy");
  {
    ScopedEnv all("LC_ALL", "C");
    ScopedEnv fmt("VELUPDATE_SHORTDATE", std::nullopt);
    EXPECT_EQ(ShortDateFormat(), "MM/dd/yy");
    EXPECT_EQ(DecimalSeparator(), '.');
  }
  ScopedEnv fmt("VELUPDATE_SHORTDATE", "dd/MM/yyyy");
  EXPECT_EQ(ShortDateFormat(), "dd/MM/yyyy");
}

TEST(Text, BuiltInPagesAgreeWithIconvAndNeedNoConverter) {
  // The three pages the program always needs are carried inside it; where the
  // host's iconv has them too, both must read every byte the same way.
  for (int page : {1252, 437, 850}) {
    EXPECT_TRUE(CodePageAvailable(page));
    iconv_t cd = ::iconv_open("UTF-8", ("CP" + std::to_string(page)).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) continue;
    for (int b = 0x80; b < 0x100; ++b) {
      char in[1] = {static_cast<char>(b)};
      char out[8];
      char* inPtr = in;
      char* outPtr = out;
      size_t inLeft = 1, outLeft = sizeof out;
      ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) continue;  // a hole
      EXPECT_EQ(CodePageToUtf8(std::string(1, static_cast<char>(b)), page),
                std::string(out, sizeof out - outLeft))
          << "CP" << page << " byte " << b;
    }
    ::iconv_close(cd);
  }
  EXPECT_EQ(CodePageToUtf8("\x9E\xD5\xF2", 850), "\xC3\x97\xC4\xB1\xE2\x80\x97");  // × ı ‗
  EXPECT_EQ(CodePageToUtf8("\x9E\xE0", 437), "\xE2\x82\xA7\xCE\xB1");              // ₧ α
}

TEST(Text, AMissingCodePageIsReportedNotGuessed) {
  {
    ScopedEnv oem("VELUPDATE_OEMCP", std::nullopt);
    EXPECT_EQ(CodePageProblem(), "");
  }
  {
    ScopedEnv oem("VELUPDATE_OEMCP", "850");
    EXPECT_EQ(CodePageProblem(), "");
  }
  {
    ScopedEnv oem("VELUPDATE_OEMCP", "4711");  // no such page anywhere
    EXPECT_FALSE(CodePageAvailable(4711));
    std::string problem = CodePageProblem();
    EXPECT_NE(problem.find("4711"), std::string::npos) << problem;
    EXPECT_NE(problem.find("VELUPDATE_OEMCP"), std::string::npos) << problem;
  }
  {
    ScopedEnv oem("VELUPDATE_OEMCP", "cp850");
    EXPECT_NE(CodePageProblem().find("not a code page number"), std::string::npos);
  }
}

TEST(Text, Utf8Helpers) {
  EXPECT_TRUE(IsValidUtf8("plain \xC3\xA9 \xE6\x97\xA5"));
  EXPECT_FALSE(IsValidUtf8("M\xFCller"));
  EXPECT_FALSE(IsValidUtf8("\xE6\x97"));  // cut short
  EXPECT_EQ(AnsiByteFor(0x20AC), 0x80);
  EXPECT_EQ(AnsiByteFor(0x65E5), -1);
  EXPECT_EQ(AnsiCharToUnicode('\x80'), 0x20ACu);
}
