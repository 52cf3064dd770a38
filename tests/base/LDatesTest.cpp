#include "base/LDates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/base/TestLocale.h"

using namespace std::string_literals;

namespace {

TDateTime Encoded(int y, int m, int d, int h, int n, int s, int z) {
    return EncodeDateTime(y, m, d, h, n, s, z);
}

std::string LocalText(TDateTime value) {
    return FormatDateTime("YYYY-MM-DD HH:NN:SS.ZZZ", value);
}

// The fallback of TextToDateTime: now, in the local zone.
void ExpectCurrentLocalTime(const TZDateTime& value, const std::string& input) {
    EXPECT_EQ(value.Offset, LocalStandardOffset()) << input.substr(0, 60);
    EXPECT_LT(std::fabs(value.Value - Now()), 60.0 / 86400) << input.substr(0, 60);
}

} // namespace

TEST(LDates, EncodingCountsDaysFromTheEndOf1899) {
    EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDateTime(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDateTime(2000, 1, 1), 36526.0);
    EXPECT_EQ(EncodeDateTime(2000, 1, 1, 12), 36526.5);
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
    TDateTime value = 0;
    EXPECT_FALSE(TryEncodeDateTime(2023, 2, 29, 0, 0, 0, 0, value));
    EXPECT_TRUE(TryEncodeDateTime(2024, 2, 29, 0, 0, 0, 0, value));
    EXPECT_FALSE(TryEncodeDateTime(1900, 2, 29, 0, 0, 0, 0, value));
    EXPECT_TRUE(TryEncodeDateTime(2000, 2, 29, 0, 0, 0, 0, value));
    EXPECT_FALSE(TryEncodeDateTime(2024, 1, 1, 24, 0, 0, 0, value));
    EXPECT_FALSE(TryEncodeDateTime(0, 1, 1, 0, 0, 0, 0, value));
    EXPECT_FALSE(TryEncodeDateTime(2024, 13, 1, 0, 0, 0, 0, value));
}

TEST(LDates, DecodingRoundsToTheNearestMillisecondWithoutAn24thHour) {
    int y, m, d, h, n, s, z;
    DecodeDateTime(EncodeDateTime(2026, 12, 31) + 1 - 1e-10, y, m, d, h, n, s, z);
    EXPECT_EQ(std::vector<int>({y, m, d, h, n, s, z}), std::vector<int>({2027, 1, 1, 0, 0, 0, 0}));
    for (const TDateTime value : {Encoded(2026, 12, 7, 10, 15, 0, 123), Encoded(1, 1, 1, 0, 0, 0, 0),
                                  Encoded(9999, 12, 31, 23, 59, 59, 999), Encoded(1850, 6, 1, 6, 30, 0, 5)}) {
        DecodeDateTime(value, y, m, d, h, n, s, z);
        EXPECT_EQ(EncodeDateTime(y, m, d, h, n, s, z), value) << LocalText(value);
    }
}

TEST(LDates, TextKeepsAFourDigitYearAtTheLimitsOfTheCalendar) {
    const std::string last = "9999-12-31T23:59:59.9999999+00:00";
    EXPECT_EQ(DateTimeToText(TextToDateTime(last)), "9999-12-31T23:59:59.9990000+00:00");
    EXPECT_EQ(DateTimeToText(TextToDateTime(DateTimeToText(TextToDateTime(last)))),
              "9999-12-31T23:59:59.9990000+00:00");
    EXPECT_EQ(FormatDateTime("YYYY-MM-DD", 1e12), "9999-12-31");
    EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH", -1e12), "0001-01-01 00");
    EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH", EncodeDateTime(1, 1, 1) - 0.5), "0001-01-01 12");
    EXPECT_EQ(FormatDateTime("YYYY-MM-DD", std::nan("")), "1899-12-30");
}

TEST(LDates, FormatTokensIgnoreCaseAndCopyEverythingElse) {
    const TDateTime value = Encoded(2026, 3, 4, 5, 6, 7, 8);
    EXPECT_EQ(FormatDateTime("YYYYMMDDHHNNSSZZZ", value), "20260304050607008");
    EXPECT_EQ(FormatDateTime("yy/mm/dd hh.nn.ss,zzz", value), "26/03/04 05.06.07,008");
    EXPECT_EQ(FormatDateTime("", value), "");
    EXPECT_EQ(FormatDateTime("Y", value), "Y");
}

