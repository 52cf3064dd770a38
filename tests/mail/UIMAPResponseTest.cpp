#include "mail/UIMAPResponse.h"

#include <gtest/gtest.h>

#include "mail/UIMAPClient.h"

namespace {

// Every response of the stream, fed to the assembler `step` bytes at a time.
std::vector<std::string> Responses(const std::string& stream, std::size_t step) {
    TIMAPResponseAssembler assembler;
    std::vector<std::string> responses;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        assembler.Append(std::string_view(stream).substr(at, step));
        std::string response;
        while (assembler.Next(response))
            responses.push_back(response);
    }
    EXPECT_FALSE(assembler.HasPending());
    return responses;
}

// Literals end a line only outside quoted strings and outside the free text of status responses,
// and their bytes (line ends included) belong to the response whatever the reads' boundaries.
TEST(IMAPResponseTest, ResponsesAreCutAtTheRightLineWhateverTheReads) {
    const std::string stream = "* OK [CAPABILITY IMAP4rev1] greeting ends in {5}\r\n"
                               "* 1 FETCH (UID 7 BODY[] {9}\r\nline\r\n)\r\n FLAGS (\\Seen))\r\n"
                               "* LIST () \"/\" \"quoted {3}\"\r\n"
                               "* LIST (\\HasNoChildren) NIL {4+}\r\nB{x}\r\n"
                               "+ go ahead {2}\r\n"
                               "T1 OK done\r\n";
    const std::vector<std::string> expected = {
        "* OK [CAPABILITY IMAP4rev1] greeting ends in {5}\r\n",
        "* 1 FETCH (UID 7 BODY[] {9}\r\nline\r\n)\r\n FLAGS (\\Seen))\r\n",
        "* LIST () \"/\" \"quoted {3}\"\r\n",
        "* LIST (\\HasNoChildren) NIL {4+}\r\nB{x}\r\n",
        "+ go ahead {2}\r\n",
        "T1 OK done\r\n",
    };
    for (const std::size_t step : {std::size_t(1), std::size_t(3), stream.size()})
        EXPECT_EQ(Responses(stream, step), expected) << "step " << step;
}

TEST(IMAPResponseTest, FetchItemsInAnyOrderWithLiteralBodies) {
    const TIMAPResponse fetch = ParseIMAPResponse(
        "* 12 FETCH (FLAGS (\\Seen $Junk) BODY[]<0> {11}\r\nab\r\n\r\n\"x)\r\n RFC822.SIZE 11 UID 4000000000 "
        "BODY[HEADER.FIELDS (MESSAGE-ID)] \"q\\\"\\\\\")\r\n");
    EXPECT_EQ(fetch.Kind, TIMAPResponse::TKind::Untagged);
    EXPECT_EQ(fetch.Number, 12u);
    EXPECT_EQ(fetch.Name, "FETCH");
    ASSERT_NE(FindItem(fetch.Values, "uid"), nullptr);
    EXPECT_EQ(FindItem(fetch.Values, "UID")->AsNumber(), 4000000000u);
    EXPECT_EQ(FindItem(fetch.Values, "RFC822.SIZE")->AsNumber(), 11u);
    EXPECT_EQ(FindItem(fetch.Values, "BODY[]<0>")->AsText(), "ab\r\n\r\n\"x)\r\n");
    EXPECT_EQ(FindItem(fetch.Values, "BODY[HEADER.FIELDS (MESSAGE-ID)]")->AsText(), "q\"\\");
    const TIMAPValue* flags = FindItem(fetch.Values, "FLAGS");
    ASSERT_EQ(flags->Items.size(), 2u);
    EXPECT_TRUE(flags->Items[0].IsAtom("\\seen"));
    EXPECT_EQ(FindItem(fetch.Values, "BODY[]"), nullptr);
}

TEST(IMAPResponseTest, StatusResponsesCodesListsAndSearches) {
    const TIMAPResponse copied = ParseIMAPResponse("T5 ok [COPYUID 38505 304,319:320 3956:3958] Done\r\n");
    EXPECT_EQ(copied.Kind, TIMAPResponse::TKind::Tagged);
    EXPECT_EQ(copied.Tag, "T5");
    EXPECT_EQ(copied.Status, "OK");
    EXPECT_EQ(copied.Code, "COPYUID");
    EXPECT_EQ(copied.CodeText, "38505 304,319:320 3956:3958");
    EXPECT_EQ(copied.Text, "Done");

    const TIMAPResponse flags = ParseIMAPResponse("* OK [PERMANENTFLAGS (\\Deleted \\*)] Limited\r\n");
    EXPECT_EQ(flags.Code, "PERMANENTFLAGS");
    EXPECT_EQ(flags.CodeText, "(\\Deleted \\*)");

    const TIMAPResponse list = ParseIMAPResponse("* LIST (\\Noselect \\HasChildren) NIL {8}\r\nTessivar\r\n");
    ASSERT_EQ(list.Values.size(), 3u);
    EXPECT_EQ(list.Values[0].Items.size(), 2u);
    EXPECT_EQ(list.Values[1].Kind, TIMAPValue::TKind::Nil);
    EXPECT_EQ(list.Values[2].AsText(), "Tessivar");

    EXPECT_EQ(ParseIMAPResponse("* SEARCH 2 84 882 (MODSEQ 917162500)\r\n").Numbers,
              (std::vector<uint32_t>{2, 84, 882}));
    EXPECT_TRUE(ParseIMAPResponse("* SEARCH\r\n").Numbers.empty());
    EXPECT_THROW(ParseIMAPResponse("* SEARCH 1 99999999999\r\n"), EIMAPException);

    const TIMAPResponse continuation = ParseIMAPResponse("+ idling\r\n");
    EXPECT_EQ(continuation.Kind, TIMAPResponse::TKind::Continuation);
    EXPECT_EQ(continuation.Text, "idling");

    // Responses nobody asked for are passed over without their values being read.
    const TIMAPResponse unknown = ParseIMAPResponse("* XUNKNOWN ((( \"unterminated\r\n");
    EXPECT_EQ(unknown.Name, "XUNKNOWN");
    EXPECT_TRUE(unknown.Values.empty());

    for (const char* broken : {"T1 LIST ()\r\n", "* LIST (a\r\n", "* LIST \"open\r\n", "* 1 FETCH (BODY[] {9}\r\nshort)\r\n",
                               "\r\n", "* 1 FETCH UID\r\n"})
        EXPECT_THROW(ParseIMAPResponse(broken), EIMAPException) << broken;
}

