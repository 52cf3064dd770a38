#include "service/UXML.h"

#include <algorithm>
#include <exception>
#include <istream>
#include <streambuf>
#include <string>

#include "base/LStrings.h"

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr size_t DecodeWorkAllowance = 16 * 1024 * 1024;

bool IsWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsIdentifierChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The digits of a numeric reference: decimal, or hexadecimal after "x", "X" or "$"; the value
// must fit a 32-bit integer (hexadecimal may use all 32 bits).
bool ReadReferenceNumber(std::string_view digits, uint32_t& code) {
    const bool hex = !digits.empty() && (digits[0] == 'x' || digits[0] == 'X' || digits[0] == '$');
    if (hex)
        digits.remove_prefix(1);
    if (digits.empty())
        return false;
    uint64_t value = 0;
    for (const char c : digits) {
        const int digit = hex ? HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0)
            return false;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > (hex ? 0xFFFFFFFFull : 0x7FFFFFFFull))
            return false;
    }
    code = static_cast<uint32_t>(value);
    return true;
}

void AppendEncoded(std::string& out, std::string_view text) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char* entity = nullptr;
        switch (text[i]) {
        case '"':
            entity = "&quot;";
            break;
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        default:
            continue;
        }
        out.append(text.substr(start, i - start));
        out += entity;
        start = i + 1;
    }
    out.append(text.substr(start));
}

// Appends the decoded text to `out` and returns the offset in `out` from which decoding the result
// once more could change it: the first "&" that a reference produced, or the start of a tail that
// was copied because no ";" follows its "&". Everything before that offset decodes to itself, which
// lets element text built from several runs skip the part that is already final.
size_t AppendDecoded(std::string& out, std::string_view text) {
    size_t unstable = npos;
    size_t position = 0;
    while (position < text.size()) {
        const size_t ampersand = text.find('&', position);
        if (ampersand == npos) {
            out.append(text.substr(position));
            break;
        }
        out.append(text.substr(position, ampersand - position));
        const size_t semicolon = text.find(';', ampersand + 1);
        if (semicolon == npos) {
            if (unstable == npos)
                unstable = out.size();
            out.append(text.substr(ampersand));
            break;
        }
        const std::string_view reference = text.substr(ampersand, semicolon - ampersand + 1);
        position = semicolon + 1;
        uint32_t code = 0;
        if (reference == "&lt;")
            out += '<';
        else if (reference == "&gt;")
            out += '>';
        else if (reference == "&quot;")
            out += '"';
        else if (reference == "&amp;") {
            if (unstable == npos)
                unstable = out.size();
            out += '&';
        } else if (reference[1] == '#') {
            if (!ReadReferenceNumber(reference.substr(2, reference.size() - 3), code)) {
                out.append(reference); // decodes to itself again
            } else {
                const char c = static_cast<char>(code & 0xFF);
                if (c == '&' && unstable == npos)
                    unstable = out.size();
                out += c;
            }
        }
        // Any other reference is dropped.
    }
    return unstable == npos ? out.size() : unstable;
}

// Element text gathered from the runs between child elements: each further run is joined with a
// blank and the whole text is decoded again. Only the part after the last final offset is decoded
// again, and the characters decoded are charged to the parse's budget.
struct TElementText {
    std::string Text;
    size_t Final = 0;
};

class TXMLParser {
public:
    explicit TXMLParser(TXMLReader& reader)
        : m_Reader(reader), m_Limits(reader.Limits()),
          m_DecodeBudget(m_Limits.DecodeWorkFactor * reader.Size() + DecodeWorkAllowance) {}

    std::unique_ptr<TXMLNode> Element(int depth);

private:
    void Content(TXMLNode& node, int depth);
    void AddRun(TElementText& text, std::string_view run);
    void CountItem();

    TXMLReader& m_Reader;
    const TXMLParseLimits m_Limits;
    size_t m_Items = 0;
    size_t m_DecodeBudget;
};

void TXMLParser::CountItem() {
    if (++m_Items > m_Limits.MaxItems)
        throw XMLNodeException("The XML input holds more than " + std::to_string(m_Limits.MaxItems) +
                               " elements and attributes.");
}

void TXMLParser::AddRun(TElementText& text, std::string_view run) {
    if (text.Text.empty()) {
        if (run.size() > m_DecodeBudget)
            throw XMLReaderException("Element text exceeds the decoding limit.");
        m_DecodeBudget -= run.size();
        text.Final = AppendDecoded(text.Text, run);
        return;
    }
    const size_t work = text.Text.size() - text.Final + 1 + run.size();
    if (work > m_DecodeBudget)
        throw XMLReaderException("Element text exceeds the decoding limit.");
    m_DecodeBudget -= work;
    std::string pending = text.Text.substr(text.Final);
    pending += ' ';
    pending.append(run);
    text.Text.resize(text.Final);
    text.Final = AppendDecoded(text.Text, pending);
}

