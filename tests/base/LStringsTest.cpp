#include "base/LStrings.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/base/TestLocale.h"
#include "tests/base/TraceCapture.h"

using namespace std::string_literals;

TEST(LStrings, CaseFoldingTouchesOnlyAsciiLetters) {
    EXPECT_EQ(LowerCase("AbC-Z\xC4\xE4"), "abc-z\xC4\xE4");
    EXPECT_EQ(UpperCase("abc-z\xC4\xE4"), "ABC-Z\xC4\xE4");
    EXPECT_TRUE(SameText("Name", "nAME"));
    EXPECT_FALSE(SameText("\xC4", "\xE4"));
    EXPECT_FALSE(SameText("abc", "abcd"));
}

TEST(LStrings, IndexOfTextFindsFirstEntryIgnoringCase) {
    EXPECT_EQ(IndexOfText("Name", {"id", "name"}), 1);
    EXPECT_EQ(IndexOfText("ID", {"id", "Id"}), 0);
    EXPECT_EQ(IndexOfText("x", {"id", "name"}), -1);
    EXPECT_EQ(IndexOfText("", {}), -1);
}

TEST(LStrings, TrimRemovesBlanksAndControlCharactersButNotHighBytes) {
    EXPECT_EQ(Trim(" \t\r\n a b \x01"), "a b");
    EXPECT_EQ(TrimLeft("  a "), "a ");
    EXPECT_EQ(TrimRight("  a "), "  a");
    EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");
    EXPECT_EQ(Trim("   "), "");
}

TEST(LStrings, SplitAndJoinAreInverse) {
    EXPECT_EQ(SplitText("a,,b,", ","), (TStringArray{"a", "", "b", ""}));
    EXPECT_EQ(SplitText("", ","), (TStringArray{""}));
    EXPECT_EQ(SplitText("a::b", "::"), (TStringArray{"a", "b"}));
    EXPECT_EQ(SplitText("abc", ""), (TStringArray{"abc"}));
    for (const std::string text : {"a,,b,", ",", "", "x"}) {
        EXPECT_EQ(JoinText(SplitText(text, ","), ","), text);
    }
}

TEST(LStrings, IntegerConversionRejectsAnythingButAWholeNumber) {
    int32_t value = 0;
    EXPECT_TRUE(TryStrToInt("-2147483648", value));
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_TRUE(TryStrToInt("+17", value));
    EXPECT_EQ(value, 17);
    for (const char* bad : {"", "+", "-", "2147483648", " 1", "1 ", "1a", "0x10", "+-1", "1.0"}) {
        EXPECT_FALSE(TryStrToInt(bad, value)) << bad;
    }
    EXPECT_EQ(StrToIntDef("12x", -1), -1);
    EXPECT_EQ(IntToHex(255, 8), "000000FF");
    EXPECT_EQ(IntToHex(0xABCDEF12u, 2), "ABCDEF12");
}

TEST(LStrings, IsFloatAcceptsPlainNumbersOnly) {
    for (const char* good : {"1.5", "42", "1e3", "-7", "+7", ".5", "5.", "1E-3", "0", "1e-400"}) {
        EXPECT_TRUE(IsFloat(good)) << good;
    }
    for (const char* bad :
         {"", ".", "1,5", "abc", " 1", "1 ", "e3", "1e", "1e+", "inf", "nan", "0x1p3", "1e400", "--1", "1.2.3"}) {
        EXPECT_FALSE(IsFloat(bad)) << bad;
    }
    double value = 0;
    ASSERT_TRUE(TryStrToFloat("-2.5e2", value));
    EXPECT_EQ(value, -250.0);
}

TEST(LStrings, IsFloatIgnoresTheLocalesDecimalSeparator) {
    TGermanLocale german;
    ASSERT_TRUE(german.Active()) << "localedef could not build de_DE.UTF-8";
    EXPECT_TRUE(IsFloat("1.5"));
    EXPECT_FALSE(IsFloat("1,5"));
    EXPECT_TRUE(IsFloat("1e-400"));
}

TEST(LStrings, SubstringHelpersStayInsideTheText) {
    EXPECT_EQ(LeftText("abc", 2), "ab");
    EXPECT_EQ(LeftText("abc", 5), "abc");
    EXPECT_EQ(LeftText("abc", -1), "");
    EXPECT_EQ(RightText("abc", 2), "bc");
    EXPECT_EQ(RightText("abc", 9), "abc");
    EXPECT_EQ(RightText("abc", 0), "");
    EXPECT_EQ(TextFrom("abc", 2), "bc");
    EXPECT_EQ(TextFrom("abc", 0), "abc");
    EXPECT_EQ(TextFrom("abc", 4), "");
    EXPECT_EQ(MidText("abcdef", 2, 3), "bcd");
    EXPECT_EQ(MidText("abcdef", 5), "ef");
    EXPECT_EQ(MidText("abcdef", 5, 10), "ef");
    EXPECT_EQ(MidText("abcdef", 7, 1), "");
    EXPECT_EQ(MidText("abcdef", 2, 0), "");
    EXPECT_EQ(RepeatText("ab", 3), "ababab");
    EXPECT_EQ(RepeatText("ab", 0), "");
    EXPECT_EQ(RepeatText("ab", -2), "");
    EXPECT_EQ(PadLeft("7", '0', 3), "007");
    EXPECT_EQ(PadLeft("1234", '0', 3), "1234");
    EXPECT_EQ(PadLeft("", '*', -1), "");
}

