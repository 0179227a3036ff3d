#pragma once
// The shared date-time type: local date and time as days since 1899-12-30,
// the time of day as the fraction. 0 means "not set" everywhere.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace ot {

using TDateTime = double;

struct DateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};

constexpr double MSecsPerDay = 86400000.0;

bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int msec);
int DaysInMonth(int year, int month);

// The Try forms answer false for values that do not form a date or time.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out);
bool TryEncodeDateTime(const DateTimeParts& p, TDateTime& out);
// These answer 0 for invalid input.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second = 0, int msec = 0);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second = 0,
                         int msec = 0);

// Rounded to the millisecond, as the value is stored.
DateTimeParts DecodeDateTime(TDateTime dt);
TDateTime DateOf(TDateTime dt);
TDateTime TimeOf(TDateTime dt);

// Formats with the tokens yyyy, yy, mm (month), dd, hh, nn (minute), ss, zzz;
// every other character is copied.
std::string FormatDateTime(std::string_view format, TDateTime dt);
// The same, appended to out.
void AppendFormattedDateTime(std::string& out, std::string_view format, TDateTime dt);

// "YYYY-MM-DD HH:MM:SS" (as SQLite's datetime() and the cloud write it).
std::string FormatIsoDateTime(TDateTime dt);
// Accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS" and
// "YYYY-MM-DD HH:MM:SS.zzz" (a "T" may stand for the blank).
bool TryParseIsoDateTime(std::string_view text, TDateTime& out);

// The fields of "yyyymmddhhnnss" or "yyyymmddhhnnsszzz" (digits only), or
// nothing when they are not those digits or name no real date and time.
std::optional<DateTimeParts> ParseCompactDateTime(std::string_view digits);

// The regional date-time text of this platform: "yyyy-mm-dd hh:nn:ss", the
// date alone when the time of day is exactly midnight.
std::string DateTimeToRegionalStr(TDateTime dt);

// Conversions between local date-times and Unix time (seconds since
// 1970-01-01 UTC), through the system's time zone rules.
TDateTime UnixToLocalDateTime(std::int64_t unixSeconds);
std::int64_t LocalDateTimeToUnix(TDateTime dt);

} // namespace ot
