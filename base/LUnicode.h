#pragma once
// Conversion between the program's 8-bit text (UTF-8 for everything beyond ASCII) and UTF-16LE
// bytes as other programs store them. Free functions without state; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// UTF-16LE bytes to UTF-8. An odd last byte is ignored; a surrogate without its partner becomes
// U+FFFD. NUL characters are kept: the caller decides where its text ends.
std::string Utf16LeToText(const uint8_t* data, size_t size);
// UTF-8 text to UTF-16LE bytes, without terminator. A byte that is not part of a valid UTF-8
// sequence is taken as the Latin-1 character of the same number, so no text is ever lost.
std::vector<uint8_t> TextToUtf16Le(std::string_view text);
// The text as valid UTF-8: valid sequences are kept, and every other byte is taken as the Latin-1
// character of the same number (mail headers may carry such bytes), so nothing is lost.
std::string TextToUtf8(std::string_view text);
// Appends the UTF-8 form of one code point (up to U+10FFFF).
void AppendUtf8(std::string& out, uint32_t code);
