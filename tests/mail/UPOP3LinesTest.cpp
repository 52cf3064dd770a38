#include "mail/UPOP3Lines.h"

#include <gtest/gtest.h>

namespace {

// Feeds the chunks one by one and collects every line, failures shown as "!<message>".
TStringArray Assemble(TLineAssembler& lines, const TStringArray& chunks) {
    TStringArray result;
    for (const std::string& chunk : chunks) {
        lines.Append(chunk);
        for (;;) {
            std::string line;
            try {
                if (!lines.Next(line))
                    break;
                result.push_back(line);
            } catch (const EPOP3LineTooLong& error) {
                result.push_back(std::string("!") + error.what());
            }
        }
    }
    return result;
}

TStringArray Bytes(const std::string& text) {
    TStringArray bytes;
    for (char c : text)
        bytes.emplace_back(1, c);
    return bytes;
}

}  // namespace

TEST(POP3LinesTest, LinesSplitAcrossReadsComeOutWhole) {
    const std::string wire = "USER a\r\nPASS b c\r\n\r\nLIST\nx\ry\r\r\n";
    // Only the one CR right before LF belongs to the line end.
    const TStringArray expected = {"USER a", "PASS b c", "", "LIST", "x\ry\r"};
    TLineAssembler whole;
    EXPECT_EQ(Assemble(whole, {wire}), expected);
    TLineAssembler byteWise;
    EXPECT_EQ(Assemble(byteWise, Bytes(wire)), expected);
    TLineAssembler cutAtCR;
    EXPECT_EQ(Assemble(cutAtCR, {"USER a\r", "\nPASS b c\r\n\r", "\nLIST\nx\ry\r\r", "\n"}), expected);
    EXPECT_FALSE(cutAtCR.HasPartialLine());
    cutAtCR.Append("unfinished");
    EXPECT_TRUE(cutAtCR.HasPartialLine());
}

TEST(POP3LinesTest, LongestAllowedLineIsKeptEvenWhenItsCRArrivesAlone) {
    const std::string longest(POP3MaxLineLength, 'a');
    TLineAssembler lines;
    EXPECT_EQ(Assemble(lines, {longest, "\r", "\nnext\r\n"}), (TStringArray{longest, "next"}));
}

TEST(POP3LinesTest, OverlongLineFailsOnceWithoutWaitingForItsEndAndReadingGoesOnAfterIt) {
    TLineAssembler lines;
    const std::string part(5000, 'x');
    // The failure comes as soon as the limit is passed, before the line's end has arrived.
    EXPECT_EQ(Assemble(lines, {"before\r\n", part, part, part, part}),
              (TStringArray{"before", "!Max line length exceeded."}));
    EXPECT_EQ(Assemble(lines, {part, "tail\r\nafter\r\n"}), (TStringArray{"after"}));

    TLineAssembler oneChunk;
    EXPECT_EQ(Assemble(oneChunk, {std::string(POP3MaxLineLength + 1, 'y') + "\r\nafter\r\n"}),
              (TStringArray{"!Max line length exceeded.", "after"}));
}

TEST(POP3LinesTest, CommandsMatchWholeWordsInAnyLetterCase) {
    EXPECT_EQ(MatchPOP3Command("list"), TPOP3CommandKind::LIST);
    EXPECT_EQ(MatchPOP3Command("LiSt 3"), TPOP3CommandKind::LIST);
    EXPECT_EQ(MatchPOP3Command("LISTX"), TPOP3CommandKind::Unknown);
    EXPECT_EQ(MatchPOP3Command("LIST\t3"), TPOP3CommandKind::Unknown);
    EXPECT_EQ(MatchPOP3Command(" LIST"), TPOP3CommandKind::Unknown);
    EXPECT_EQ(MatchPOP3Command("top 1 2"), TPOP3CommandKind::TOP);
    EXPECT_EQ(MatchPOP3Command("QUIT"), TPOP3CommandKind::QUIT);
    EXPECT_EQ(MatchPOP3Command("QUI"), TPOP3CommandKind::Unknown);
    EXPECT_EQ(MatchPOP3Command(""), TPOP3CommandKind::Unknown);
}

TEST(POP3LinesTest, ParametersFollowOneBlankAndSplitAtBlanks) {
    EXPECT_EQ(POP3ParameterText("PASS open sesame", TPOP3CommandKind::PASS), "open sesame");
    EXPECT_EQ(POP3ParameterText("LIST  2", TPOP3CommandKind::LIST), " 2");
    EXPECT_EQ(POP3ParameterText("STAT", TPOP3CommandKind::STAT), "");
    EXPECT_EQ(SplitPOP3Parameters("open  sesame "), (TStringArray{"open", "sesame"}));
    EXPECT_TRUE(SplitPOP3Parameters("   ").empty());
    EXPECT_EQ(POP3NumberOrDefault(" 2"), 2);
    EXPECT_EQ(POP3NumberOrDefault("two"), -1);
    EXPECT_EQ(POP3NumberOrDefault("1 2"), -1);
    EXPECT_EQ(POP3NumberOrDefault(""), -1);
}

TEST(POP3LinesTest, ReplyStatusIsReadFromTheFirstFourCharacters) {
    const TPOP3Reply stat = ParsePOP3Reply("+OK 3 1200");
    EXPECT_TRUE(stat.Success);
    EXPECT_EQ(stat.Text, "3 1200");
    EXPECT_TRUE(ParsePOP3Reply("+ok").Success);
    EXPECT_EQ(ParsePOP3Reply("+OK").Text, "");
    const TPOP3Reply refused = ParsePOP3Reply("-err no such message");
    EXPECT_FALSE(refused.Success);
    EXPECT_EQ(refused.Text, " no such message");
    for (const char* garbage : {"HELLO THERE", "+OKAY", "", "OK"}) {
        try {
            ParsePOP3Reply(garbage);
            ADD_FAILURE() << garbage;
        } catch (const EPOP3Exception& error) {
            EXPECT_EQ(error.Message(), std::string("Unrecognized POP3 Response Header:\n\"") + garbage + "\"");
        }
    }
}

TEST(POP3LinesTest, DotLinesSurviveStuffingAndUnstuffing) {
    EXPECT_EQ(StuffPOP3Line("."), "..");
    EXPECT_EQ(StuffPOP3Line(".x"), "..x");
    EXPECT_EQ(StuffPOP3Line("x."), "x.");
    for (const char* line : {".", ".x", "..", "", "plain"})
        EXPECT_EQ(UnstuffPOP3Line(StuffPOP3Line(line)), line);
    EXPECT_TRUE(IsPOP3Terminator("."));
    EXPECT_FALSE(IsPOP3Terminator(StuffPOP3Line(".")));
}