TEST(LDates, TextHasSevenFractionDigitsAndTheOffset) {
    EXPECT_EQ(DateTimeToText({Encoded(2026, 12, 7, 10, 15, 0, 123), 60}), "2026-12-07T10:15:00.1230000+01:00");
    EXPECT_EQ(DateTimeToText({Encoded(2026, 12, 7, 10, 15, 0, 123), -330}), "2026-12-07T10:15:00.1230000-05:30");
    EXPECT_EQ(DateTimeToText({Encoded(2026, 1, 2, 3, 4, 5, 6), 0}), "2026-01-02T03:04:05.0060000+00:00");
    EXPECT_EQ(DateTimeToText({Encoded(2026, 1, 2, 0, 0, 0, 0), 345}), "2026-01-02T00:00:00.0000000+05:45");
}

TEST(LDates, StandardOffsetNeverIncludesDaylightSaving) {
    {
        TTimeZone zone("Asia/Kolkata");
        EXPECT_EQ(LocalStandardOffset(), 330);
        EXPECT_EQ(ZonedLocal(Encoded(2026, 7, 1, 12, 0, 0, 0)).Offset, 330);
    }
    {
        TTimeZone zone("America/New_York");
        EXPECT_EQ(LocalStandardOffset(), -300);
        const TZDateTime july = ZonedLocal(Encoded(2026, 7, 1, 12, 0, 0, 0));
        EXPECT_EQ(DateTimeToText(july), "2026-07-01T12:00:00.0000000-05:00");
        EXPECT_EQ(LocalText(LocalDateTime(TextToDateTime("2026-07-01T12:00:00.0000000+00:00"))),
                  "2026-07-01 07:00:00.000");
    }
    {
        TTimeZone zone("UTC");
        EXPECT_EQ(LocalStandardOffset(), 0);
    }
}

TEST(LDates, ReadingConvertsToTheLocalStandardTime) {
    TTimeZone zone("Europe/Berlin");
    const TZDateTime read = TextToDateTime("2026-12-07T10:15:00.1230000+00:00");
    EXPECT_EQ(read.Offset, 0);
    EXPECT_EQ(LocalText(read.Value), "2026-12-07 10:15:00.123");
    EXPECT_EQ(LocalText(LocalDateTime(read)), "2026-12-07 11:15:00.123");
    EXPECT_EQ(LocalText(LocalDateTime(TextToDateTime("2026-12-07T00:30:00.0000000+05:30"))), "2026-12-06 20:00:00.000");
    EXPECT_EQ(LocalText(LocalDateTime(TextToDateTime("2026-01-01T00:10:00.0000000-00:30"))), "2026-01-01 01:40:00.000");
}

TEST(LDates, TextWrittenAndReadOnOneMachineComesBackUnchanged) {
    TTimeZone zone("Asia/Kolkata");
    for (const TDateTime value : {Encoded(2026, 12, 7, 10, 15, 0, 123), Encoded(2024, 2, 29, 23, 59, 59, 999),
                                  Encoded(1, 1, 1, 0, 0, 0, 0), Encoded(1850, 6, 1, 6, 30, 0, 5)}) {
        const std::string text = DateTimeToText(ZonedLocal(value));
        const TZDateTime read = TextToDateTime(text);
        EXPECT_EQ(read.Offset, 330) << text;
        EXPECT_EQ(LocalText(LocalDateTime(read)), LocalText(value)) << text;
        EXPECT_EQ(DateTimeToText(read), text);
    }
}

TEST(LDates, TextIsTheSameUnderADecimalCommaLocale) {
    const std::string text = DateTimeToText({Encoded(2026, 12, 7, 10, 15, 0, 123), 60});
    TGermanLocale german;
    ASSERT_TRUE(german.Active()) << "localedef could not build de_DE.UTF-8";
    EXPECT_EQ(DateTimeToText({Encoded(2026, 12, 7, 10, 15, 0, 123), 60}), text);
    const TZDateTime read = TextToDateTime(text);
    EXPECT_EQ(read.Offset, 60);
    EXPECT_EQ(DateTimeToText(read), text);
    EXPECT_EQ(LocalText(read.Value), "2026-12-07 10:15:00.123");
}

