#pragma once
// The rule an address typed into the setup wizard must pass. A pure function of text; any thread.

#include <string_view>

// The text holds "@"; the part before the first "@" passes the local-part rule and the part after
// it the domain rule:
// - local part: 1 to 39 characters with at most 4 digits; words joined by single dots, a word
//   being an atom (characters other than ( ) < > @ , ; : \ " . [ ] blank and control characters)
//   or a quoted string (a backslash takes the next character literally) that is closed and is
//   followed by the end or by a dot and another word; no dot first or last, at most three dots
//   after atoms;
// - domain: at least one dot; labels non-empty, of letters A-Z a-z, digits and hyphens, neither
//   beginning nor ending with a hyphen.
bool IsValidEmailAddress(std::string_view text);