TEST(LStrings, ReplaceAllIsCaseSensitiveAndTerminatesOnEmptyPattern) {
    EXPECT_EQ(ReplaceAll("aAaa", "a", "b"), "bAbb");
    EXPECT_EQ(ReplaceAll("aaa", "aa", "a"), "aa");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(ReplaceAll("a.b", ".", ""), "ab");
    EXPECT_EQ(ReplaceAll("x", "x", "xx"), "xx");
}

TEST(LStrings, BooleanTextKnowsTrueAndYesOnly) {
    EXPECT_EQ(BoolToText(true), "true");
    EXPECT_EQ(BoolToText(false), "false");
    EXPECT_TRUE(TextToBool("YES"));
    EXPECT_TRUE(TextToBool("True"));
    EXPECT_FALSE(TextToBool("1"));
    EXPECT_FALSE(TextToBool(""));
    EXPECT_FALSE(TextToBool(" yes"));
}

TEST(LStrings, NormalizeListSortsTrimsAndDropsRepeats) {
    EXPECT_EQ(NormalizeList("b, a,a , c", ","), "a, b, c");
    EXPECT_EQ(NormalizeList("Spam,viagra,SPAM,casino", ","), "casino, Spam, viagra");
    EXPECT_EQ(NormalizeList("b\r\nx,a", ","), "a, b x");
    EXPECT_EQ(NormalizeList("a   b,c", ","), "a b, c");
    EXPECT_EQ(NormalizeList("b;a", ";"), "a; b");
}

TEST(LStrings, NormalizeListKeepsASingleEntryAsItStands) {
    EXPECT_EQ(NormalizeList(" word ", ","), " word ");
    EXPECT_EQ(NormalizeList("", ","), "");
    EXPECT_EQ(NormalizeList("two  blanks", ","), "two blanks");
}

TEST(LStrings, NormalizeListPutsAnEmptyEntryFirst) {
    EXPECT_EQ(NormalizeList("b,,a", ","), ", a, b");
    EXPECT_EQ(NormalizeList(" ,a", ","), ", a");
}

TEST(LStrings, NormalizeListIgnoresASeparatorAtTheEnd) {
    EXPECT_EQ(NormalizeList("b,a,", ","), "a, b");
    EXPECT_EQ(NormalizeList("a,", ","), "a");
}

TEST(LStrings, NormalizeListIsStableWhenAppliedTwice) {
    for (const char* text : {"b, a,a , c", "x,,y, ,z", " one ", "c,B,a,b", "a,", ",,,"}) {
        const std::string once = NormalizeList(text, ",");
        EXPECT_EQ(NormalizeList(once, ","), once) << text;
    }
}

TEST(LStrings, ContainsAnyOfMatchesSubstringsIgnoringCaseButNeverEmptyEntries) {
    EXPECT_TRUE(ContainsAnyOf("Buy VIAGRA now", {"casino", "viagra"}));
    EXPECT_FALSE(ContainsAnyOf("hello", {"", "x"}));
    EXPECT_FALSE(ContainsAnyOf("", {"a"}));
    EXPECT_FALSE(ContainsAnyOf("abc", {}));
    EXPECT_TRUE(ContainsAnyOf("a\0b"s, {"\0B"s}));
}

TEST(LStrings, StartsWithTextHonoursCaseSensitivity) {
    EXPECT_TRUE(StartsWithText("Re:", "re: hello", false));
    EXPECT_FALSE(StartsWithText("Re:", "re: hello", true));
    EXPECT_TRUE(StartsWithText("", "x", true));
    EXPECT_FALSE(StartsWithText("long prefix", "long", false));
    EXPECT_TRUE(StartsWithAnyText({"Fw:", "Re:"}, "RE: x", false));
    EXPECT_FALSE(StartsWithAnyText({}, "RE: x", false));
}

TEST(LStrings, StartsWithTextTracesTheSearchAndTheMatch) {
    TTraceCapture trace;
    StartsWithText("ab", "ABC", false);
    StartsWithText("x", "ABC", false);
    const std::string text = trace.Text();
    EXPECT_NE(text.find("\tLOOKING FOR ab IN ABC\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\tLOOKING FOR x IN ABC\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("MATCHED!"), text.rfind("MATCHED!")) << "exactly one match expected";
    EXPECT_LT(text.find("LOOKING FOR ab"), text.find("\tMATCHED!\r\n"));
    EXPECT_GT(text.find("LOOKING FOR x"), text.find("\tMATCHED!\r\n"));
}