std::unique_ptr<TXMLNode> TXMLParser::Element(int depth) {
    TXMLReader& reader = m_Reader;
    for (;;) {
        reader.SkipWhitespace();
        if (reader.Peek() != '<')
            throw XMLNodeException("Expected start of tag.");
        reader.Read();
        reader.SkipWhitespace();
        if (reader.Peek() != '?')
            break;
        reader.ReadUntil('>'); // processing instructions, the declaration among them, are skipped
        reader.Read();
    }
    if (reader.Peek() == '/') {
        reader.Read();
        auto endTag = std::make_unique<TXMLNode>("/" + reader.ReadIdentifier());
        reader.SkipWhitespace();
        if (reader.Peek() != '>')
            throw XMLNodeException("Expected end of tag.");
        reader.Read();
        return endTag;
    }
    if (depth > m_Limits.MaxDepth)
        throw XMLNodeException("Elements are nested deeper than " + std::to_string(m_Limits.MaxDepth) + " levels.");
    auto node = std::make_unique<TXMLNode>(reader.ReadIdentifier());
    for (;;) {
        reader.SkipWhitespace();
        const char next = reader.Peek();
        if (next == '/') {
            reader.Read();
            reader.SkipWhitespace();
            if (reader.Peek() != '>')
                throw XMLNodeException("Expected end of tag.");
            reader.Read();
            return node;
        }
        if (next == '>') {
            reader.Read();
            Content(*node, depth);
            return node;
        }
        TXMLAttribute& attribute = node->Attributes().Add(reader.ReadIdentifier());
        CountItem();
        reader.SkipWhitespace();
        if (reader.Read() != '=')
            throw XMLNodeException("Expected \"=\".");
        attribute.SetValue(XMLDecode(reader.ReadQuotedValue()));
    }
}

void TXMLParser::Content(TXMLNode& node, int depth) {
    TElementText text;
    const std::string& name = node.Name();
    for (;;) {
        m_Reader.SkipWhitespace();
        if (m_Reader.Peek() != '<')
            AddRun(text, m_Reader.ReadUntil('<'));
        std::unique_ptr<TXMLNode> child = Element(depth + 1);
        const std::string& childName = child->Name();
        if (childName.size() == name.size() + 1 && childName[0] == '/' && childName.compare(1, npos, name) == 0)
            break;
        // An end tag of another element is kept as a child named "/name"; the search goes on.
        CountItem();
        node.Children().AddNode(std::move(child));
    }
    node.SetText(std::move(text.Text));
}

} // namespace

std::string XMLEncode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEncoded(out, text);
    return out;
}

std::string XMLDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendDecoded(out, text);
    return out;
}

TXMLAttribute& TXMLAttributeList::Items(int index) const {
    if (index < 0 || index >= Count())
        throw XMLNodeException("List index out of bounds (" + std::to_string(index) + ").");
    return *m_Items[static_cast<size_t>(index)];
}

TXMLAttribute& TXMLAttributeList::Add(std::string name, std::string value) {
    return *m_Items.emplace_back(std::make_unique<TXMLAttribute>(std::move(name), std::move(value)));
}

TXMLNode& TXMLNodeList::Items(int index) const {
    if (index < 0 || index >= Count())
        throw XMLNodeException("List index out of bounds (" + std::to_string(index) + ").");
    return *m_Items[static_cast<size_t>(index)];
}

TXMLNode* TXMLNodeList::Find(std::string_view name) const {
    for (const auto& item : m_Items)
        if (item->Name() == name)
            return item.get();
    return nullptr;
}

TXMLNode& TXMLNodeList::FindOrAdd(std::string_view name) {
    if (TXMLNode* found = Find(name))
        return *found;
    return Add(std::string(name));
}

TXMLNode& TXMLNodeList::Add(std::string name) {
    return *m_Items.emplace_back(std::make_unique<TXMLNode>(std::move(name)));
}

TXMLNode& TXMLNodeList::AddNode(std::unique_ptr<TXMLNode> node) {
    if (!node)
        throw XMLNodeException("No node to add.");
    return *m_Items.emplace_back(std::move(node));
}

int32_t TXMLNode::AsInteger() const {
    return StrToIntDef(m_Text, -1);
}

void TXMLNode::SetAsInteger(int32_t value) {
    m_Text = std::to_string(value);
}

bool TXMLNode::AsBoolean() const {
    return SameText(m_Text, "true") || SameText(m_Text, "yes");
}

