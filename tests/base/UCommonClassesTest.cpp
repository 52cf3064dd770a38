#include "base/UCommonClasses.h"

#include <gtest/gtest.h>

namespace {

template <class E, class F> std::string MessageOf(F&& action) {
    try {
        action();
    } catch (const E& error) {
        return error.Message();
    }
    return "<no exception>";
}

class TSpecialPair : public TNameValuesPair {};

TEST(TypedListTest, RefusesItemsNotOfTheItemClass) {
    TNameValueList list;
    EXPECT_EQ(MessageOf<TypedListException>([&] { list.AddItem(std::make_unique<TObject>()); }),
              "Value must be of type TNameValuePair");
    EXPECT_EQ(MessageOf<TypedListException>([&] { list.AddItem(nullptr); }), "Value must be of type TNameValuePair");
    EXPECT_EQ(list.Count(), 0);

    TNameValuesList values;
    EXPECT_EQ(MessageOf<TypedListException>([&] { values.AddItem(std::make_unique<TNameValuePair>()); }),
              "Value must be of type TNameValuesPair");
    EXPECT_EQ(values.Count(), 0);
}

TEST(TypedListTest, AcceptsDerivedItemsAndCreatesItsOwnClass) {
    TNameValueList list;
    list.AddItem(std::make_unique<TNameValuesPair>());
    TNameValuesList values;
    values.AddItem(std::make_unique<TSpecialPair>());
    EXPECT_STREQ(values.NewItem().ClassName(), "TNameValuesPair");
    EXPECT_STREQ(list.NewItem().ClassName(), "TNameValuePair");
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(values.Count(), 2);
}

TEST(TypedListTest, IndexOutOfRangeFailsInsteadOfReadingPastTheEnd) {
    TNameValueList list;
    list.Add("a", "1");
    EXPECT_THROW(list.Items(1), TypedListException);
    EXPECT_THROW(list.Items(-1), TypedListException);
    EXPECT_THROW(list.Delete(1), TypedListException);
    list.Delete(0);
    EXPECT_EQ(list.Count(), 0);
}

TEST(NameValuePairTest, TextSplitsAtTheFirstSeparatorAndTrims) {
    TNameValuePair pair;
    pair.SetAsString("a=b=c");
    EXPECT_EQ(pair.Name(), "a");
    EXPECT_EQ(pair.Value(), "b=c");
    pair.SetAsString("  Content-Type \t=  text/xml  ");
    EXPECT_EQ(pair.Name(), "Content-Type");
    EXPECT_EQ(pair.Value(), "text/xml");
    EXPECT_EQ(pair.AsString(), "Content-Type=text/xml");
    pair.SetAsString("=");
    EXPECT_EQ(pair.Name(), "");
    EXPECT_EQ(pair.Value(), "");
}

TEST(NameValuePairTest, TextWithoutSeparatorFailsAndLeavesThePair) {
    TNameValuePair pair;
    pair.SetAsString("x=1");
    EXPECT_EQ(MessageOf<NameValueException>([&] { pair.SetAsString("no separator"); }),
              "A name/value pair must have a name part at a minimum. The data supplied was \"no separator\".");
    EXPECT_EQ(pair.AsString(), "x=1");
}

TEST(NameValuePairTest, LongSeparatorIsSkippedWhole) {
    TNameValuePair pair;
    pair.SetSeparator("::");
    pair.SetAsString("a::b");
    EXPECT_EQ(pair.Value(), "b");
    EXPECT_EQ(pair.AsString(), "a::b");
}

TEST(NameValuesPairTest, ValuesKeepTheirBlanksAndReadBackUnchanged) {
    TNameValuesPair pair;
    pair.SetValue("x; y");
    ASSERT_EQ(pair.Values().size(), 2u);
    EXPECT_EQ(pair.Values()[0], "x");
    EXPECT_EQ(pair.Values()[1], " y");
    EXPECT_EQ(pair.Value(), "x; y");

    pair.SetValue("a;;b;");
    EXPECT_EQ(pair.Values(), (std::vector<std::string>{"a", "", "b", ""}));
    pair.SetValue("");
    EXPECT_TRUE(pair.Values().empty());

    pair.SetValueSeparator(", ");
    pair.SetValue("1, 2");
    EXPECT_EQ(pair.Values(), (std::vector<std::string>{"1", "2"}));
}

TEST(NameValueListTest, TextFormRoundTrips) {
    TNameValueList list;
    EXPECT_EQ(list.AsString(), "");
    list.Add("a", "1");
    list.AddFromString("b = two words");
    EXPECT_EQ(list.AsString(), "a=1\r\nb=two words");

    TNameValueList copy;
    copy.Add("stale", "x");
    copy.SetAsString(list.AsString());
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.Items(1).Name(), "b");
    EXPECT_EQ(copy.Items(1).Value(), "two words");
    EXPECT_EQ(copy.IndexOfName("B"), 1);
    EXPECT_EQ(copy.IndexOfName("stale"), -1);

    copy.SetAsString("");
    EXPECT_EQ(copy.Count(), 0);
}

TEST(NameValueListTest, TrailingLineSeparatorFailsOnTheEmptyLastLine) {
    TNameValueList list;
    EXPECT_EQ(MessageOf<NameValueException>([&] { list.SetAsString("a=1\r\nb=2\r\n"); }),
              "A name/value pair must have a name part at a minimum. The data supplied was \"\".");
    // The pairs read before the failing line stay, followed by the new pair that could not be set.
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Items(1).AsString(), "b=2");
    EXPECT_EQ(list.Items(2).Name(), "");
}

TEST(NameValueListTest, OtherLineSeparatorsDoNotEatTheNextLine) {
    TNameValueList list;
    list.SetLineSeparator("\n");
    list.SetAsString("a=1\nb=2");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(1).Name(), "b");
    EXPECT_EQ(list.AsString(), "a=1\nb=2");

    list.SetLineSeparator("");
    list.SetAsString("a=1\r\nb=2");
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Items(0).Value(), "1\r\nb=2");
}

} // namespace