// A server (or someone in its place) cannot make the client allocate what it merely announces,
// nor hold an endless line, nor recurse without end.
TEST(IMAPResponseTest, AnnouncedSizesLineLengthAndNestingAreBounded) {
    TIMAPResponseAssembler huge;
    huge.Append("* 1 FETCH (BODY[] {" + std::to_string(IMAPMaximumMessageSize + 1) + "}\r\n");
    std::string response;
    EXPECT_THROW(huge.Next(response), EIMAPException);
    TIMAPResponseAssembler digits;
    digits.Append("* 1 FETCH (BODY[] {99999999999999999999999}\r\n");
    EXPECT_THROW(digits.Next(response), EIMAPException);

    TIMAPResponseAssembler endless;
    const std::string chunk(1024 * 1024, 'x');
    bool raised = false;
    for (std::size_t sent = 0; !raised && sent <= IMAPMaximumLineLength + chunk.size(); sent += chunk.size()) {
        endless.Append(chunk);
        try {
            endless.Next(response);
        } catch (const EIMAPException&) {
            raised = true;
        }
    }
    EXPECT_TRUE(raised);

    const std::string deep = "* LIST " + std::string(IMAPMaximumNesting + 1, '(') +
                             std::string(IMAPMaximumNesting + 1, ')') + " \"/\" x\r\n";
    EXPECT_THROW(ParseIMAPResponse(deep), EIMAPException);
    const std::string fine = "* LIST " + std::string(IMAPMaximumNesting, '(') + std::string(IMAPMaximumNesting, ')') +
                             " \"/\" x\r\n";
    EXPECT_NO_THROW(ParseIMAPResponse(fine));
}

TEST(IMAPResponseTest, SequenceSetsAndTheirLimit) {
    std::vector<uint32_t> numbers;
    AppendSequenceSet("3:1,7,10:10", numbers, 10);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 2, 3, 7, 10}));
    EXPECT_THROW(AppendSequenceSet("1:4294967295", numbers, 1000), EIMAPException);
    for (const char* broken : {"", "1:", "a", "0", "1,,2", "*"})
        EXPECT_THROW(AppendSequenceSet(broken, numbers, 1000), EIMAPException) << broken;
}

TEST(IMAPResponseTest, MailboxNamesInModifiedUTF7) {
    EXPECT_EQ(EncodeMailboxName("Tessivar/Awaiting Authorization"), "Tessivar/Awaiting Authorization");
    EXPECT_EQ(EncodeMailboxName("Entwürfe"), "Entw&APw-rfe");
    EXPECT_EQ(EncodeMailboxName("R&D"), "R&-D");
    EXPECT_EQ(EncodeMailboxName("日本語"), "&ZeVnLIqe-");
    EXPECT_EQ(EncodeMailboxName("😀"), "&2D3eAA-");
    for (const char* name : {"Entwürfe", "R&D", "日本語", "a😀b", "~peter/mail/&台北", "plain"})
        EXPECT_EQ(DecodeMailboxName(EncodeMailboxName(name)), name);
    // A name that is not valid modified UTF-7 is compared as it stands.
    EXPECT_EQ(DecodeMailboxName("&Jjo!"), "&Jjo!");
    EXPECT_EQ(DecodeMailboxName("a&AP-"), "a&AP-");
}

TEST(IMAPResponseTest, ArgumentsThatCannotBeQuotedNeedALiteral) {
    EXPECT_EQ(QuotedIMAPString("pa\"ss\\word"), "\"pa\\\"ss\\\\word\"");
    EXPECT_EQ(QuotedIMAPString(""), "\"\"");
    for (const std::string& text : {std::string("caf\xC3\xA9"), std::string("a\r\nb"), std::string("a\0b", 3)})
        EXPECT_FALSE(QuotedIMAPString(text));
}

TEST(IMAPResponseTest, OnlyCredentialRefusalsCountAsWrongPasswords) {
    EXPECT_TRUE(IsIMAPCredentialRefusal(ParseIMAPResponse("T1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n")));
    EXPECT_TRUE(IsIMAPCredentialRefusal(ParseIMAPResponse("T1 NO Login failed\r\n")));
    EXPECT_FALSE(IsIMAPCredentialRefusal(ParseIMAPResponse("T1 NO [UNAVAILABLE] Try later\r\n")));
    EXPECT_FALSE(IsIMAPCredentialRefusal(ParseIMAPResponse("T1 NO [SERVERBUG] Internal error\r\n")));
    EXPECT_FALSE(IsIMAPCredentialRefusal(ParseIMAPResponse("T1 NO [INUSE] Mailbox busy\r\n")));
}

} // namespace