void TXMLNode::SetAsBoolean(bool value) {
    m_Text = value ? "true" : "false";
}

TDateTime TXMLNode::AsDateTime() const {
    return LocalDateTime(TextToDateTime(m_Text));
}

void TXMLNode::SetAsDateTime(TDateTime value) {
    m_Text = DateTimeToText(ZonedLocal(value));
}

std::string TXMLNode::AsXML() const {
    std::string out;
    AppendXML(out);
    return out;
}

void TXMLNode::AppendStartOfTag(std::string& out, bool encoded) const {
    out += '<';
    out += m_Name;
    for (int i = 0; i < m_Attributes.Count(); ++i) {
        const TXMLAttribute& attribute = m_Attributes.Items(i);
        out += ' ';
        out += attribute.Name();
        out += "=\"";
        if (encoded)
            AppendEncoded(out, attribute.Value());
        else
            out += attribute.Value();
        out += '"';
    }
}

void TXMLNode::AppendXML(std::string& out) const {
    AppendStartOfTag(out, true);
    if (m_Children.Count() == 0 && m_Text.empty()) {
        out += " />";
        return;
    }
    out += '>';
    for (int i = 0; i < m_Children.Count(); ++i)
        m_Children.Items(i).AppendXML(out);
    AppendEncoded(out, m_Text);
    out += "</";
    out += m_Name;
    out += '>';
}

std::string TXMLNode::FormatXML(int level, int indent) const {
    std::string out;
    AppendFormatted(out, level, indent);
    return out;
}

void TXMLNode::AppendFormatted(std::string& out, int level, int indent) const {
    const size_t tabs = static_cast<size_t>(std::max(0, level) * std::max(0, indent));
    out.append(tabs, '\t');
    AppendStartOfTag(out, false);
    if (m_Children.Count() == 0 && m_Text.empty()) {
        out += " />\r\n";
        return;
    }
    out += ">\r\n";
    for (int i = 0; i < m_Children.Count(); ++i)
        m_Children.Items(i).AppendFormatted(out, level + 1, indent);
    if (!m_Text.empty()) {
        out.append(static_cast<size_t>(std::max(0, level + 1) * std::max(0, indent)), '\t');
        out += m_Text;
        out += "\r\n";
    }
    out.append(tabs, '\t');
    out += "</";
    out += m_Name;
    out += ">\r\n";
}

std::unique_ptr<TXMLNode> TXMLNode::ParseString(std::string_view text) {
    TXMLReader reader(text);
    return Parse(reader);
}

std::unique_ptr<TXMLNode> TXMLNode::ParseStream(std::istream& stream) {
    // Straight from the stream's buffer, so that the stream's own exception mask plays no part.
    std::string text;
    std::streambuf* source = stream.rdbuf();
    if (source == nullptr)
        throw XMLReaderException("Stream read error.");
    try {
        char buffer[64 * 1024];
        for (std::streamsize count; (count = source->sgetn(buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(count));
    } catch (const std::exception&) {
        throw XMLReaderException("Stream read error.");
    }
    return ParseString(text);
}

std::unique_ptr<TXMLNode> TXMLNode::Parse(TXMLReader& reader) {
    TXMLParser parser(reader);
    return parser.Element(1);
}

void TXMLReader::EndOfInput() {
    throw XMLReaderException("Unexpected end of the XML input.");
}

char TXMLReader::Peek() const {
    if (m_Position >= m_Text.size())
        EndOfInput();
    return m_Text[m_Position];
}

char TXMLReader::Read() {
    const char c = Peek();
    ++m_Position;
    return c;
}

void TXMLReader::SkipWhitespace() {
    while (IsWhitespace(Peek()))
        ++m_Position;
}

std::string_view TXMLReader::ReadUntil(char c) {
    const size_t found = m_Text.find(c, m_Position);
    if (found == npos)
        EndOfInput();
    const std::string_view run = m_Text.substr(m_Position, found - m_Position);
    m_Position = found;
    return run;
}

std::string TXMLReader::ReadIdentifier() {
    std::string name;
    for (;;) {
        SkipWhitespace();
        const size_t start = m_Position;
        while (IsIdentifierChar(Peek()))
            ++m_Position;
        if (m_Position == start)
            throw XMLReaderException("Expected identifier.");
        name.append(m_Text.substr(start, m_Position - start));
        if (Peek() != ':')
            return name;
        ++m_Position;
        name += ':';
    }
}

std::string_view TXMLReader::ReadQuotedValue() {
    SkipWhitespace();
    const char quote = Read();
    if (quote != '"' && quote != '\'')
        throw XMLReaderException("Expected value delimiter.");
    const std::string_view value = ReadUntil(quote);
    ++m_Position;
    return value;
}
