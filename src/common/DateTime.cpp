#include "common/DateTime.h"

#include <charconv>
#include <cmath>

namespace ot {

namespace {

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days from 0001-01-01 to the given date (proleptic Gregorian), 1-based day.
constexpr std::int64_t DaysFromCivil(int y, int m, int d) {
    // Howard Hinnant's algorithm, relative to 1970-01-01.
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// Day 0 of TDateTime; constexpr so that dates encoded during static
// initialisation of other files are right too.
constexpr std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

int ParseFixed(std::string_view s, std::size_t pos, std::size_t len, bool& ok) {
    if (pos + len > s.size()) {
        ok = false;
        return 0;
    }
    int v = 0;
    for (std::size_t i = pos; i < pos + len; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            ok = false;
            return 0;
        }
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

} // namespace

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    return days[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
}

bool IsValidDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

bool IsValidTime(int hour, int minute, int second, int msec) {
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
           msec >= 0 && msec < 1000;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (!IsValidDate(year, month, day))
        return false;
    out = static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffset);
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out) {
    if (!IsValidTime(hour, minute, second, msec))
        return false;
    out = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / MSecsPerDay;
    return true;
}

bool TryEncodeDateTime(const DateTimeParts& p, TDateTime& out) {
    TDateTime d = 0, t = 0;
    if (!TryEncodeDate(p.Year, p.Month, p.Day, d) ||
        !TryEncodeTime(p.Hour, p.Minute, p.Second, p.MilliSecond, t))
        return false;
    // Before the epoch the fraction still counts forward in time of day.
    out = d >= 0 ? d + t : d - t;
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime r = 0;
    return TryEncodeDate(year, month, day, r) ? r : 0;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
    TDateTime r = 0;
    return TryEncodeTime(hour, minute, second, msec, r) ? r : 0;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
    TDateTime r = 0;
    return TryEncodeDateTime({year, month, day, hour, minute, second, msec}, r) ? r : 0;
}

DateTimeParts DecodeDateTime(TDateTime dt) {
    DateTimeParts p;
    if (!std::isfinite(dt))
        return p;
    double whole = std::trunc(dt);
    auto ms = static_cast<std::int64_t>(std::llround(std::fabs(dt - whole) * MSecsPerDay));
    if (ms >= static_cast<std::int64_t>(MSecsPerDay)) {
        ms -= static_cast<std::int64_t>(MSecsPerDay);
        whole += dt >= 0 ? 1 : -1;
    }
    CivilFromDays(static_cast<std::int64_t>(whole) + kEpochOffset, p.Year, p.Month, p.Day);
    p.MilliSecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    p.Second = static_cast<int>(ms % 60);
    ms /= 60;
    p.Minute = static_cast<int>(ms % 60);
    p.Hour = static_cast<int>(ms / 60);
    return p;
}

TDateTime DateOf(TDateTime dt) {
    const auto p = DecodeDateTime(dt);
    return EncodeDate(p.Year, p.Month, p.Day);
}

TDateTime TimeOf(TDateTime dt) {
    const auto p = DecodeDateTime(dt);
    return EncodeTime(p.Hour, p.Minute, p.Second, p.MilliSecond);
}

namespace {

// As "%0<width>d" prints value, without the cost of printf: a file name and a
// list of thousands of tasks format several dates each.
void AppendPadded(std::string& out, int value, int width) {
    char digits[16];
    const long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
    const auto end = std::to_chars(digits, digits + sizeof digits, magnitude).ptr;
    const auto count = static_cast<int>(end - digits);
    if (value < 0) {
        out += '-';
        --width;
    }
    if (count < width)
        out.append(static_cast<std::size_t>(width - count), '0');
    out.append(digits, end);
}

} // namespace

void AppendFormattedDateTime(std::string& out, std::string_view format, TDateTime dt) {
    const auto p = DecodeDateTime(dt);
    for (std::size_t i = 0; i < format.size();) {
        auto at = [&](std::string_view tok) { return format.substr(i, tok.size()) == tok; };
        if (at("yyyy")) {
            AppendPadded(out, p.Year, 4);
            i += 4;
        } else if (at("yy")) {
            AppendPadded(out, p.Year % 100, 2);
            i += 2;
        } else if (at("mm")) {
            AppendPadded(out, p.Month, 2);
            i += 2;
        } else if (at("dd")) {
            AppendPadded(out, p.Day, 2);
            i += 2;
        } else if (at("hh")) {
            AppendPadded(out, p.Hour, 2);
            i += 2;
        } else if (at("nn")) {
            AppendPadded(out, p.Minute, 2);
            i += 2;
        } else if (at("ss")) {
            AppendPadded(out, p.Second, 2);
            i += 2;
        } else if (at("zzz")) {
            AppendPadded(out, p.MilliSecond, 3);
            i += 3;
        } else {
            out += format[i++];
        }
    }
}

std::string FormatDateTime(std::string_view format, TDateTime dt) {
    std::string out;
    AppendFormattedDateTime(out, format, dt);
    return out;
}

std::string FormatIsoDateTime(TDateTime dt) {
    return FormatDateTime("yyyy-mm-dd hh:nn:ss", dt);
}

bool TryParseIsoDateTime(std::string_view s, TDateTime& out) {
    bool ok = true;
    DateTimeParts p;
    if (s.size() < 10 || s[4] != '-' || s[7] != '-')
        return false;
    p.Year = ParseFixed(s, 0, 4, ok);
    p.Month = ParseFixed(s, 5, 2, ok);
    p.Day = ParseFixed(s, 8, 2, ok);
    p.Hour = p.Minute = p.Second = p.MilliSecond = 0;
    if (s.size() > 10) {
        if ((s[10] != ' ' && s[10] != 'T') || s.size() < 16 || s[13] != ':')
            return false;
        p.Hour = ParseFixed(s, 11, 2, ok);
        p.Minute = ParseFixed(s, 14, 2, ok);
        if (s.size() > 16) {
            if (s.size() < 19 || s[16] != ':')
                return false;
            p.Second = ParseFixed(s, 17, 2, ok);
            if (s.size() > 19) {
                if (s[19] != '.' || s.size() < 21 || s.size() > 23)
                    return false;
                std::string ms(s.substr(20));
                while (ms.size() < 3)
                    ms += '0';
                p.MilliSecond = ParseFixed(ms, 0, 3, ok);
            }
        }
    }
    return ok && TryEncodeDateTime(p, out);
}

std::optional<DateTimeParts> ParseCompactDateTime(std::string_view digits) {
    if (digits.size() != 14 && digits.size() != 17)
        return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9')
            return std::nullopt;
    const auto n = [&](std::size_t at, std::size_t len) {
        int v = 0;
        for (char c : digits.substr(at, len))
            v = v * 10 + (c - '0');
        return v;
    };
    DateTimeParts p;
    p.Year = n(0, 4);
    p.Month = n(4, 2);
    p.Day = n(6, 2);
    p.Hour = n(8, 2);
    p.Minute = n(10, 2);
    p.Second = n(12, 2);
    p.MilliSecond = digits.size() == 17 ? n(14, 3) : 0;
    TDateTime check = 0;
    if (!TryEncodeDateTime(p, check))
        return std::nullopt;
    return p;
}

std::string DateTimeToRegionalStr(TDateTime dt) {
    const auto p = DecodeDateTime(dt);
    if (p.Hour == 0 && p.Minute == 0 && p.Second == 0 && p.MilliSecond == 0)
        return FormatDateTime("yyyy-mm-dd", dt);
    return FormatDateTime("yyyy-mm-dd hh:nn:ss", dt);
}

TDateTime UnixToLocalDateTime(std::int64_t unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec);
}

std::int64_t LocalDateTimeToUnix(TDateTime dt) {
    const auto p = DecodeDateTime(dt);
    std::tm tm{};
    tm.tm_year = p.Year - 1900;
    tm.tm_mon = p.Month - 1;
    tm.tm_mday = p.Day;
    tm.tm_hour = p.Hour;
    tm.tm_min = p.Minute;
    tm.tm_sec = p.Second;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

} // namespace ot
