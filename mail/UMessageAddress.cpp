// Address parsing (ParseEmailAddress, ParseEmailAddressList and FirstMailboxText of UMessageHeaders).
// One pass over the text without recursion: comments nest by counting, and an unclosed quote,
// comment or angle bracket simply runs to the end of the text.

#include "mail/UMessageHeaders.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A quoted string starting at text[start] == '"'. Returns the index after its closing quote (or
// the end of the text); content receives the text between the quotes with backslash escapes
// resolved.
size_t ScanQuoted(std::string_view text, size_t start, std::string* content) {
    size_t i = start + 1;
    while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        if (content)
            *content += text[i];
        ++i;
    }
    return i < text.size() ? i + 1 : i;
}

// A comment starting at text[start] == '('; parentheses nest, a backslash escapes the next
// character. Returns the index after the closing parenthesis (or the end of the text).
size_t ScanComment(std::string_view text, size_t start) {
    size_t depth = 0;
    size_t i = start;
    while (i < text.size()) {
        const char c = text[i++];
        if (c == '\\') {
            if (i < text.size())
                ++i;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            break;
        }
    }
    return i;
}

// An address in angle brackets starting at text[start] == '<'; a ">" inside a quoted string does
// not close it. Returns the index after the ">" (or the end of the text); content receives the
// text between the brackets as written; closed tells whether a ">" was found.
size_t ScanAngle(std::string_view text, size_t start, std::string* content, bool& closed) {
    size_t i = start + 1;
    closed = false;
    while (i < text.size()) {
        if (text[i] == '>') {
            closed = true;
            return i + 1;
        }
        if (text[i] == '"') {
            const size_t end = ScanQuoted(text, i, nullptr);
            if (content)
                content->append(text.substr(i, end - i));
            i = end;
        } else {
            if (content)
                *content += text[i];
            ++i;
        }
    }
    return i;
}

std::string TrimBlanks(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(text[first]))
        ++first;
    while (last > first && IsBlank(text[last - 1]))
        --last;
    return std::string(text.substr(first, last - first));
}

// The address with the blanks around its dots and its "@" removed, trimmed.
std::string CleanAddress(std::string_view address) {
    std::string clean;
    clean.reserve(address.size());
    size_t i = 0;
    while (i < address.size()) {
        if (!IsBlank(address[i])) {
            clean += address[i++];
            continue;
        }
        size_t end = i;
        while (end < address.size() && IsBlank(address[end]))
            ++end;
        const bool afterMark = !clean.empty() && (clean.back() == '.' || clean.back() == '@');
        const bool beforeMark = end < address.size() && (address[end] == '.' || address[end] == '@');
        if (!afterMark && !beforeMark)
            clean.append(address.substr(i, end - i));
        i = end;
    }
    return Trim(clean);
}

// One entry of an address list: its place in the text and what stands in it outside quotes and
// comments.
struct TListPiece {
    size_t Begin = 0;
    size_t End = 0;
    bool HasAt = false;    // an "@" outside angle brackets
    bool HasAngle = false; // an address in angle brackets
};

// The non-blank entries of an address list, cut at the commas outside quotes, comments and angle
// brackets. With groups, a group's name ("Team:" before any "@" or "<" of its entry) and the ";"
// that closes the group separate entries as well, so that only the group's mailboxes remain.
std::vector<TListPiece> ListPieces(std::string_view text, bool groups) {
    std::vector<TListPiece> pieces;
    TListPiece piece;
    bool inGroup = false;
    const auto endPiece = [&](size_t end, size_t next) {
        piece.End = end;
        if (!Trim(text.substr(piece.Begin, piece.End - piece.Begin)).empty())
            pieces.push_back(piece);
        piece = TListPiece{};
        piece.Begin = next;
    };
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '(') {
            i = ScanComment(text, i);
        } else if (c == '"') {
            i = ScanQuoted(text, i, nullptr);
        } else if (c == '<') {
            bool closed = false;
            piece.HasAngle = true;
            i = ScanAngle(text, i, nullptr, closed);
        } else if (c == ',') {
            endPiece(i, i + 1);
            ++i;
        } else if (groups && c == ':' && !inGroup && !piece.HasAt && !piece.HasAngle) {
            inGroup = true;
            piece = TListPiece{};
            piece.Begin = ++i;
        } else if (groups && c == ';' && inGroup) {
            inGroup = false;
            endPiece(i, i + 1);
            ++i;
        } else {
            if (c == '@')
                piece.HasAt = true;
            ++i;
        }
    }
    endPiece(text.size(), text.size());
    return pieces;
}

} // namespace

TEmailAddress ParseEmailAddress(std::string_view input) {
    const std::string text = Trim(input);
    if (text.find_first_of("(\"<@ \t") == std::string::npos)
        return {text, {}};

    std::string name;  // the text outside comments and brackets, quotes removed
    std::string bare;  // the same with quoted strings kept as written: the address without brackets
    std::string angle; // the address between "<" and ">"
    bool haveAngle = false;
    bool angleClosed = false;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '(') {
            i = ScanComment(text, i);
        } else if (c == '"') {
            std::string content;
            const size_t end = ScanQuoted(text, i, angleClosed ? nullptr : &content);
            if (!angleClosed) {
                name += content;
                bare.append(text, i, end - i);
            }
            i = end;
        } else if (angleClosed) {
            // After the address only comments and quoted text may stand; an "@" means a second
            // address that has no place here.
            if (c == '@')
                throw EEmailAddressException("@ Outside address");
            ++i;
        } else if (c == '<') {
            haveAngle = true;
            i = ScanAngle(text, i, &angle, angleClosed);
        } else {
            name += c;
            bare += c;
            ++i;
        }
    }
    if (haveAngle)
        return {CleanAddress(angle), TrimBlanks(name)};
    return {CleanAddress(bare), {}};
}

std::vector<TEmailAddress> ParseEmailAddressList(std::string_view text) {
    std::vector<TEmailAddress> addresses;
    for (const TListPiece& piece : ListPieces(text, false))
        addresses.push_back(ParseEmailAddress(text.substr(piece.Begin, piece.End - piece.Begin)));
    return addresses;
}

std::string FirstMailboxText(std::string_view text) {
    const std::vector<TListPiece> pieces = ListPieces(text, true);
    if (pieces.empty())
        return {};
    // Pieces without an address that stand before a bracketed address are its display name,
    // written with commas but without the quotes it needs.
    size_t nameStart = std::string_view::npos;
    for (size_t k = 0; k < pieces.size(); ++k) {
        const TListPiece& piece = pieces[k];
        if (piece.HasAngle) {
            const size_t begin = nameStart == std::string_view::npos ? piece.Begin : pieces[nameStart].Begin;
            return Trim(text.substr(begin, piece.End - begin));
        }
        if (piece.HasAt)
            return Trim(text.substr(piece.Begin, piece.End - piece.Begin));
        if (nameStart == std::string_view::npos)
            nameStart = k;
    }
    return Trim(text.substr(pieces[0].Begin, pieces[0].End - pieces[0].Begin));
}
