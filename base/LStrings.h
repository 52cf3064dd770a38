#pragma once
// Text helpers. Text is 8-bit; case-insensitive means A-Z folded to a-z, except where noted.
// Free functions without state; callable from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using TStringArray = std::vector<std::string>;

std::string LowerCase(std::string_view text);          // A-Z only
std::string UpperCase(std::string_view text);          // a-z only
bool SameText(std::string_view a, std::string_view b); // A-Z folded
int HexDigitValue(char c);                            // 0-9, a-f, A-F as 0..15; -1 for anything else
std::string Trim(std::string_view text);               // blanks and control characters
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);
// Pieces of text cut at every occurrence of separator; the last piece included.
TStringArray SplitText(std::string_view text, std::string_view separator);
std::string JoinText(const TStringArray& items, std::string_view separator);
// Whole text as a signed 32-bit integer: an optional sign and decimal digits, nothing else (no
// blanks); false when it is not one or out of range.
bool TryStrToInt(std::string_view text, int32_t& value);
int32_t StrToIntDef(std::string_view text, int32_t fallback);
std::string IntToHex(uint32_t value, int digits); // upper case

// The program's number conversion, independent of the locale: [+|-] digits [. digits] [e|E [+|-]
// digits] with at least one mantissa digit ("1.5", "-7", ".5", "5.", "1e3"). Rejected: "", ".",
// "1,5", " 1", "1 ", "inf", "nan", hexadecimal, and values too large for a double; values too small
// for one read as zero.
bool TryStrToFloat(std::string_view text, double& value);

int IndexOfText(std::string_view text, const TStringArray& list); // -1 when not found
bool IsFloat(std::string_view text);                              // TryStrToFloat accepts it
// Counts below 1 and positions past the end give empty text; positions below 1 count as 1.
std::string LeftText(std::string_view text, int n);
std::string RightText(std::string_view text, int n);
std::string TextFrom(std::string_view text, int index);                // 1-based
std::string MidText(std::string_view text, int index, int count = -1); // 1-based; negative: to the end
std::string RepeatText(std::string_view text, int n);
std::string ReplaceAll(std::string_view text, std::string_view oldText, std::string_view newText); // "" old: as is
std::string BoolToText(bool value);
bool TextToBool(std::string_view text);
std::string PadLeft(std::string_view text, char c, int width);
// Tidies a word list typed by the user: entries trimmed, sorted and without repeats (by the locale's
// case-insensitive comparison), joined by separator + " ". A single entry is returned as it stands;
// a separator at the very end adds no empty entry.
std::string NormalizeList(std::string_view text, std::string_view separator);
bool ContainsAnyOf(std::string_view text, const TStringArray& list);
// Writes the trace entries "LOOKING FOR <prefix> IN <text>" and, on a match, "MATCHED!".
bool StartsWithText(std::string_view prefix, std::string_view text, bool caseSensitive);
bool StartsWithAnyText(const TStringArray& prefixes, std::string_view text, bool caseSensitive);
