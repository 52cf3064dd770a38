// Reading internet message dates (InternetDateToLocal of UMessageHeaders): RFC 822 dates and the
// common variants "02-Mar-04 10:00:00 +0200" and "Mar  2 10:00:00 2004".

#include <array>

#include "mail/UMessageHeaders.h"

namespace {

constexpr double MinutesPerDay = 24.0 * 60.0;

constexpr std::array<std::string_view, 12> MonthNames = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::array<std::string_view, 7> DayNames = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};

struct TZoneName {
    std::string_view Name;
    int Offset; // minutes east of UTC
};
constexpr std::array<TZoneName, 10> ZoneNames = {{{"UT", 0},
                                                  {"GMT", 0},
                                                  {"EST", -5 * 60},
                                                  {"EDT", -4 * 60},
                                                  {"CST", -6 * 60},
                                                  {"CDT", -5 * 60},
                                                  {"MST", -7 * 60},
                                                  {"MDT", -6 * 60},
                                                  {"PST", -8 * 60},
                                                  {"PDT", -7 * 60}}};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Index of the name the word begins with (its first three letters), -1 when none.
template <size_t N> int NameIndex(std::string_view word, const std::array<std::string_view, N>& names) {
    if (word.size() < 3)
        return -1;
    for (size_t i = 0; i < N; ++i)
        if (SameText(word.substr(0, 3), names[i]))
            return static_cast<int>(i);
    return -1;
}

// Reads the date text field by field from the front.
class TDateReader {
public:
    explicit TDateReader(std::string_view text) : m_Text(text) {}

    std::string_view Rest() const { return m_Text.substr(m_Pos); }

    // The next field: blanks and commas before it are skipped; it ends at a blank, or at the date
    // separator when that is "-" (which is then consumed).
    std::string_view NextField(char separator) {
        while (m_Pos < m_Text.size() && (IsBlank(m_Text[m_Pos]) || m_Text[m_Pos] == ','))
            ++m_Pos;
        const size_t start = m_Pos;
        while (m_Pos < m_Text.size() && !IsBlank(m_Text[m_Pos]) && !(separator == '-' && m_Text[m_Pos] == '-'))
            ++m_Pos;
        std::string_view field = m_Text.substr(start, m_Pos - start);
        if (separator == '-' && m_Pos < m_Text.size() && m_Text[m_Pos] == '-')
            ++m_Pos;
        while (!field.empty() && (field.back() == ',' || field.back() == '.'))
            field.remove_suffix(1);
        return field;
    }

    // Drops a leading day name ("Tue," or "Tuesday,").
    void SkipDayName() {
        if (NameIndex(Rest(), DayNames) < 0)
            return;
        while (m_Pos < m_Text.size() && IsLetter(m_Text[m_Pos]))
            ++m_Pos;
        if (m_Pos < m_Text.size() && m_Text[m_Pos] == ',')
            ++m_Pos;
    }

private:
    std::string_view m_Text;
    size_t m_Pos = 0;
};

bool ReadNumber(std::string_view field, int& value) {
    if (field.empty() || field.size() > 9)
        return false;
    value = 0;
    for (char c : field) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool ReadYear(std::string_view field, int& year) {
    if (!ReadNumber(field, year))
        return false;
    if (year < 80)
        year += 2000;
    else if (year < 1000)
        year += 1900; // two- and three-digit years count from 1900
    return true;
}

// hh[:nn[:ss[.fff]]]; missing or empty parts count 0, a fraction of a second is ignored.
bool ReadTime(std::string_view field, int& hour, int& minute, int& second) {
    int parts[3] = {0, 0, 0};
    for (size_t count = 0;; ++count) {
        if (count == 3)
            return false; // more than three parts
        const size_t colon = field.find(':');
        std::string_view piece = field.substr(0, colon);
        if (count == 2)
            piece = piece.substr(0, piece.find('.'));
        if (!piece.empty() && !ReadNumber(piece, parts[count]))
            return false;
        if (colon == std::string_view::npos)
            break;
        field.remove_prefix(colon + 1);
    }
    hour = parts[0];
    minute = parts[1];
    second = parts[2] == 60 ? 59 : parts[2]; // a leap second
    return true;
}

// Date and time from the front of the text; the reader is left after the consumed fields.
bool ReadDateTime(TDateReader& reader, TDateTime& value) {
    reader.SkipDayName();
    const std::string_view rest = reader.Rest();
    const size_t blank = rest.find_first_of(" \t", rest.find_first_not_of(" \t"));
    const char separator = rest.substr(0, blank).find('-') != std::string_view::npos ? '-' : ' ';

    std::string_view dayField = reader.NextField(separator);
    std::string_view monthField = reader.NextField(separator);
    if (NameIndex(dayField, MonthNames) >= 0)
        std::swap(dayField, monthField);
    const int month = NameIndex(monthField, MonthNames) + 1;
    int day = 0;
    if (month < 1 || !ReadNumber(dayField, day))
        return false;

    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::string_view field = reader.NextField(separator);
    if (field.find(':') != std::string_view::npos) {
        // Month, day and time come before the year.
        if (!ReadTime(field, hour, minute, second) || !ReadYear(reader.NextField(' '), year))
            return false;
    } else {
        if (!ReadYear(field, year))
            return false;
        const std::string_view time = TDateReader(reader.Rest()).NextField(' ');
        if (time.find(':') != std::string_view::npos) {
            reader.NextField(' ');
            if (!ReadTime(time, hour, minute, second))
                return false;
        }
    }
    return TryEncodeDateTime(year, month, day, hour, minute, second, 0, value);
}

// Minutes east of UTC of the zone at the front of the text: +hhmm / -hhmm, or one of the RFC 822
// zone names; anything else counts as UTC.
int ReadZone(std::string_view zone) {
    if (zone.size() > 4 && (zone[0] == '+' || zone[0] == '-') && IsDigit(zone[1]) && IsDigit(zone[2]) &&
        IsDigit(zone[3]) && IsDigit(zone[4])) {
        const int hours = (zone[1] - '0') * 10 + (zone[2] - '0');
        const int minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
        if (hours > 23 || minutes > 59)
            return 0;
        return (zone[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
    }
    size_t letters = 0;
    while (letters < zone.size() && IsLetter(zone[letters]))
        ++letters;
    for (const TZoneName& name : ZoneNames)
        if (SameText(zone.substr(0, letters), name.Name))
            return name.Offset;
    return 0;
}

} // namespace

TDateTime InternetDateToLocal(std::string_view input) {
    const std::string text = Trim(input);
    TDateReader reader(text);
    TDateTime value = 0;
    if (text.empty() || !ReadDateTime(reader, value))
        value = 0;
    const int zone = ReadZone(Trim(reader.Rest()));
    return value - zone / MinutesPerDay + LocalStandardOffset() / MinutesPerDay;
}
