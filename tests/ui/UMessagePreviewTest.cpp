// The preview of a held message: decoded headers and text whatever the encoding and charset, HTML
// reduced to text without anything fetched, attachments by name and size, and a bound on what is
// read so that a huge message opens at once.

#include "ui/UHtmlText.h"
#include "ui/UMessagePreview.h"
#include "ui/UMessagePreviewPane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::string Message(const std::string& headers, const std::string& body) {
    return "From: =?ISO-8859-1?Q?Andr=E9?= <andre@example.fr>\r\nTo: me@example.test\r\n"
           "Date: Tue, 3 Mar 2026 10:00:00 +0100\r\nSubject: =?UTF-8?B?R3LDvMOfZQ==?=\r\nMIME-Version: 1.0\r\n" +
           headers + "\r\n" + body;
}

std::string TempFile(const std::string& name, const std::string& bytes) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

} // namespace

TEST(MessagePreview, HeadersAreDecodedAndQuotedPrintableLatin1TextBecomesUtf8) {
    const TMessagePreview preview =
        PreviewMessage(Message("Content-Type: text/plain; charset=iso-8859-1\r\n"
                               "Content-Transfer-Encoding: quoted-printable\r\n",
                               "Caf=E9 au lait, soft line=\r\n break.\r\n"));
    EXPECT_EQ(preview.From, "Andr\xC3\xA9 <andre@example.fr>");
    EXPECT_EQ(preview.To, "me@example.test");
    EXPECT_EQ(preview.Subject, "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(preview.Date, "Tue, 3 Mar 2026 10:00:00 +0100");
    // Soft line breaks joined, CR LF shown as a line feed.
    EXPECT_EQ(preview.Text, "Caf\xC3\xA9 au lait, soft line break.\n");
    EXPECT_FALSE(preview.FromHtml);
    EXPECT_FALSE(preview.TextCut);
}

TEST(MessagePreview, Base64Utf8TextAndUndeclared8BitTextAreBothReadable) {
    const TMessagePreview base64 = PreviewMessage(Message(
        "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n", "w4TDlsOcIGhlbGxvCg==\r\n"));
    EXPECT_EQ(base64.Text.substr(0, 12), "\xC3\x84\xC3\x96\xC3\x9C hello");
    // No charset and a Latin-1 byte: shown as the Latin-1 character, not dropped or garbled.
    const TMessagePreview raw = PreviewMessage(Message("Content-Type: text/plain\r\n", "na\xEFve\r\n"));
    EXPECT_EQ(raw.Text.substr(0, 6), "na\xC3\xAFve");
}

TEST(MessagePreview, PlainTextIsPreferredAndAttachmentsAreListedByNameAndSize) {
    const std::string attachment(57 * 100, 'x');
    std::string encoded;
    for (int line = 0; line < 100; ++line)
        encoded += std::string(76, 'e') + "\r\n";
    const TMessagePreview preview = PreviewMessage(Message(
        "Content-Type: multipart/mixed; boundary=\"outer\"\r\n",
        "--outer\r\nContent-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n"
        "--alt\r\nContent-Type: text/html\r\n\r\n<p>HTML version</p>\r\n"
        "--alt\r\nContent-Type: text/plain\r\n\r\nPlain version\r\n--alt--\r\n"
        "--outer\r\nContent-Type: application/pdf; name=\"bill.pdf\"\r\nContent-Disposition: attachment; "
        "filename=\"bill.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
            encoded + "--outer--\r\n"));
    EXPECT_EQ(preview.Text.substr(0, 13), "Plain version");
    ASSERT_EQ(preview.Attachments.size(), 1u);
    EXPECT_EQ(preview.Attachments[0].Name, "bill.pdf");
    // 100 lines of 76 characters carry 5,700 bytes; the estimate is within a line of it.
    EXPECT_NEAR(static_cast<double>(preview.Attachments[0].Size), 5700.0, 100.0);
    EXPECT_EQ(SizeText(preview.Attachments[0].Size), QStringLiteral("6 KB"));
}

TEST(MessagePreview, AnHtmlOnlyMessageIsReducedToTextAndNothingIsFetched) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const std::string address = "http://127.0.0.1:" + std::to_string(server.serverPort());
    const std::string html =
        "<html><head><title>T</title><style>p{color:red}</style><script>alert(1)</script></head><body>"
        "<p>Dear&nbsp;friend,</p><p>Click <a href=\"" + address + "/x\">here</a> &amp; win &#8364;5.</p>"
        "<img src=\"" + address + "/pixel.gif\"><link rel=stylesheet href=\"" + address + "/s.css\">"
        "<ul><li>one</li><li>two</li></ul><!-- hidden --></body></html>";
    const std::string path = TempFile("tessivar-preview-html.eml", Message("Content-Type: text/html; charset=utf-8\r\n", html));
    TMessagePreviewPane pane;
    pane.resize(400, 300);
    pane.show();
    pane.ShowPreview(PreviewMessageFile(path));
    const QString text = pane.BodyText();
    EXPECT_TRUE(text.startsWith(QStringLiteral("Dear friend,\n\nClick here & win \u20AC5.")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\u2022 one"))) << text.toStdString();
    for (const char* hidden : {"alert", "color:red", "hidden", "<"})
        EXPECT_FALSE(text.contains(QString::fromLatin1(hidden))) << hidden;
    // Whatever the pane does with the text, nothing asks the page's server for anything.
    QApplication::processEvents();
    EXPECT_FALSE(server.waitForNewConnection(300));
    EXPECT_FALSE(server.hasPendingConnections());
    std::filesystem::remove(path);
}

TEST(MessagePreview, AHugeMessageIsReadOnlyToTheBoundAndItsTextIsCut) {
    std::string body;
    body.reserve(64u << 20);
    const std::string line = std::string(70, 'a') + " line of text\r\n";
    while (body.size() < (64u << 20))
        body += line;
    const std::string path =
        TempFile("tessivar-preview-huge.eml", Message("Content-Type: text/plain; charset=us-ascii\r\n", body));
    QElapsedTimer clock;
    clock.start();
    const TMessagePreview preview = PreviewMessageFile(path);
    const qint64 elapsed = clock.elapsed();
    EXPECT_LE(preview.Text.size(), PreviewTextLimit);
    // The kept text fills the bound but for the CR of each CR LF, shown as a line feed alone.
    EXPECT_GT(preview.Text.size(), PreviewTextLimit - PreviewTextLimit / line.size() - line.size());
    EXPECT_TRUE(preview.TextCut);
    // Bounded: far less than reading and decoding 64 MiB (generous for sanitizer builds).
    EXPECT_LT(elapsed, 2000);
    std::filesystem::remove(path);
}

TEST(MessagePreview, AMissingFileIsAnErrorOfItsOwnAndGarbageIsNoCrash) {
    EXPECT_THROW(PreviewMessageFile("/nonexistent/tessivar/00000001.eml"), EMessagePreview);
    for (const std::string& bytes : {std::string(), std::string("\0\0\0", 3), std::string("Content-Type: multipart/mixed; "
                                                                                         "boundary=b\r\n\r\n--b\r\n--b")})
        EXPECT_NO_THROW(PreviewMessage(bytes));
    // Nesting deeper than the parser is let go is cut, not followed.
    std::string nested;
    for (int depth = 0; depth < 5000; ++depth)
        nested += "Content-Type: multipart/mixed; boundary=b" + std::to_string(depth) + "\r\n\r\n--b" +
                  std::to_string(depth) + "\r\n";
    EXPECT_TRUE(PreviewMessage(nested).TextCut);
}

TEST(HtmlText, EntitiesPreAndTheLimitAreHandledOnCharacterBoundaries) {
    EXPECT_EQ(HtmlToText("a&lt;b&gt;&#x41;&#65;&bogus;&#0;", 100), "a<b>AA&bogus;\xEF\xBF\xBD");
    EXPECT_EQ(HtmlToText("<pre>  two\n  lines</pre>after", 100), "  two\n  lines\nafter");
    EXPECT_EQ(HtmlToText("x < y and <3", 100), "x < y and <3");
    bool cut = false;
    const std::string text = HtmlToText("\xC3\xA9\xC3\xA9\xC3\xA9", 5, &cut);
    EXPECT_EQ(text, "\xC3\xA9\xC3\xA9");
    EXPECT_TRUE(cut);
}
