#include "mail/UPOP3Lines.h"

#include <gtest/gtest.h>

#include <random>

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

TEST(POP3LinesTest, AnySplitOfTheInputGivesTheSameLines) {
    const std::string wire = "+OK\r\n" + std::string(POP3MaxLineLength, 'a') + "\r\n" +
                             std::string(POP3MaxLineLength + 1, 'b') + "\n\r\n\r\r\n.\r\n" +
                             std::string(3 * POP3MaxLineLength, 'c') + "\r\nlast\n";
    TLineAssembler whole;
    const TStringArray expected = Assemble(whole, {wire});
    ASSERT_EQ(expected.size(), 8u);
    std::mt19937 random(20011);
    for (int round = 0; round < 50; ++round) {
        TStringArray chunks;
        for (std::size_t at = 0; at < wire.size();) {
            const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 7000)(random);
            chunks.push_back(wire.substr(at, length));
            at += length;
        }
        TLineAssembler split;
        ASSERT_EQ(Assemble(split, chunks), expected) << "round " << round;
    }
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
