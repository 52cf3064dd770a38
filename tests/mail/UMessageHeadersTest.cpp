#include "mail/UMessageHeaders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

constexpr double OneSecond = 1.0 / 86400;

TStringArray Lines(std::string_view text) {
    TStringArray lines = SplitText(text, "\n");
    for (std::string& line : lines)
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    return lines;
}

// Runs each test with a local standard time one hour east of UTC, so that a missing or reversed
// local offset shows.
class LocalZone : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ"))
            m_SavedZone = tz;
        setenv("TZ", "TST-1", 1);
        tzset();
        ASSERT_EQ(LocalStandardOffset(), 60);
    }
    void TearDown() override {
        if (m_SavedZone)
            setenv("TZ", m_SavedZone->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static TDateTime Local(int year, int month, int day, int hour, int minute = 0, int second = 0) {
        return EncodeDateTime(year, month, day, hour, minute, second) + 1.0 / 24;
    }
    static constexpr TDateTime ZeroDate = 1.0 / 24;

private:
    std::optional<std::string> m_SavedZone;
};

// Header lookup

TEST(MessageHeaderListTest, FindsTheFirstHeaderOfANameInAnyLetterCase) {
    TMessageHeaderList headers(Lines("SUBJECT: first\nFrom: a@b.c\nsubject: second"));
    EXPECT_EQ(headers.Values("Subject"), "first");
    EXPECT_EQ(headers.Values("Missing"), "");
}

TEST(MessageHeaderListTest, BlankBeforeTheColonIsPartOfTheName) {
    TMessageHeaderList headers(Lines("Subject : spaced\nX: y"));
    EXPECT_EQ(headers.Values("Subject"), "");
    EXPECT_EQ(headers.Values("Subject "), "spaced");
}

TEST(MessageHeaderListTest, UnfoldsContinuationLines) {
    TMessageHeaderList headers(Lines("Subject: Hello\n\tWorld\nTo:\n   \n  a@b.c  \n\t\nX: y\n more"));
    EXPECT_EQ(headers.Values("Subject"), "Hello World");
    EXPECT_EQ(headers.Values("To"), "a@b.c");
    EXPECT_EQ(headers.Values("X"), "y more");
    EXPECT_EQ(TMessageHeaderList(TStringArray{"Subject: a", "", " b"}).Values("Subject"), "a");
}

TEST(MessageHeaderListTest, TenThousandFoldedLinesAreJoined) {
    TStringArray lines{"Subject: start"};
    for (int i = 0; i < 10000; ++i)
        lines.push_back("\t" + std::string(70, 'x'));
    TMessageHeaderList headers(std::move(lines));
    EXPECT_EQ(headers.Values("Subject").size(), 5 + 10000 * 71u);
}

// Addresses

TEST(EmailAddressTest, ReadsTheCommonForms) {
    const struct {
        const char* Text;
        const char* Address;
        const char* Name;
    } cases[] = {
        {"john@example.com", "john@example.com", ""},
        {"  john@example.com  ", "john@example.com", ""},
        {"John Smith <john@example.com>", "john@example.com", "John Smith"},
        {"\t John \t<john@example.com>", "john@example.com", "John"},
        {"\"Smith, John\" <john@example.com>", "john@example.com", "Smith, John"},
        {"\"A \\\"quoted\\\" name\" <a@b.c>", "a@b.c", "A \"quoted\" name"},
        {"john@example.com (John Smith)", "john@example.com", ""},
        {"john@example.com (outer (inner) comment)", "john@example.com", ""},
        {"John (the boss) <john@example.com> (work)", "john@example.com", "John"},
        {"<john . smith @ example . com>", "john.smith@example.com", ""},
        {"MAILER DAEMON <>", "", "MAILER DAEMON"},
        {"\"john smith\"@example.com", "\"john smith\"@example.com", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TEmailAddress address = ParseEmailAddress(c.Text);
        EXPECT_EQ(address.Address, c.Address);
        EXPECT_EQ(address.Name, c.Name);
    }
}

TEST(EmailAddressTest, AtAfterAClosedAddressFails) {
    try {
        ParseEmailAddress("John <john@example.com>@evil.example");
        FAIL() << "no exception";
    } catch (const EEmailAddressException& error) {
        EXPECT_EQ(error.Message(), "@ Outside address");
    }
    EXPECT_THROW(ParseEmailAddress("<a@b.c> <d@e.f>"), EMessageParseException);
    // An "@" inside a comment or quotes after the address is harmless.
    EXPECT_EQ(ParseEmailAddress("<a@b.c> (sent @ noon) \"x@y\"").Address, "a@b.c");
}

TEST(EmailAddressTest, MalformedTextNeverRunsPastTheEnd) {
    EXPECT_EQ(ParseEmailAddress("\"unclosed name <a@b.c>").Address, "\"unclosed name <a@b.c>");
    EXPECT_EQ(ParseEmailAddress("a@b.c (unclosed (comment").Address, "a@b.c");
    EXPECT_EQ(ParseEmailAddress("Name <a@b.c").Address, "a@b.c");
    EXPECT_EQ(ParseEmailAddress("a@b.c )) >> <").Address, "");
    EXPECT_EQ(ParseEmailAddress("trailing backslash \"\\").Name, "");
    const std::string deep = "a@b.c " + std::string(10000, '(') + "x" + std::string(10000, ')') + " d@e.f";
    EXPECT_EQ(ParseEmailAddress(deep).Address, "a@b.c  d@e.f");
    EXPECT_EQ(ParseEmailAddress(std::string(10000, '(')).Address, "");
}

TEST(EmailAddressTest, ListsSplitOnlyAtCommasOutsideQuotesCommentsAndBrackets) {
    const auto list = ParseEmailAddressList("\"B, A\" <a@x.org>, c@y.org (C, c), <@r1,@r2:d@z.org>,, ");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Name, "B, A");
    EXPECT_EQ(list[1].Address, "c@y.org");
    EXPECT_EQ(list[2].Address, "@r1,@r2:d@z.org");
    EXPECT_EQ(ParseEmailAddressList("Undisclosed recipients:;").size(), 1u);
    EXPECT_THROW(ParseEmailAddressList("a@b.c, B <b@c.d>@e"), EEmailAddressException);
}

TEST(EmailAddressTest, SplitGivesUserAndDomainOfBareAndBracketedForms) {
    const TEmailAddressParts bare = Internet::SplitEmailAddress("john@example.com");
    const TEmailAddressParts bracketed = Internet::SplitEmailAddress("\"Smith, John\" <john@example.com>");
    EXPECT_EQ(bare.User, "john");
    EXPECT_EQ(bare.Domain, "example.com");
    EXPECT_EQ(bracketed.User, bare.User);
    EXPECT_EQ(bracketed.Domain, bare.Domain);

    const TEmailAddressParts noAt = Internet::SplitEmailAddress("postmaster");
    EXPECT_EQ(noAt.User, "postmaster");
    EXPECT_EQ(noAt.Domain, "");
    // An unreadable bracketed text is split as it stands.
    const TEmailAddressParts broken = Internet::SplitEmailAddress("<a@b.c>@d");
    EXPECT_EQ(broken.User, "<a");
    EXPECT_EQ(broken.Domain, "b.c>@d");
}

// Encoded words

TEST(HeaderTextTest, DecodesOnlyIsoAndWindowsCharsets) {
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?Q?caf=E9_au_lait?="), "caf\xE9 au lait");
    EXPECT_EQ(DecodeHeaderText("=?windows-1252?b?R3L832U=?="), "Gr\xFC\xDF\x65");
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?caf=C3=A9?="), "=?UTF-8?Q?caf=C3=A9?=");
    EXPECT_EQ(DecodeHeaderText("Re: =?iso-8859-1?q?a?= =?iso-8859-1?Q?b?= end"), "Re: a b end");
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?B?SGVsbG8?="), "Hel"); // the short remainder is dropped
}

TEST(HeaderTextTest, IncompleteWordsStayAndDecodingGoesOn) {
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?Q?abc"), "=?ISO-8859-1?Q?abc");
    EXPECT_EQ(DecodeHeaderText("a =?ISO-8859-1?Q?x?= =?ISO-8859-1"), "a x =?ISO-8859-1");
    EXPECT_EQ(DecodeHeaderText("=?iso?q?1?= =?"), "1 =?");
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?Q?trailing=?="), "trailing=");
}

TEST(HeaderTextTest, BadQuotedEscapeFailsTheDecoding) {
    EXPECT_THROW(DecodeHeaderText("=?ISO-8859-1?Q?bad=ZZ?="), EHeaderDecodeException);
    EXPECT_THROW(ParseMessageHeaders(Lines("Subject: =?ISO-8859-1?Q?=G1?=")), EMessageParseException);
    EXPECT_NO_THROW(DecodeHeaderText("=?UTF-8?Q?not=ZZdecoded?="));
}

TEST(HeaderTextTest, NulBytesAreRemoved) {
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?Q?a=00b?="), "ab");
    EXPECT_EQ(DecodeHeaderText(std::string("x\0y", 3)), "xy");
}

TEST(HeaderTextTest, IsoJapaneseBecomesShiftJis) {
    EXPECT_EQ(DecodeHeaderText("=?ISO-2022-JP?B?GyRCJEskWyRzGyhC?="), "\x82\xC9\x82\xD9\x82\xF1");
    // Other ISO charsets keep the JIS bytes as they are.
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?B?GyRCJEskWyRzGyhC?="), "\x1B$B$K$[$s\x1B(B");
}

TEST(HeaderTextTest, HostileTextDoesNotHang) {
    std::string manyOpenings;
    for (int i = 0; i < 100000; ++i)
        manyOpenings += "=?x";
    EXPECT_EQ(DecodeHeaderText(manyOpenings), manyOpenings);
    std::string manyWords;
    for (int i = 0; i < 100000; ++i)
        manyWords += "=?ISO?B?QQ==?=";
    EXPECT_EQ(DecodeHeaderText(manyWords), std::string(100000, 'A'));
}

// Dates

using InternetDateTest = LocalZone;

TEST_F(InternetDateTest, ConvertsTheZoneToUtcThenToLocalTime) {
    EXPECT_NEAR(InternetDateToLocal("Tue, 2 Mar 04 10:00:00 +0200"), Local(2004, 3, 2, 8), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("Fri, 4 May 2001 14:05:44 -0400"), Local(2001, 5, 4, 18, 5, 44), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("Sun, 23 Sep 2001 20:14:35 -0700 (PDT)"), Local(2001, 9, 24, 3, 14, 35), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("2 Mar 2004 10:00 GMT"), Local(2004, 3, 2, 10), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("2 Mar 2004 10:00:00 EST"), Local(2004, 3, 2, 15), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("2 Mar 2004 10:00:00 XYZ"), Local(2004, 3, 2, 10), OneSecond);
}

TEST_F(InternetDateTest, ReadsTheCommonVariants) {
    EXPECT_NEAR(InternetDateToLocal("Tuesday, Mar 2, 2004 10:00:00 +0000"), Local(2004, 3, 2, 10), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("02-Mar-2004 10:00:00 -0500"), Local(2004, 3, 2, 15), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("Tue Mar  2 10:00:00 2004"), Local(2004, 3, 2, 10), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("2 March 2004"), Local(2004, 3, 2, 0), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("2 Mar 2004 23:59:60 +0000"), Local(2004, 3, 2, 23, 59, 59), OneSecond);
}

TEST_F(InternetDateTest, TwoDigitYearsPivotAtEighty) {
    EXPECT_NEAR(InternetDateToLocal("1 Jan 79 00:00:00 +0000"), Local(2079, 1, 1, 0), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("1 Jan 80 00:00:00 +0000"), Local(1980, 1, 1, 0), OneSecond);
    EXPECT_NEAR(InternetDateToLocal("1 Jan 99 00:00:00 +0000"), Local(1999, 1, 1, 0), OneSecond);
}

TEST_F(InternetDateTest, UnreadableDatesGiveTheZeroDateMovedByTheOffsets) {
    for (const char* text :
         {"", "   ", "garbage", "Tue,", "31 Feb 2004 10:00:00", "2 Mar 99999 10:00:00", "2 Mar 2004 25:00:00",
          "2 Mar 2004 10:00:00:00", "99999999999 Mar 2004", "2 Mar 2004 1O:00"}) {
        SCOPED_TRACE(text);
        EXPECT_NEAR(InternetDateToLocal(text), ZeroDate, OneSecond);
    }
    // The zone still applies to what is left of an unreadable date.
    EXPECT_NEAR(InternetDateToLocal("31 Feb 2004 10:00:00 +0200"), ZeroDate - 2.0 / 24, OneSecond);
    // An impossible zone counts as UTC.
    EXPECT_NEAR(InternetDateToLocal("2 Mar 2004 10:00:00 +9999"), Local(2004, 3, 2, 10), OneSecond);
}

// Whole messages

using ParsedMessageDateTest = LocalZone;

TEST_F(ParsedMessageDateTest, MessageWithEmptyFirstLineHasNoHeaders) {
    const TParsedMessage message = ParseMessageHeaders(Lines("\nFrom: a@b.c\nSubject: x"));
    EXPECT_EQ(message.Headers.Count(), 0);
    EXPECT_EQ(message.MessageId, "");
    EXPECT_EQ(message.FromAddress, "");
    EXPECT_EQ(message.FromName, "");
    EXPECT_EQ(message.Subject, "");
    EXPECT_NEAR(message.Date, ZeroDate, OneSecond);
}

TEST(ParseMessageHeadersTest, ReadsTheFieldsOfTheHeaderBlockOnly) {
    const TParsedMessage message = ParseMessageHeaders(Lines("Message-ID: <=?iso-8859-1?q?x?=@host>\n"
                                                             "From: =?ISO-8859-1?Q?Ren=E9?= <rene@example.com>\n"
                                                             "Subject: =?ISO-8859-1?Q?Caf=E9?=\n"
                                                             "\tmenu\n"
                                                             ".\n"
                                                             "X-Tessivar: Authentication-Request\n"));
    EXPECT_EQ(message.Headers.Count(), 4);
    EXPECT_EQ(message.MessageId, "<=?iso-8859-1?q?x?=@host>");
    EXPECT_EQ(message.FromAddress, "rene@example.com");
    EXPECT_EQ(message.FromName, "Ren\xE9");
    EXPECT_EQ(message.Subject, "Caf\xE9 menu");
    EXPECT_EQ(message.Headers.Values("X-Tessivar"), "");
}

TEST(ParseMessageHeadersTest, UnreadableAddressHeaderFailsTheMessage) {
    for (const char* header :
         {"From", "Sender", "To", "Cc", "Reply-To", "Disposition-Notification-To", "Return-Receipt-To"}) {
        SCOPED_TRACE(header);
        EXPECT_THROW(ParseMessageHeaders({std::string(header) + ": A <a@b.c>@d"}), EEmailAddressException);
    }
    // The receipt address is only read when the notification address is empty, and Bcc never.
    EXPECT_NO_THROW(
        ParseMessageHeaders({"Disposition-Notification-To: a@b.c", "Return-Receipt-To: <a@b.c>@d", "Bcc: <a@b.c>@d"}));
    // "Sender" is not decoded, so a bad escape in it is not an error.
    EXPECT_NO_THROW(ParseMessageHeaders({"Sender: =?ISO-8859-1?Q?=ZZ?= <a@b.c>"}));
    EXPECT_THROW(ParseMessageHeaders({"Cc: =?ISO-8859-1?Q?=ZZ?= <a@b.c>"}), EHeaderDecodeException);
}

TEST(ParseMessageHeadersTest, TolerantReadingKeepsWhatTheStrictOneRefuses) {
    const TStringArray lines{"Message-Id: <m1@host>",
                             "From: =?ISO-8859-1?Q?=ZZ?= <bob@example.org> carol@example.org",
                             "To: A <a@x>; B <b@y>",
                             "Subject: =?ISO-8859-1?Q?bad=ZZ_news?=",
                             "Date: Tue, 2 Mar 2004 10:00:00 +0000",
                             "",
                             "body"};
    EXPECT_THROW(ParseMessageHeaders(lines), EMessageParseException);
    const TParsedMessage message = ParseMessageHeadersTolerant(lines);
    EXPECT_EQ(message.MessageId, "<m1@host>");
    EXPECT_EQ(message.FromAddress, "bob@example.org");
    EXPECT_EQ(message.FromName, "");
    EXPECT_EQ(message.Subject, "=?ISO-8859-1?Q?bad=ZZ_news?=");
    EXPECT_EQ(message.Date, ParseMessageHeaders({"Date: Tue, 2 Mar 2004 10:00:00 +0000"}).Date);
    // Readable headers read the same either way.
    const TStringArray good{"From: \"Bob, Jr\" <bob@example.org>", "Subject: =?ISO-8859-1?Q?Caf=E9?="};
    EXPECT_EQ(ParseMessageHeadersTolerant(good).FromAddress, ParseMessageHeaders(good).FromAddress);
    EXPECT_EQ(ParseMessageHeadersTolerant(good).FromName, "Bob, Jr");
    EXPECT_EQ(ParseMessageHeadersTolerant(good).Subject, "Caf\xE9");
}

TEST(ParseMessageHeadersTest, SenderIsTheFirstMailboxReadAsWrittenWithOnlyItsNameDecoded) {
    const struct {
        const char* From;
        const char* Address;
        const char* Name;
    } cases[] = {
        {"a@x.com, b@x.com", "a@x.com", ""},
        {"\"Doe, John\" <j@x.com>, o@y.org", "j@x.com", "Doe, John"},
        {"Team: a@x.com, b@x.com;", "a@x.com", ""},
        {"Undisclosed recipients:;", "", ""},
        {"Doe, John <j@x.com>", "j@x.com", "Doe, John"},
        {"=?ISO-8859-1?Q?Doe=2C_John?= <j@x.com>, k@y.org", "j@x.com", "Doe, John"},
        {"=?ISO-8859-1?Q?=3Cboss=40bank=2Eexample=3E?= <j@x.com>", "j@x.com", "<boss@bank.example>"},
        {"Jo <jo@=?ISO-8859-1?Q?evil=2Eexample?=.com>", "jo@=?ISO-8859-1?Q?evil=2Eexample?=.com", "Jo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.From);
        const TStringArray lines{std::string("From: ") + c.From};
        for (const TParsedMessage& message : {ParseMessageHeaders(lines), ParseMessageHeadersTolerant(lines)}) {
            EXPECT_EQ(message.FromAddress, c.Address);
            EXPECT_EQ(message.FromName, c.Name);
        }
    }
    EXPECT_NO_THROW(ParseMessageHeaders({"To: =?ISO-8859-1?Q?=3Ca=40b=3E=40c?= <d@e.f>"}));
    EXPECT_THROW(ParseMessageHeaders({"From: a@b.c, =?ISO-8859-1?Q?=ZZ?= <d@e.f>"}), EHeaderDecodeException);
    // The tolerant reading takes its sender from the first mailbox only.
    EXPECT_EQ(ParseMessageHeadersTolerant({"From: first@x.com, B <b@y.org>@z"}).FromAddress, "first@x.com");
    EXPECT_EQ(ParseMessageHeadersTolerant({"From: A <a@x.com>@z, C <c@y.org>"}).FromAddress, "a@x.com");
}

TEST(ParseMessageHeadersTest, NulBytesNeverReachTheReadFields) {
    using namespace std::string_literals;
    const TStringArray lines{"Message-Id: <a\0b@host>"s, "From: Jo\0e <j\0o@x.com>"s};
    for (const TParsedMessage& message : {ParseMessageHeaders(lines), ParseMessageHeadersTolerant(lines)}) {
        EXPECT_EQ(message.MessageId, "<ab@host>");
        EXPECT_EQ(message.FromAddress, "jo@x.com");
        EXPECT_EQ(message.FromName, "Joe");
    }
    EXPECT_EQ(ParseMessageHeaders({"Message-Id: \0\0"s}).MessageId, ""); // no id: the checker makes one
}

TEST(ParseMessageHeadersTest, ReadsRealMessages) {
    const std::filesystem::path folder = std::filesystem::path(TESSIVAR_SOURCE_DIR) / "tests/fuzz/corpus/messages";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream file(entry.path(), std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        EXPECT_NO_THROW(ParseMessageHeaders(Lines(content.str())));
        ++count;
    }
    EXPECT_GT(count, 20);

    const auto read = [&](const char* name) {
        std::ifstream file(folder / name, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return ParseMessageHeaders(Lines(content.str()));
    };
    const TParsedMessage commented = read("msg_01.txt");
    EXPECT_EQ(commented.FromAddress, "bbb@ddd.com");
    EXPECT_EQ(commented.FromName, "");
    EXPECT_EQ(commented.Subject, "This is a test message");
    EXPECT_NEAR(commented.Date, EncodeDateTime(2001, 5, 4, 18, 5, 44) + LocalStandardOffset() / 1440.0, OneSecond);
    const TParsedMessage quoted = read("msg_41.txt");
    EXPECT_EQ(quoted.FromAddress, "xxx@example.com");
    EXPECT_EQ(quoted.FromName, "Allison Dunlap");
    const TParsedMessage crlf = read("msg_26.txt");
    EXPECT_EQ(crlf.FromAddress, "father.time@xcar.wooster.local");
    EXPECT_EQ(crlf.FromName, "Father Time");
}

} // namespace
