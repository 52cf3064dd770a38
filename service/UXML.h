#pragma once
// A small XML tree with its own parser and writer, carrying every message exchanged with the web
// service: requests are built as trees and written compactly, answers are parsed back into trees
// that are read by element name. Elements, attributes, text, leading processing instructions and
// five kinds of entity reference only; no namespaces (a prefix is part of the name), comments,
// CDATA or document types; text is 8-bit and never converted. Names compare exactly.
// Thread contract: a tree or a reader is used by one thread at a time; the free functions are
// callable from any thread.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/LDates.h"
#include "base/UException.h"

TESSIVAR_EXCEPTION(XMLException, Exception);
TESSIVAR_EXCEPTION(XMLNodeException, XMLException);   // structure errors
TESSIVAR_EXCEPTION(XMLReaderException, XMLException); // lexical errors and the end of the input

// Escapes the double quote, ampersand, less-than and greater-than signs; the apostrophe stays.
std::string XMLEncode(std::string_view text);
// Resolves &lt; &gt; &amp; &quot; and numeric references (decimal, or hexadecimal after x, X or $;
// only the low 8 bits of the code are kept). A numeric reference that is not a number is kept as
// written; any other reference ending in ";" is dropped; an "&" with no ";" after it is copied
// together with the rest of the text.
std::string XMLDecode(std::string_view text);

// Bounds of one parse, so that an answer from the network cannot exhaust the stack or the memory.
// Answers of the service nest about six levels deep and hold a few hundred thousand items at most.
struct TXMLParseLimits {
    // Elements nested deeper fail with XMLNodeException "Elements are nested deeper than 256 levels."
    int MaxDepth = 256;
    // Elements and attributes together (about 130 bytes each in memory): XMLNodeException beyond it.
    size_t MaxItems = 4'000'000;
    // Element text built from several runs is decoded again after each run; the characters decoded
    // that way are bounded by this factor times the input length (plus 16 MiB), which well-formed
    // answers never come near: XMLReaderException beyond it.
    size_t DecodeWorkFactor = 16;
};

class TXMLAttribute {
public:
    explicit TXMLAttribute(std::string name, std::string value = {})
        : m_Name(std::move(name)), m_Value(std::move(value)) {}

    const std::string& Name() const { return m_Name; }
    const std::string& Value() const { return m_Value; }
    void SetValue(std::string value) { m_Value = std::move(value); }

private:
    const std::string m_Name;
    std::string m_Value;
};

// Ordered attributes, owned; duplicates allowed, nothing looked up by name.
class TXMLAttributeList {
public:
    int Count() const { return static_cast<int>(m_Items.size()); }
    // XMLNodeException for an index out of range.
    TXMLAttribute& Items(int index) const;
    TXMLAttribute& Add(std::string name, std::string value = {});

private:
    std::vector<std::unique_ptr<TXMLAttribute>> m_Items;
};

class TXMLNode;

// Ordered child elements, owned. References returned stay valid while nodes are added.
class TXMLNodeList {
public:
    int Count() const { return static_cast<int>(m_Items.size()); }
    // XMLNodeException for an index out of range.
    TXMLNode& Items(int index) const;
    // The first node with exactly that name, or nullptr.
    TXMLNode* Find(std::string_view name) const;
    TXMLNode& FindOrAdd(std::string_view name);
    // Always appends a new empty node.
    TXMLNode& Add(std::string name);
    // Appends an existing node, taking ownership of it.
    TXMLNode& AddNode(std::unique_ptr<TXMLNode> node);

private:
    std::vector<std::unique_ptr<TXMLNode>> m_Items;
};

class TXMLReader;

class TXMLNode {
public:
    explicit TXMLNode(std::string name) : m_Name(std::move(name)) {}
    TXMLNode(const TXMLNode&) = delete;
    TXMLNode& operator=(const TXMLNode&) = delete;

    const std::string& Name() const { return m_Name; }
    TXMLAttributeList& Attributes() { return m_Attributes; }
    const TXMLAttributeList& Attributes() const { return m_Attributes; }
    TXMLNodeList& Children() { return m_Children; }
    const TXMLNodeList& Children() const { return m_Children; }
    // The element's text, unescaped.
    const std::string& Text() const { return m_Text; }
    void SetText(std::string text) { m_Text = std::move(text); }

    // The first child with that name; a missing one is appended empty, so reading an absent element
    // through Child adds it to the tree.
    TXMLNode& Child(std::string_view name) { return m_Children.FindOrAdd(name); }

    // Text as a signed 32-bit decimal number; -1 when it is not one.
    int32_t AsInteger() const;
    void SetAsInteger(int32_t value);
    // True for "true" or "yes" in any letter case.
    bool AsBoolean() const;
    void SetAsBoolean(bool value);
    // Text read as a date-time text and converted to local time; unreadable text gives the current
    // local time.
    TDateTime AsDateTime() const;
    // Writes the local value with the local standard-time offset.
    void SetAsDateTime(TDateTime value);

    // Compact form for the wire: no declaration, line breaks or indentation; text after children.
    std::string AsXML() const;
    // Indented form for the trace: `indent` x `level` tabs per level, CR LF line ends, no escaping.
    std::string FormatXML(int level, int indent) const;

    // Build a new tree from the first top-level element of the input; the caller owns it. Failures
    // raise XMLNodeException or XMLReaderException and return no tree.
    static std::unique_ptr<TXMLNode> ParseString(std::string_view text);
    // Reads the whole stream first; a stream that fails to read raises XMLReaderException.
    static std::unique_ptr<TXMLNode> ParseStream(std::istream& stream);
    static std::unique_ptr<TXMLNode> Parse(TXMLReader& reader);

private:
    // "<", the name and the attributes, their values escaped for the wire or as they are (trace).
    void AppendStartOfTag(std::string& out, bool encoded) const;
    void AppendXML(std::string& out) const;
    void AppendFormatted(std::string& out, int level, int indent) const;

    const std::string m_Name;
    TXMLAttributeList m_Attributes;
    TXMLNodeList m_Children;
    std::string m_Text;
};

// The parser's character source: text held in memory, read from the front. Every primitive that
// needs a character past the end raises XMLReaderException "Unexpected end of the XML input."
class TXMLReader {
public:
    // The text must outlive the reader.
    explicit TXMLReader(std::string_view text, TXMLParseLimits limits = {}) : m_Text(text), m_Limits(limits) {}

    char Peek() const;
    char Read();
    // Blanks, tabs, CR and LF.
    void SkipWhitespace();
    // The characters before the next `c`, which is left unread.
    std::string_view ReadUntil(char c);
    // Skips whitespace, then one or more of A-Z, a-z, 0-9, chained by colons ("soap:Body");
    // XMLReaderException "Expected identifier." when there is none.
    std::string ReadIdentifier();
    // Skips whitespace, then a value between apostrophes or double quotes, returned as written;
    // XMLReaderException "Expected value delimiter." without an opening quote.
    std::string_view ReadQuotedValue();

    size_t Size() const { return m_Text.size(); }
    const TXMLParseLimits& Limits() const { return m_Limits; }

private:
    [[noreturn]] static void EndOfInput();

    const std::string_view m_Text;
    size_t m_Position = 0;
    const TXMLParseLimits m_Limits;
};
