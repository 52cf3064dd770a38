#pragma once
// Reading contacts out of vCard text (versions 2.1, 3.0 and 4.0): folded lines, quoted-printable
// values with their soft line breaks, charset-tagged values, the escapes of 3.0 and 4.0, grouped
// property names and several cards in one text. Pure functions of text; any thread.

#include "base/UException.h"

#include <string>
#include <string_view>
#include <vector>

TESSIVAR_EXCEPTION(EVCardException, Exception);

// One e-mail address of an address book with the name it is shown under.
struct TContact {
    std::string DisplayName;
    std::string EmailAddress;
    bool operator==(const TContact&) const = default;
};

// Every e-mail address of every card, in the order written, each with the card's display name:
// the formatted name (FN), else the name (N) as given name then family name, else the
// organisation, else the address itself. Text is returned as UTF-8. Addresses that are not of the
// form local@domain without blanks are left out. A text that is not a list of complete cards (a
// card never ended, an end without a beginning, text beside the cards) raises EVCardException:
// such a file is damaged and is taken as a whole or not at all.
std::vector<TContact> ParseVCards(std::string_view text);

// The value of one property decoded: quoted-printable (with `quotedPrintable`), then the charset
// (empty or UTF-8 taken as is; any other known to the C library converted; unknown ones kept as
// Latin-1 where the bytes are not UTF-8).
std::string DecodeVCardValue(std::string_view value, bool quotedPrintable, const std::string& charset);
