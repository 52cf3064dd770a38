#include "base/LUnicode.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

std::string FromUtf16(const std::vector<uint8_t>& bytes) {
    return Utf16LeToText(bytes.data(), bytes.size());
}

} // namespace

TEST(LUnicode, TextBeyondTheBasicPlaneSurvivesARoundTrip) {
    const std::string text = "A\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"; // A, u-umlaut, euro sign, an emoji
    const std::vector<uint8_t> wide = TextToUtf16Le(text);
    EXPECT_EQ(wide, (std::vector<uint8_t>{0x41, 0, 0xFC, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(FromUtf16(wide), text);
}

TEST(LUnicode, BrokenInputNeitherCrashesNorLosesText) {
    // Bytes that are no UTF-8 are taken as Latin-1, so 8-bit text is never dropped.
    EXPECT_EQ(TextToUtf16Le("\xE9t\xC3"), (std::vector<uint8_t>{0xE9, 0, 't', 0, 0xC3, 0}));
    // Overlong forms and encoded surrogates are not valid UTF-8 either.
    EXPECT_EQ(TextToUtf16Le("\xC0\xAF"), (std::vector<uint8_t>{0xC0, 0, 0xAF, 0}));
    EXPECT_EQ(TextToUtf16Le("\xED\xA0\x80").size(), 6u);
    // A lone surrogate becomes U+FFFD; an odd last byte is ignored; NUL is kept.
    EXPECT_EQ(FromUtf16({0x00, 0xD8, 'a', 0}), "\xEF\xBF\xBD"
                                               "a");
    EXPECT_EQ(FromUtf16({0x00, 0xDC}), "\xEF\xBF\xBD");
    EXPECT_EQ(FromUtf16({'a', 0, 0, 0, 'b'}), "a\0"s);
    EXPECT_EQ(FromUtf16({}), "");
    // For the wire: valid UTF-8 stays as it is, stray bytes become their Latin-1 characters.
    EXPECT_EQ(TextToUtf8("Zo\xC3\xAB \xE9t\xC3"), "Zo\xC3\xAB \xC3\xA9t\xC3\x83");
}
