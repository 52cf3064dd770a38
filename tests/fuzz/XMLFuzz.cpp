// Answers of the web service as the network may deliver them: parsing ends in a tree or an
// XMLException and nothing else. A tree written out parses again to the same tree, except that the
// leading whitespace of element texts is dropped on the way (text runs lose theirs when read), and
// the written form is then stable. Trees holding a stray end tag (a child named "/x") cannot be
// written back and are only formatted.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "service/UXML.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

bool HasEndTagChild(const TXMLNode& node) {
    if (!node.Name().empty() && node.Name()[0] == '/')
        return true;
    for (int i = 0; i < node.Children().Count(); ++i)
        if (HasEndTagChild(node.Children().Items(i)))
            return true;
    return false;
}

void DropLeadingWhitespace(TXMLNode& node) {
    const size_t start = node.Text().find_first_not_of(" \t\r\n");
    node.SetText(start == std::string::npos ? std::string() : node.Text().substr(start));
    for (int i = 0; i < node.Children().Count(); ++i)
        DropLeadingWhitespace(node.Children().Items(i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(XMLDecode(XMLEncode(text)) == text);

    std::unique_ptr<TXMLNode> root;
    try {
        root = TXMLNode::ParseString(text);
    } catch (const XMLException&) {
        return 0;
    }
    FUZZ_CHECK(root != nullptr);
    (void)root->FormatXML(1, 1);
    (void)root->AsInteger();
    (void)root->AsBoolean();
    (void)root->AsDateTime();
    if (size < 4096) {
        std::istringstream stream{std::string(text)};
        FUZZ_CHECK(TXMLNode::ParseStream(stream)->FormatXML(0, 1) == root->FormatXML(0, 1));
    }
    if (HasEndTagChild(*root))
        return 0;

    const std::string written = root->AsXML();
    std::unique_ptr<TXMLNode> again = TXMLNode::ParseString(written);
    DropLeadingWhitespace(*root);
    const std::string rewritten = again->AsXML();
    FUZZ_CHECK(rewritten == root->AsXML());
    FUZZ_CHECK(TXMLNode::ParseString(rewritten)->AsXML() == rewritten);
    return 0;
}
