#include "core/UPackedTexts.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// Mail texts may be empty or hold any byte, NUL included: each must come back with its own bounds.
TEST(UPackedTexts, EmptyTextsAndEmbeddedNulKeepTheirBoundaries) {
    const std::string withNul = "a\0b"s;
    const TPackedTexts<4> texts({"", withNul, "", "last"});
    EXPECT_EQ(texts[0], "");
    EXPECT_EQ(texts[1], withNul);
    EXPECT_EQ(texts[2], "");
    EXPECT_EQ(texts[3], "last");

    const TPackedTexts<2> none;
    EXPECT_TRUE(none[0].empty());
    EXPECT_TRUE(none[1].empty());
    const TPackedTexts<2> allEmpty({"", ""});
    EXPECT_TRUE(allEmpty[1].empty());
}

TEST(UPackedTexts, TextsAreCopiedNotReferenced) {
    std::string subject = "Quarterly report";
    TPackedTexts<1> texts({subject});
    subject.assign(100, 'x');
    EXPECT_EQ(texts[0], "Quarterly report");
    TPackedTexts<1> moved = std::move(texts);
    EXPECT_EQ(moved[0], "Quarterly report");
    EXPECT_TRUE(texts[0].empty());

    // Assigning over texts frees their block (the leak check of the test build sees it otherwise).
    moved = TPackedTexts<1>({"Minutes"});
    EXPECT_EQ(moved[0], "Minutes");
    TPackedTexts<1>& same = moved;
    moved = std::move(same);
    EXPECT_EQ(moved[0], "Minutes");
}
