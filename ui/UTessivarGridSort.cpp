#include "ui/UTessivarGridSort.h"

#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"

#include <string_view>

namespace {

// Walks the characters of a text given in parts.
class TPartsCursor {
public:
    TPartsCursor(const std::string_view* begin, const std::string_view* end) : m_Part(begin), m_End(end) {
        SkipEmpty();
    }
    bool AtEnd() const { return m_Part == m_End; }
    unsigned char Folded() const {
        const auto c = static_cast<unsigned char>((*m_Part)[m_Offset]);
        return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
    }
    void Next() {
        ++m_Offset;
        SkipEmpty();
    }

private:
    void SkipEmpty() {
        while (m_Part != m_End && m_Offset >= m_Part->size()) {
            ++m_Part;
            m_Offset = 0;
        }
    }
    const std::string_view* m_Part;
    const std::string_view* m_End;
    size_t m_Offset = 0;
};

// The sender's address text in parts: user name, "@", domain name (or the placeholder domain).
struct TAddressParts {
    std::string_view User, At, Domain;
};

TAddressParts AddressOf(const TTessivarEmailAddress* sender) {
    if (!sender)
        return {};
    const TTessivarDomainName* domain = sender->DomainName();
    return {sender->Username(), "@", domain ? std::string_view(domain->DomainName()) : PlaceholderDomainName};
}

std::string_view StateLetter(bool blocked, bool approved) {
    return blocked ? "X" : approved ? "A" : "S";
}

template <class T> int CompareValues(const T& a, const T& b) {
    return a < b ? -1 : b < a ? 1 : 0;
}

} // namespace

int CompareTextParts(std::initializer_list<std::string_view> a, std::initializer_list<std::string_view> b) {
    TPartsCursor x(a.begin(), a.end()), y(b.begin(), b.end());
    for (; !x.AtEnd() && !y.AtEnd(); x.Next(), y.Next()) {
        if (x.Folded() != y.Folded())
            return x.Folded() < y.Folded() ? -1 : 1;
    }
    return x.AtEnd() ? (y.AtEnd() ? 0 : -1) : 1;
}

int SortEmailsByState(const TTessivarEmail& a, const TTessivarEmail& b) {
    const TAddressParts x = AddressOf(a.FromEmailAddress()), y = AddressOf(b.FromEmailAddress());
    return CompareTextParts({StateLetter(b.IsBlockedOnce(), b.IsApprovedOnce()), y.User, y.At, y.Domain},
                            {StateLetter(a.IsBlockedOnce(), a.IsApprovedOnce()), x.User, x.At, x.Domain});
}

int SortEmailsByEmailAddress(const TTessivarEmail& a, const TTessivarEmail& b) {
    const TAddressParts x = AddressOf(a.FromEmailAddress()), y = AddressOf(b.FromEmailAddress());
    return CompareTextParts({y.User, y.At, y.Domain, " (", b.FromDisplayName()},
                            {x.User, x.At, x.Domain, " (", a.FromDisplayName()});
}

int SortEmailsBySubject(const TTessivarEmail& a, const TTessivarEmail& b) {
    return CompareTextParts({b.Subject()}, {a.Subject()});
}

int SortEmailsByReceived(const TTessivarEmail& a, const TTessivarEmail& b) {
    return CompareValues(a.Received(), b.Received());
}

int SortEmailAddressByState(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b) {
    const TAddressParts x = AddressOf(&a), y = AddressOf(&b);
    return CompareTextParts({StateLetter(b.IsBlocked(), b.IsApproved()), y.User, y.At, y.Domain},
                            {StateLetter(a.IsBlocked(), a.IsApproved()), x.User, x.At, x.Domain});
}

int SortEmailAddressByEmailAddress(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b) {
    const TAddressParts x = AddressOf(&a), y = AddressOf(&b);
    return CompareTextParts({y.User, y.At, y.Domain}, {x.User, x.At, x.Domain});
}

int SortEmailAddressByDisplayName(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b) {
    return CompareTextParts({b.DisplayName()}, {a.DisplayName()});
}

int SortDomainNameByState(const TTessivarDomainName& a, const TTessivarDomainName& b) {
    return static_cast<int>(a.ApprovalStatus()) - static_cast<int>(b.ApprovalStatus());
}

int SortDomainNameByDomainName(const TTessivarDomainName& a, const TTessivarDomainName& b) {
    return CompareTextParts({b.DomainName()}, {a.DomainName()});
}

int SortLogItemsByKind(const TTessivarLogItem& a, const TTessivarLogItem& b) {
    return CompareValues(a.Kind(), b.Kind());
}

int SortLogItemsByOccurred(const TTessivarLogItem& a, const TTessivarLogItem& b) {
    return CompareValues(b.Occurred(), a.Occurred());
}

int SortLogItemsByDetails(const TTessivarLogItem& a, const TTessivarLogItem& b) {
    return CompareTextParts({b.Details()}, {a.Details()});
}
