#include "base/LDates.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <mutex>
#include <string>

namespace {

constexpr int64_t MSecsPerDay = 86400000;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

// 1899-12-30, day 0 of TDateTime, counted from 1970-01-01.
const int64_t DateDelta = DaysFromCivil(1899, 12, 30);

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// A date-time value of whole days and a time of day in milliseconds. Before day 0 the time of day
// counts away from zero (-1.25 is 1899-12-29 06:00), as the date-time type has always done.
TDateTime Compose(int64_t days, int64_t timeMs) {
    const double time = static_cast<double>(timeMs) / MSecsPerDay;
    return static_cast<double>(days) + (days < 0 ? -time : time);
}

// The first and last representable days, 0001-01-01 and 9999-12-31, as TDateTime days.
const int64_t FirstDay = DaysFromCivil(1, 1, 1) - DateDelta;
const int64_t LastDay = DaysFromCivil(9999, 12, 31) - DateDelta;

// Whole days and the time of day in milliseconds, rounded to the nearest millisecond. Values
// outside 0001-01-01 .. 9999-12-31 23:59:59.999 are held at those limits, so that a date-time
// always has a four-digit year.
void Split(TDateTime value, int64_t& days, int64_t& timeMs) {
    if (!std::isfinite(value)) {
        value = 0;
    }
    if (value <= static_cast<double>(FirstDay) - 1) {
        days = FirstDay;
        timeMs = 0;
        return;
    }
    if (value >= static_cast<double>(LastDay + 1)) {
        days = LastDay;
        timeMs = MSecsPerDay - 1;
        return;
    }
    const double whole = std::trunc(value);
    days = static_cast<int64_t>(whole);
    timeMs = std::llround(std::fabs(value - whole) * MSecsPerDay);
    if (timeMs >= MSecsPerDay) {
        // Rounded up to the next midnight, which lies one day later in time on either side of day 0.
        timeMs = 0;
        days += 1;
        if (days > LastDay) {
            days = LastDay;
            timeMs = MSecsPerDay - 1;
        }
    }
}

// Parses characters [from, from + count) of text (1-based) as an unsigned decimal number made of
// ASCII digits only; false when the range is short or holds anything else.
bool NumberAt(std::string_view text, size_t from, size_t count, int& value) {
    if (from < 1 || from - 1 + count > text.size() || count == 0) {
        return false;
    }
    int result = 0;
    for (size_t i = from - 1; i < from - 1 + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + (c - '0');
    }
    value = result;
    return true;
}

bool ParseDateTime(std::string_view text, TZDateTime& result) {
    int year = 0, month = 0, day = 0;
    if (!NumberAt(text, 1, 4, year) || !NumberAt(text, 6, 2, month) || !NumberAt(text, 9, 2, day)) {
        return false;
    }
    const size_t t = text.find('T');
    if (t == std::string_view::npos) {
        // A date without a time: midnight of that day in the local zone.
        TDateTime date = 0;
        if (!TryEncodeDateTime(year, month, day, 0, 0, 0, 0, date)) {
            return false;
        }
        result = TZDateTime{date, LocalStandardOffset()};
        return true;
    }
    const std::string_view time = text.substr(t + 1);
    int hour = 0, minute = 0, second = 0;
    if (!NumberAt(time, 1, 2, hour) || !NumberAt(time, 4, 2, minute) || !NumberAt(time, 7, 2, second)) {
        return false;
    }
    // The fraction of a second: the digits from the 10th character on, at most seven, read as the
    // digits after a decimal point. Writers that give fewer digits (or none) are understood too.
    double fraction = 0;
    if (time.size() > 8 && time[8] == '.') {
        double scale = 0.1;
        for (size_t i = 9; i < time.size() && i < 16 && time[i] >= '0' && time[i] <= '9'; ++i) {
            fraction += (time[i] - '0') * scale;
            scale /= 10;
        }
    }
    TDateTime value = 0;
    if (!TryEncodeDateTime(year, month, day, hour, minute, second, 0, value)) {
        return false;
    }
    value += (value < 0 ? -fraction : fraction) / 86400.0;

    int32_t offset = 0;
    size_t sign = time.find('+');
    if (sign == std::string_view::npos) {
        sign = time.find('-');
    }
    if (sign != std::string_view::npos) {
        int offsetHours = 0, offsetMinutes = 0;
        if (!NumberAt(time, sign + 2, 2, offsetHours) || !NumberAt(time, sign + 5, 2, offsetMinutes) ||
            offsetHours > 23 || offsetMinutes > 59) {
            return false;
        }
        offset = offsetHours * 60 + offsetMinutes;
        if (time[sign] == '-') {
            offset = -offset;
        }
    }
    result = TZDateTime{value, offset};
    return true;
}

void AppendNumber(std::string& out, int64_t value, int digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*lld", digits, static_cast<long long>(value));
    out += buffer;
}

bool TokenAt(std::string_view format, size_t i, std::string_view token) {
    if (format.size() - i < token.size()) {
        return false;
    }
    for (size_t k = 0; k < token.size(); ++k) {
        char c = format[i + k];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != token[k]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec, TDateTime& result) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 || msec > 999) {
        return false;
    }
    const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - DateDelta;
    const int64_t timeMs = ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + msec;
    result = Compose(days, timeMs);
    return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
    TDateTime result = 0;
    return TryEncodeDateTime(year, month, day, hour, minute, second, msec, result) ? result : 0;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute, int& second, int& msec) {
    int64_t days = 0, timeMs = 0;
    Split(value, days, timeMs);
    CivilFromDays(days + DateDelta, year, month, day);
    msec = static_cast<int>(timeMs % 1000);
    second = static_cast<int>(timeMs / 1000 % 60);
    minute = static_cast<int>(timeMs / 60000 % 60);
    hour = static_cast<int>(timeMs / 3600000);
}

