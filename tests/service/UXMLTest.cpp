#include "service/UXML.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "base/LDates.h"

namespace {

std::unique_ptr<TXMLNode> Parse(const std::string& text) {
    return TXMLNode::ParseString(text);
}

// The message of the XMLException that parsing the text raises, or "" when it parses.
template <typename TExpected = XMLException>
std::string ParseError(const std::string& text, TXMLParseLimits limits = {}) {
    try {
        TXMLReader reader(text, limits);
        TXMLNode::Parse(reader);
    } catch (const TExpected& e) {
        return e.Message();
    }
    return "";
}

std::string Repeat(const std::string& piece, int count) {
    std::string out;
    out.reserve(piece.size() * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        out += piece;
    return out;
}

TEST(UXMLTest, ParsesDeclarationAttributesAndTextAsServiceAnswersUseThem) {
    auto a = Parse("<?xml version=\"1.0\"?>  <a x='1' y=\"2\"/>");
    ASSERT_EQ(a->Name(), "a");
    ASSERT_EQ(a->Attributes().Count(), 2);
    EXPECT_EQ(a->Attributes().Items(0).Name(), "x");
    EXPECT_EQ(a->Attributes().Items(1).Value(), "2");
    EXPECT_EQ(a->Children().Count(), 0);

    EXPECT_EQ(Parse("<a>  hello  </a>")->Text(), "hello  ");
    auto mixed = Parse("<a>x<b/>y</a>");
    EXPECT_EQ(mixed->Text(), "x y");
    EXPECT_EQ(mixed->Children().Count(), 1);
    EXPECT_EQ(mixed->AsXML(), "<a><b />x y</a>");

    auto envelope = Parse("<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"u\"><soap:Body>"
                          "<SyncResponse><SyncResult><Name a=\"&quot;q&amp;\">Ren&#233;e &lt;R&gt;</Name>"
                          "</SyncResult></SyncResponse></soap:Body></soap:Envelope> trailing <junk");
    TXMLNode& name = envelope->Child("soap:Body").Children().Items(0).Child("SyncResult").Child("Name");
    EXPECT_EQ(name.Text(), "Ren\xE9"
                           "e <R>");
    EXPECT_EQ(name.Attributes().Items(0).Value(), "\"q&");
    EXPECT_EQ(envelope->Attributes().Items(0).Name(), "xmlns:soap");
}

TEST(UXMLTest, DecodesReferencesWithTheirQuirks) {
    EXPECT_EQ(XMLDecode("&#65;&#x41;&#X41;&#$41;"), "AAAA");
    EXPECT_EQ(XMLDecode("it&apos;s&nbsp;"), "its");
    EXPECT_EQ(XMLDecode("&#zz; &#; &#x;"), "&#zz; &#; &#x;");
    EXPECT_EQ(XMLDecode("a & b < c"), "a & b < c");
    EXPECT_EQ(XMLDecode("&#321;"), "A"); // only the low 8 bits of the code
    EXPECT_EQ(XMLDecode("&#99999999999;"), "&#99999999999;");
    EXPECT_EQ(XMLDecode("&amp;lt;"), "&lt;");
    EXPECT_EQ(XMLEncode("<a href=\"x\">Tom & Jerry's</a>"), "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry's&lt;/a&gt;");
    const std::string bytes = "\xFF\xFE\x00 ok\xC3"
                              "("; // invalid UTF-8 passes as it is
    EXPECT_EQ(XMLDecode(XMLEncode(bytes)), bytes);

    // Each further text run decodes the whole text again, across the joining blank.
    EXPECT_EQ(Parse("<a>&amp;lt;<b/>x</a>")->Text(), "< x");
    EXPECT_EQ(Parse("<a>1 &amp;<b/>2<b/>3; 4</a>")->Text(), "1  4");
    EXPECT_EQ(Parse("<a>&#zz;<b/>&amp;amp;<c/>x</a>")->Text(), "&#zz; & x");
    EXPECT_EQ(Parse("<a>&apos;<b/>x</a>")->Text(), "x"); // no blank after an empty text
}

TEST(UXMLTest, ReportsEachSyntaxErrorWithItsMessageAndClass) {
    EXPECT_EQ(ParseError<XMLNodeException>("hello"), "Expected start of tag.");
    EXPECT_EQ(ParseError<XMLNodeException>("<a/ x>"), "Expected end of tag.");
    EXPECT_EQ(ParseError<XMLNodeException>("<a></a x>"), "Expected end of tag.");
    EXPECT_EQ(ParseError<XMLReaderException>("<a><!-- c --></a>"), "Expected identifier.");
    EXPECT_EQ(ParseError<XMLReaderException>("<a_b/>"), "Expected identifier.");
    EXPECT_EQ(ParseError<XMLReaderException>("<a x=1/>"), "Expected value delimiter.");
    EXPECT_EQ(ParseError<XMLNodeException>("<a x/>"), "Expected \"=\".");
    for (const char* truncated : {"<a><b>", "", "  ", "<a", "<a x='1", "<a>text", "<?xml", "<a></a"})
        EXPECT_EQ(ParseError<XMLReaderException>(truncated), "Unexpected end of the XML input.") << truncated;
    EXPECT_EQ(ParseError("<!DOCTYPE html><html><body><h1>502 Bad Gateway</h1></body></html>"), "Expected identifier.");
}

TEST(UXMLTest, KeepsStrayEndTagsAndReadsOnlyTheFirstElement) {
    auto a = Parse("<a><b></c></b><d>t</d></a><e/>");
    ASSERT_EQ(a->Children().Count(), 2);
    EXPECT_EQ(a->Children().Items(0).Children().Items(0).Name(), "/c");
    EXPECT_EQ(a->Child("d").Text(), "t");
    EXPECT_EQ(a->Children().Find("e"), nullptr);
    EXPECT_EQ(Parse("</x >")->Name(), "/x");
    EXPECT_EQ(Parse("<a:b:c/>")->Name(), "a:b:c");
}

TEST(UXMLTest, ChildAddsMissingElementsThatAreThenWritten) {
    TXMLNode login("Login");
    login.Child("Username").SetText("a<b");
    TXMLNode& password = login.Child("Password");
    EXPECT_EQ(&login.Child("Username"), &login.Children().Items(0));
    EXPECT_EQ(&password, &login.Child("Password")); // references survive later additions
    EXPECT_EQ(login.AsXML(), "<Login><Username>a&lt;b</Username><Password /></Login>");

    auto answer = Parse("<R><DataVersion>7</DataVersion></R>");
    EXPECT_EQ(answer->Children().Find("ErrorMessages"), nullptr);
    EXPECT_EQ(answer->Child("ErrorMessages").Children().Count(), 0);
    EXPECT_EQ(answer->AsXML(), "<R><DataVersion>7</DataVersion><ErrorMessages /></R>");
    EXPECT_THROW(answer->Children().Items(2), XMLNodeException);
    EXPECT_THROW(answer->Attributes().Items(-1), XMLNodeException);
}

TEST(UXMLTest, WritesAttributesEscapedAndTheTraceFormUnescaped) {
    TXMLNode node("S");
    node.Attributes().Add("xmlns", "http://x/?a=1&b=\"2\"");
    node.Children().Add("E").SetText("Tom & Jerry");
    node.Children().Add("E");
    node.SetText("tail");
    EXPECT_EQ(node.AsXML(), "<S xmlns=\"http://x/?a=1&amp;b=&quot;2&quot;\"><E>Tom &amp; Jerry</E><E />tail</S>");
    EXPECT_EQ(node.FormatXML(1, 1), "\t<S xmlns=\"http://x/?a=1&b=\"2\"\">\r\n\t\t<E>\r\n\t\t\tTom & Jerry\r\n"
                                    "\t\t</E>\r\n\t\t<E />\r\n\t\ttail\r\n\t</S>\r\n");
    auto again = Parse(node.AsXML());
    EXPECT_EQ(again->AsXML(), node.AsXML());
}

TEST(UXMLTest, TypedAccessorsNeverFail) {
    TXMLNode node("N");
    for (const char* text : {"", "12x", " 5", "2147483648", "0x10"}) {
        node.SetText(text);
        EXPECT_EQ(node.AsInteger(), -1) << text;
    }
    node.SetAsInteger(-2147483647 - 1);
    EXPECT_EQ(node.AsInteger(), -2147483647 - 1);
    for (const char* yes : {"true", "TRUE", "Yes"}) {
        node.SetText(yes);
        EXPECT_TRUE(node.AsBoolean());
    }
    for (const char* no : {"", "1", "false", "y"}) {
        node.SetText(no);
        EXPECT_FALSE(node.AsBoolean());
    }
    node.SetAsBoolean(false);
    EXPECT_EQ(node.Text(), "false");

    const TDateTime when = EncodeDateTime(2026, 12, 7, 10, 15, 0, 123);
    node.SetAsDateTime(when);
    EXPECT_EQ(node.Text().substr(0, 27), "2026-12-07T10:15:00.1230000");
    EXPECT_NEAR(node.AsDateTime(), when, 1e-8);
    node.SetText("not a date");
    EXPECT_NEAR(node.AsDateTime(), Now(), 1.0 / 86400 * 5);
}

TEST(UXMLTest, ReadsStreamsWholeAndReportsTheirFailure) {
    std::istringstream stream("<a><b>1</b></a>");
    EXPECT_EQ(TXMLNode::ParseStream(stream)->Child("b").AsInteger(), 1);
    // A stream the caller set to throw at its end is still read to its end.
    std::istringstream strict("<a>1</a>");
    strict.exceptions(std::ios::failbit | std::ios::eofbit);
    EXPECT_EQ(TXMLNode::ParseStream(strict)->AsInteger(), 1);

    struct TFailingBuffer : std::streambuf {
        int_type underflow() override { throw std::runtime_error("connection reset"); }
    } failing;
    std::istream broken(&failing);
    try {
        TXMLNode::ParseStream(broken);
        ADD_FAILURE() << "a failing stream parsed";
    } catch (const XMLReaderException& e) {
        EXPECT_EQ(e.Message(), "Stream read error.");
    }
}

// Answers come from the network: hostile shapes end as a tree or an XMLException, in bounded time.
TEST(UXMLTest, HostileAnswersEndInBoundedExceptions) {
    EXPECT_EQ(ParseError<XMLNodeException>(Repeat("<a>", 100000)), "Elements are nested deeper than 256 levels.");
    const std::string deepest = Repeat("<a>", 256) + Repeat("</a>", 256);
    EXPECT_EQ(Parse(deepest)->AsXML().size(), 256 * 7 - 2);

    TXMLParseLimits small;
    small.MaxItems = 1000;
    EXPECT_EQ(ParseError<XMLNodeException>("<r>" + Repeat("<a x='1'/>", 501) + "</r>", small),
              "The XML input holds more than 1000 elements and attributes.");
    EXPECT_EQ(ParseError("<r>" + Repeat("<a x='1'/>", 500) + "</r>", small), "");

    // A large body parses in one linear pass; cut short, it fails with the end of the input.
    const std::string big = "<r>" + Repeat("<s><e>a&amp;b</e><n>1</n></s>", 100000) + "</r>";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Parse(big)->Children().Count(), 100000);
    EXPECT_EQ(ParseError(big.substr(0, big.size() / 2)), "Unexpected end of the XML input.");

    // Text re-decoded after every run: a text that stays live for each run is charged and stopped.
    const std::string costly = "<a>" + Repeat("&amp;amp;", 100000) + Repeat("x", 1 << 20) + Repeat("<b/>y", 200000);
    EXPECT_EQ(ParseError<XMLReaderException>(costly + "</a>"), "Element text exceeds the decoding limit.");
    // Many runs of ordinary mixed text only decode each run once.
    const std::string text = Parse("<a>" + Repeat("Tom&#38;#65;<b/>", 50000) + "</a>")->Text();
    EXPECT_EQ(text.size(), 50000 * 5 + 3);
    EXPECT_EQ(text.substr(0, 10), "TomA TomA ");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

} // namespace
