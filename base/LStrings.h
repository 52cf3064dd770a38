#pragma once
// Text helpers. Text is 8-bit; case-insensitive means A-Z folded to a-z, except where noted.
// Free functions without state; callable from any thread.

#include <string>
#include <string_view>
#include <vector>

using TStringArray = std::vector<std::string>;

std::string LowerCase(std::string_view text);                   // A-Z only
std::string UpperCase(std::string_view text);                   // a-z only
bool SameText(std::string_view a, std::string_view b);           // A-Z folded
std::string Trim(std::string_view text);                         // blanks and control characters
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);
// Pieces of text cut at every occurrence of separator; the last piece included.
TStringArray SplitText(std::string_view text, std::string_view separator);
std::string JoinText(const TStringArray& items, std::string_view separator);
// Whole text as a signed 32-bit integer; false when it is not one.
bool TryStrToInt(std::string_view text, int32_t& value);
int32_t StrToIntDef(std::string_view text, int32_t fallback);
std::string IntToHex(uint32_t value, int digits);                // upper case

int IndexOfText(std::string_view text, const TStringArray& list);
bool IsFloat(std::string_view text);
std::string LeftText(std::string_view text, int n);
std::string RightText(std::string_view text, int n);
std::string TextFrom(std::string_view text, int index);          // 1-based
std::string MidText(std::string_view text, int index, int count = -1); // 1-based; -1: to the end
std::string RepeatText(std::string_view text, int n);
std::string ReplaceAll(std::string_view text, std::string_view oldText, std::string_view newText);
std::string BoolToText(bool value);
bool TextToBool(std::string_view text);
std::string PadLeft(std::string_view text, char c, int width);
std::string NormalizeList(std::string_view text, std::string_view separator);
bool ContainsAnyOf(std::string_view text, const TStringArray& list);
bool StartsWithText(std::string_view prefix, std::string_view text, bool caseSensitive);
bool StartsWithAnyText(const TStringArray& prefixes, std::string_view text, bool caseSensitive);