TDateTime Now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tzset();
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr) {
        return 0;
    }
    TDateTime result = 0;
    TryEncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                      local.tm_sec > 59 ? 59 : local.tm_sec, static_cast<int>(now.tv_nsec / 1000000), result);
    return result;
}

int32_t LocalStandardOffset() {
    // tzset sets `timezone` to the seconds west of UTC of the zone's standard time. It reads the
    // zone files each time, so the offset is kept for as long as TZ names the same zone.
    static std::mutex lock;
    static bool known = false;
    static std::string knownZone;
    static int32_t offset = 0;
    const char* zone = std::getenv("TZ");
    const std::string current = zone ? std::string("=") + zone : std::string();
    std::lock_guard guard(lock);
    if (!known || current != knownZone) {
        tzset();
        offset = static_cast<int32_t>(-timezone / 60);
        knownZone = current;
        known = true;
    }
    return offset;
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
    int year, month, day, hour, minute, second, msec;
    DecodeDateTime(value, year, month, day, hour, minute, second, msec);
    std::string out;
    out.reserve(format.size() + 8);
    for (size_t i = 0; i < format.size();) {
        if (TokenAt(format, i, "YYYY")) {
            AppendNumber(out, year, 4);
            i += 4;
        } else if (TokenAt(format, i, "YY")) {
            AppendNumber(out, year % 100, 2);
            i += 2;
        } else if (TokenAt(format, i, "MM")) {
            AppendNumber(out, month, 2);
            i += 2;
        } else if (TokenAt(format, i, "DD")) {
            AppendNumber(out, day, 2);
            i += 2;
        } else if (TokenAt(format, i, "HH")) {
            AppendNumber(out, hour, 2);
            i += 2;
        } else if (TokenAt(format, i, "NN")) {
            AppendNumber(out, minute, 2);
            i += 2;
        } else if (TokenAt(format, i, "SS")) {
            AppendNumber(out, second, 2);
            i += 2;
        } else if (TokenAt(format, i, "ZZZ")) {
            AppendNumber(out, msec, 3);
            i += 3;
        } else {
            out += format[i++];
        }
    }
    return out;
}

TZDateTime ZonedLocal(TDateTime local) {
    return TZDateTime{local, LocalStandardOffset()};
}

std::string DateTimeToText(const TZDateTime& value) {
    std::string text = FormatDateTime("YYYY-MM-DDTHH:NN:SS.ZZZ", value.Value);
    text += "0000";
    const int64_t offset = value.Offset;
    const int64_t magnitude = offset < 0 ? -offset : offset;
    text += offset >= 0 ? '+' : '-';
    AppendNumber(text, magnitude / 60, 2);
    text += ':';
    AppendNumber(text, magnitude % 60, 2);
    return text;
}

TZDateTime TextToDateTime(std::string_view text) {
    TZDateTime result;
    if (ParseDateTime(text, result)) {
        return result;
    }
    return ZonedLocal(Now());
}

TDateTime LocalDateTime(const TZDateTime& value) {
    // bias = minutes to add to local standard time to reach UTC = -LocalStandardOffset().
    const int64_t shift = static_cast<int64_t>(value.Offset) - LocalStandardOffset();
    const TDateTime linear = value.Value - static_cast<double>(shift) / 1440.0;
    if (value.Value >= 0 && linear >= 0) {
        return linear;
    }
    // Before day 0 the time of day runs the other way; go through milliseconds to stay exact.
    int64_t days = 0, timeMs = 0;
    Split(value.Value, days, timeMs);
    const int64_t total = days * MSecsPerDay + timeMs - shift * 60000;
    int64_t newDays = total / MSecsPerDay;
    int64_t newTime = total % MSecsPerDay;
    if (newTime < 0) {
        newTime += MSecsPerDay;
        newDays -= 1;
    }
    return Compose(newDays, newTime);
}