TEST(LDates, ReadingAcceptsShortFractionsAndMissingOffsets) {
    EXPECT_EQ(DateTimeToText(TextToDateTime("2026-12-07T10:15:00.5+01:00")), "2026-12-07T10:15:00.5000000+01:00");
    EXPECT_EQ(DateTimeToText(TextToDateTime("2026-12-07T10:15:00+01:00")), "2026-12-07T10:15:00.0000000+01:00");
    EXPECT_EQ(DateTimeToText(TextToDateTime("2026-12-07T10:15:00")), "2026-12-07T10:15:00.0000000+00:00");
    EXPECT_EQ(DateTimeToText(TextToDateTime("2026-12-07T10:15:00.1234567Z")), "2026-12-07T10:15:00.1230000+00:00");
    EXPECT_NEAR(TextToDateTime("2026-12-07T10:15:00.9999999+00:00").Value,
                Encoded(2026, 12, 7, 10, 15, 0, 0) + 0.9999999 / 86400, 1e-9);
}

TEST(LDates, ReadingADateWithoutTimeGivesLocalMidnight) {
    TTimeZone zone("Asia/Kolkata");
    const TZDateTime read = TextToDateTime("2026-12-07");
    EXPECT_EQ(read.Offset, 330);
    EXPECT_EQ(LocalText(LocalDateTime(read)), "2026-12-07 00:00:00.000");
}

TEST(LDates, UnreadableTextGivesTheCurrentLocalTime) {
    TTimeZone zone("Asia/Kolkata");
    const std::string bad[] = {
        "",
        "garbage",
        "2026",
        "2026-12-07T",
        "2026-12-07T10:15",
        "2026-02-30T10:15:00.0000000+00:00",
        "2026-13-07T10:15:00.0000000+00:00",
        "2026-12-07T24:00:00.0000000+00:00",
        "2026-12-07T10:60:00.0000000+00:00",
        "2026-12-07T10:15:60.0000000+00:00",
        "2026-12-07T1a:15:00.0000000+00:00",
        "-026-12-07T10:15:00.0000000+00:00",
        " 2026-12-07T10:15:00.0000000+00:00",
        "2026-12-07T10:15:00.0000000+24:00",
        "2026-12-07T10:15:00.0000000+01:60",
        "2026-12-07T10:15:00.0000000+01",
        "2026-12-07T10:15:00.0000000-",
        "2026-12-07T10:15:00.0000000+0x:00",
        "0000-12-07T10:15:00.0000000+00:00",
        "2026-12-07T10:15:00.0000000+00:00"s.replace(5, 1, 1, '\0').replace(12, 1, 1, '\0'),
        "2026-12-07T\0"s,
        std::string(1 << 20, '9'),
        "2026-12-07T" + std::string(1 << 20, '+'),
    };
    for (const std::string& text : bad) {
        ExpectCurrentLocalTime(TextToDateTime(text), text);
    }
}

TEST(LDates, LocalDateTimeShiftsAcrossDayAndYearBoundaries) {
    TTimeZone zone("UTC");
    EXPECT_EQ(LocalText(LocalDateTime({Encoded(2027, 1, 1, 0, 30, 0, 0), 60})), "2026-12-31 23:30:00.000");
    EXPECT_EQ(LocalText(LocalDateTime({Encoded(2026, 12, 31, 23, 30, 0, 0), -60})), "2027-01-01 00:30:00.000");
    EXPECT_EQ(LocalText(LocalDateTime({Encoded(1899, 12, 30, 0, 30, 0, 0), 60})), "1899-12-29 23:30:00.000");
    EXPECT_EQ(LocalText(LocalDateTime({Encoded(1899, 12, 29, 23, 30, 0, 0), -60})), "1899-12-30 00:30:00.000");
}

TEST(LDates, NowIsTheWallClockTime) {
    const time_t seconds = time(nullptr);
    tm local{};
    localtime_r(&seconds, &local);
    const TDateTime expected = EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                              local.tm_min, local.tm_sec);
    EXPECT_LT(std::fabs(Now() - expected), 5.0 / 86400);
}
