#include "ui/UHtmlText.h"

#include "base/LUnicode.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <utility>

namespace {

// The entities mail writers use; others are kept as written.
constexpr std::array<std::pair<std::string_view, uint32_t>, 22> NamedEntities{{
    {"amp", '&'},      {"lt", '<'},       {"gt", '>'},       {"quot", '"'},     {"apos", '\''},
    {"nbsp", 0xA0},    {"copy", 0xA9},    {"reg", 0xAE},     {"trade", 0x2122}, {"hellip", 0x2026},
    {"mdash", 0x2014}, {"ndash", 0x2013}, {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"ldquo", 0x201C},
    {"rdquo", 0x201D}, {"euro", 0x20AC},  {"bull", 0x2022},  {"middot", 0xB7},  {"laquo", 0xAB},
    {"raquo", 0xBB},   {"shy", 0xAD},
}};

// Elements whose content is never text for the reader.
bool Hidden(std::string_view tag) {
    return tag == "script" || tag == "style" || tag == "head" || tag == "title" || tag == "noscript" ||
           tag == "template" || tag == "iframe" || tag == "object";
}

// Elements that end a line where they begin or end.
bool Block(std::string_view tag) {
    static constexpr std::string_view blocks[] = {"br", "p", "div", "tr", "li", "ul", "ol", "table", "blockquote",
                                                  "h1", "h2", "h3", "h4", "h5", "h6", "hr", "pre", "dt", "dd",
                                                  "section", "article", "header", "footer", "address", "center"};
    return std::find(std::begin(blocks), std::end(blocks), tag) != std::end(blocks);
}

// Drops a character that the end of the text cuts in two.
void TrimPartialCharacter(std::string& text) {
    size_t start = text.size();
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80 && text.size() - start < 3)
        --start;
    if (start == 0)
        return;
    const auto lead = static_cast<unsigned char>(text[start - 1]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (text.size() - (start - 1) < length)
        text.resize(start - 1);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

class THtmlReader {
public:
    THtmlReader(std::string_view html, size_t limit) : m_Html(html), m_Limit(limit) {}

    std::string Run(bool* cut) {
        while (m_At < m_Html.size() && !m_Full) {
            if (m_Html[m_At] == '<')
                Tag();
            else if (m_Html[m_At] == '&')
                Entity();
            else
                Character(m_Html[m_At++]);
        }
        while (!m_Out.empty() && (m_Out.back() == '\n' || m_Out.back() == ' '))
            m_Out.pop_back();
        if (cut)
            *cut = m_Full;
        return std::move(m_Out);
    }

private:
    void Emit(std::string_view text) {
        if (m_Full)
            return;
        if (m_Out.size() + text.size() > m_Limit) {
            // Cut before a character that would not fit whole.
            size_t room = m_Limit - m_Out.size();
            while (room > 0 && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80)
                --room;
            m_Out.append(text.substr(0, room));
            TrimPartialCharacter(m_Out);
            m_Full = true;
            return;
        }
        m_Out.append(text);
    }

    void Character(char c) {
        if (m_Pre) {
            if (c != '\r')
                Emit(std::string_view(&c, 1));
            return;
        }
        if (IsSpace(c)) {
            if (!m_Out.empty() && m_Out.back() != ' ' && m_Out.back() != '\n')
                Emit(" ");
            return;
        }
        Emit(std::string_view(&c, 1));
    }

    void LineBreak() {
        while (!m_Out.empty() && m_Out.back() == ' ')
            m_Out.pop_back();
        // At most one empty line in a row.
        const size_t size = m_Out.size();
        if (size == 0 || (size >= 2 && m_Out[size - 1] == '\n' && m_Out[size - 2] == '\n'))
            return;
        Emit("\n");
    }

    void Entity() {
        const size_t end = m_Html.find(';', m_At);
        if (end == std::string_view::npos || end - m_At > 12) {
            Character(m_Html[m_At++]);
            return;
        }
        const std::string_view name = m_Html.substr(m_At + 1, end - m_At - 1);
        uint32_t code = 0;
        if (name.size() >= 2 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            for (char c : name.substr(hex ? 2 : 1)) {
                const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                  : hex && std::isxdigit(static_cast<unsigned char>(c))
                                      ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                      : -1;
                if (digit < 0 || code > 0x10FFFF) {
                    code = 0xFFFFFFFF;
                    break;
                }
                code = code * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
            }
            if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                code = 0xFFFD;
        } else {
            for (const auto& [entity, value] : NamedEntities)
                if (entity == name)
                    code = value;
            if (code == 0) {
                Character(m_Html[m_At++]);
                return;
            }
        }
        m_At = end + 1;
        std::string utf8;
        AppendUtf8(utf8, code == 0xA0 ? ' ' : code);
        if (code == 0xA0 && !m_Pre)
            Character(' ');
        else
            Emit(utf8);
    }

    // The tag at m_At: its name, whether it closes, and what it means for the text.
    void Tag() {
        if (m_Html.substr(m_At, 4) == "<!--") {
            const size_t end = m_Html.find("-->", m_At + 4);
            m_At = end == std::string_view::npos ? m_Html.size() : end + 3;
            return;
        }
        size_t at = m_At + 1;
        const bool closing = at < m_Html.size() && m_Html[at] == '/';
        if (closing)
            ++at;
        std::string name;
        while (at < m_Html.size() && (std::isalnum(static_cast<unsigned char>(m_Html[at]))))
            name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(m_Html[at++]))));
        const bool named = !name.empty() && std::isalpha(static_cast<unsigned char>(name[0]));
        if (!named && !(at < m_Html.size() && (m_Html[at] == '!' || m_Html[at] == '?'))) {
            // A "<" that opens no tag is text.
            Character(m_Html[m_At++]);
            return;
        }
        const size_t end = TagEnd(at);
        m_At = end;
        if (!closing && Hidden(name)) {
            SkipTo("</" + name);
            return;
        }
        if (name == "pre")
            m_Pre = !closing;
        if (Block(name))
            LineBreak();
        if (name == "li" && !closing)
            Emit("\xE2\x80\xA2 ");
        else if ((name == "td" || name == "th") && closing)
            Character(' ');
    }

    // Past the ">" that ends a tag whose attributes start at `at` (quoted values may hold ">").
    size_t TagEnd(size_t at) const {
        char quote = 0;
        for (; at < m_Html.size(); ++at) {
            const char c = m_Html[at];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                return at + 1;
            }
        }
        return m_Html.size();
    }

    // Past the end of the closing tag that begins with `close` (letter case ignored), or the end.
    void SkipTo(const std::string& close) {
        for (size_t at = m_Html.find('<', m_At); at != std::string_view::npos; at = m_Html.find('<', at + 1)) {
            const std::string_view candidate = m_Html.substr(at, close.size());
            if (candidate.size() == close.size() &&
                std::equal(candidate.begin(), candidate.end(), close.begin(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) == b;
                })) {
                m_At = TagEnd(at + close.size());
                return;
            }
        }
        m_At = m_Html.size();
    }

    std::string_view m_Html;
    size_t m_Limit;
    size_t m_At = 0;
    std::string m_Out;
    bool m_Pre = false;
    bool m_Full = false;
};

} // namespace

std::string HtmlToText(std::string_view html, size_t limit, bool* cut) {
    return THtmlReader(html, limit).Run(cut);
}
