#pragma once
// The date-time value and its text form with the local standard-time offset. Free functions
// without state; callable from any thread.

#include <cstdint>
#include <string>
#include <string_view>

// Days since 1899-12-30 00:00 with the time of day as fraction (the zero date-time is 0).
using TDateTime = double;

// A date-time value and the offset, in minutes east of UTC, that it is expressed in.
struct TZDateTime {
    TDateTime Value = 0;
    int32_t Offset = 0;
};

// Current local (wall clock) time, to the millisecond.
TDateTime Now();
// Offset of the machine's standard time from UTC in minutes east; daylight saving never applies.
int32_t LocalStandardOffset();

TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int msec = 0);
// False for an invalid date or time instead of an exception.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec, TDateTime& result);
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute, int& second, int& msec);

// Formats with the tokens YYYY, YY, MM, DD, HH, NN, SS, ZZZ (upper or lower case); every other
// character is copied. Separators never depend on the locale.
std::string FormatDateTime(std::string_view format, TDateTime value);

// The zoned value of a local value (Offset := the local standard-time offset).
TZDateTime ZonedLocal(TDateTime local);
// yyyy-mm-ddThh:nn:ss.fffffff+hh:mm
std::string DateTimeToText(const TZDateTime& value);
// Reads the text form by position: yyyy-mm-dd, then after the first "T" hh:nn:ss, an optional
// fraction of one to seven digits after ".", and an optional +hh:mm or -hh:mm (none: UTC). A date
// without a "T" is midnight of that day in the local zone. Any failure (a field that is not made of
// digits, an invalid date or time, an offset beyond 23:59) gives the current local time with the
// local offset. Safe on any input.
TZDateTime TextToDateTime(std::string_view text);
// The value converted from its offset to the local standard time.
TDateTime LocalDateTime(const TZDateTime& value);
