#include "ui/UTessivarGridSort.h"

#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace {

unsigned char Folded(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// Moves past the parts that are used up; false at the end of the text.
bool SkipUsedParts(const std::string_view*& part, const std::string_view* end, size_t& offset) {
    while (part != end && offset >= part->size()) {
        ++part;
        offset = 0;
    }
    return part != end;
}

// A text in parts; unused parts stay empty.
using TTextParts = std::array<std::string_view, 5>;

// The sender's address text: user name, "@", domain name (or the placeholder domain).
TTextParts AddressParts(const TTessivarEmailAddress* sender, std::string_view prefix = {}) {
    if (!sender)
        return {prefix};
    const TTessivarDomainName* domain = sender->DomainName();
    return {prefix, sender->Username(), "@",
            domain ? std::string_view(domain->DomainName()) : std::string_view(PlaceholderDomainName)};
}

std::string_view StateLetter(bool blocked, bool approved) {
    return blocked ? "X" : approved ? "A" : "S";
}

TTextParts EmailStateParts(const TTessivarEmail& email) {
    return AddressParts(email.FromEmailAddress(), StateLetter(email.IsBlockedOnce(), email.IsApprovedOnce()));
}

TTextParts EmailAddressParts(const TTessivarEmail& email) {
    TTextParts parts = AddressParts(email.FromEmailAddress());
    parts[0] = parts[1];
    parts[1] = parts[2];
    parts[2] = parts[3];
    parts[3] = " (";
    parts[4] = email.FromDisplayName();
    return parts;
}

TTextParts SenderStateParts(const TTessivarEmailAddress& sender) {
    return AddressParts(&sender, StateLetter(sender.IsBlocked(), sender.IsApproved()));
}

int Compare(const TTextParts& a, const TTextParts& b) {
    return CompareTextParts({a[0], a[1], a[2], a[3], a[4]}, {b[0], b[1], b[2], b[3], b[4]});
}

void FoldedKey(std::initializer_list<std::string_view> parts, std::string& key) {
    size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    key.resize(size);
    char* out = key.data();
    for (std::string_view part : parts)
        for (char c : part)
            *out++ = static_cast<char>(Folded(c));
}

void FoldedKey(const TTextParts& parts, std::string& key) {
    FoldedKey({parts[0], parts[1], parts[2], parts[3], parts[4]}, key);
}

template <class T> int CompareValues(const T& a, const T& b) {
    return a < b ? -1 : b < a ? 1 : 0;
}

} // namespace

// Runs of equal bytes are passed with memcmp (texts of a list share long prefixes); letters are
// folded only from the first differing byte of a run on.
int CompareTextParts(std::initializer_list<std::string_view> a, std::initializer_list<std::string_view> b) {
    const std::string_view *x = a.begin(), *y = b.begin();
    size_t xOffset = 0, yOffset = 0;
    for (;;) {
        const bool xLeft = SkipUsedParts(x, a.end(), xOffset), yLeft = SkipUsedParts(y, b.end(), yOffset);
        if (!xLeft || !yLeft)
            return xLeft ? 1 : yLeft ? -1 : 0;
        const size_t run = std::min(x->size() - xOffset, y->size() - yOffset);
        const char* xText = x->data() + xOffset;
        const char* yText = y->data() + yOffset;
        if (std::memcmp(xText, yText, run) != 0) {
            for (size_t i = 0; i < run; ++i) {
                const unsigned char xChar = Folded(xText[i]), yChar = Folded(yText[i]);
                if (xChar != yChar)
                    return xChar < yChar ? -1 : 1;
            }
        }
        xOffset += run;
        yOffset += run;
    }
}

int SortEmailsByState(const TTessivarEmail& a, const TTessivarEmail& b) {
    return Compare(EmailStateParts(b), EmailStateParts(a));
}

int SortEmailsByEmailAddress(const TTessivarEmail& a, const TTessivarEmail& b) {
    return Compare(EmailAddressParts(b), EmailAddressParts(a));
}

int SortEmailsBySubject(const TTessivarEmail& a, const TTessivarEmail& b) {
    return CompareTextParts({b.Subject()}, {a.Subject()});
}

int SortEmailsByReceived(const TTessivarEmail& a, const TTessivarEmail& b) {
    return CompareValues(a.Received(), b.Received());
}

int SortEmailAddressByState(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b) {
    return Compare(SenderStateParts(b), SenderStateParts(a));
}

int SortEmailAddressByEmailAddress(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b) {
    return Compare(AddressParts(&b), AddressParts(&a));
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

void EmailStateKey(const TTessivarEmail& email, std::string& key) {
    FoldedKey(EmailStateParts(email), key);
}

void EmailAddressKey(const TTessivarEmail& email, std::string& key) {
    FoldedKey(EmailAddressParts(email), key);
}

void EmailSubjectKey(const TTessivarEmail& email, std::string& key) {
    FoldedKey({email.Subject()}, key);
}

void EmailAddressStateKey(const TTessivarEmailAddress& sender, std::string& key) {
    FoldedKey(SenderStateParts(sender), key);
}

void EmailAddressAddressKey(const TTessivarEmailAddress& sender, std::string& key) {
    FoldedKey(AddressParts(&sender), key);
}

void EmailAddressDisplayNameKey(const TTessivarEmailAddress& sender, std::string& key) {
    FoldedKey({sender.DisplayName()}, key);
}

void DomainNameKey(const TTessivarDomainName& domain, std::string& key) {
    FoldedKey({domain.DomainName()}, key);
}

void LogItemDetailsKey(const TTessivarLogItem& item, std::string& key) {
    FoldedKey({item.Details()}, key);
}
