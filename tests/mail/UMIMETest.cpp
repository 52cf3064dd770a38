#include "mail/UMIME.h"

#include <gtest/gtest.h>

namespace {

using Values = std::vector<std::string>;

TEST(MIMEHeaderListTest, TextSplitsHeadersAndValuesAndWritesThemBack) {
    TMIMEHeaderList headers;
    headers.SetText("Content-Type: text/xml\r\nB: x; y");
    ASSERT_EQ(headers.Count(), 2);
    EXPECT_EQ(headers.Items(0).Name(), "Content-Type");
    EXPECT_EQ(headers.Items(0).Values(), Values{"text/xml"});
    EXPECT_EQ(headers.Items(1).Name(), "B");
    EXPECT_EQ(headers.Items(1).Values(), (Values{"x", " y"}));
    EXPECT_EQ(headers.GetText(), "Content-Type:text/xml\r\nB:x; y");

    headers.SetText("");
    EXPECT_EQ(headers.Count(), 0);
    EXPECT_EQ(headers.GetText(), "");
}

TEST(MIMEHeaderListTest, OnlyTheFirstColonSeparatesAndAnEmptyValueHasNoValues) {
    TMIMEHeaderList headers;
    headers.AddLine("  Host :  localhost:8080  ");
    headers.AddLine("X-Empty:");
    EXPECT_EQ(headers.Items(0).Name(), "Host");
    EXPECT_EQ(headers.Items(0).Values(), Values{"localhost:8080"});
    EXPECT_TRUE(headers.Items(1).Values().empty());
    EXPECT_EQ(headers.GetText(), "Host:localhost:8080\r\nX-Empty:");
    EXPECT_EQ(headers.Add("Content-Type", "text/xml; charset=utf-8").Values(), (Values{"text/xml", " charset=utf-8"}));
}

TEST(MIMEHeaderListTest, TrailingLineBreakFailsOnTheEmptyLastLine) {
    TMIMEHeaderList headers;
    try {
        headers.SetText("A: 1\r\nB: 2\r\n");
        FAIL() << "no exception";
    } catch (const NameValueException& error) {
        EXPECT_EQ(error.Message(), "A name/value pair must have a name part at a minimum. The data supplied was \"\".");
    }
    ASSERT_EQ(headers.Count(), 3);
    EXPECT_EQ(headers.Items(1).Name(), "B");
    EXPECT_EQ(headers.Items(2).Name(), "");
}

TEST(MIMEHeaderListTest, LineWithoutColonFailsWithItsText) {
    TMIMEHeaderList headers;
    try {
        headers.AddLine("HTTP/1.1 200 OK");
        FAIL() << "no exception";
    } catch (const NameValueException& error) {
        EXPECT_EQ(error.Message(), "A name/value pair must have a name part at a minimum. The data supplied was "
                                   "\"HTTP/1.1 200 OK\".");
    }
    EXPECT_EQ(headers.Count(), 1); // the new header stays
}

TEST(MIMEHeaderListTest, RefusesItemsOfOtherClasses) {
    TMIMEHeaderList headers;
    try {
        headers.AddItem(std::make_unique<TNameValuesPair>());
        FAIL() << "no exception";
    } catch (const TypedListException& error) {
        EXPECT_EQ(error.Message(), "Value must be of type TMIMEHeader");
    }
    EXPECT_EQ(headers.Count(), 0);
    EXPECT_STREQ(headers.NewItem().ClassName(), "TMIMEHeader");
}

} // namespace
