#include "common/DateInput.h"

#include "common/Clock.h"
#include "common/Text.h"

#include <cctype>

namespace ot {

namespace {

bool AllDigits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

int ToInt(std::string_view digits) {
    int v = 0;
    for (char c : digits)
        v = v * 10 + (c - '0');
    return v;
}

// Year, month and day as typed; one-digit months and days are taken.
std::optional<TDateTime> CalendarDate(std::string_view y, std::string_view m, std::string_view d) {
    if (y.size() != 4 || m.empty() || m.size() > 2 || d.empty() || d.size() > 2 || !AllDigits(y) ||
        !AllDigits(m) || !AllDigits(d))
        return std::nullopt;
    TDateTime out = 0;
    if (ToInt(y) < 1900 || !TryEncodeDate(ToInt(y), ToInt(m), ToInt(d), out))
        return std::nullopt;
    return out;
}

} // namespace

std::optional<TDateTime> ParseDueDate(std::string_view text) {
    return ParseDueDateFrom(text, DateOf(Now()));
}

std::optional<TDateTime> ParseDueDateFrom(std::string_view text, TDateTime Today) {
    const std::string lower = ToLowerAscii(text);
    const TDateTime today = DateOf(Today);
    if (lower == "today")
        return today;
    if (lower == "tomorrow")
        return today + 1;
    // Day 0 (1899-12-30) was a Saturday: Monday is 0 here.
    static const char* const days[] = {"monday", "tuesday",  "wednesday", "thursday",
                                       "friday", "saturday", "sunday"};
    for (int k = 0; k < 7; ++k) {
        const std::string_view day = days[k];
        if (lower == day || lower == day.substr(0, 3)) {
            const int now = static_cast<int>((static_cast<long long>(today) + 5) % 7);
            return today + (k - now + 7) % 7;
        }
    }
    if (lower.size() >= 3 && lower[0] == '+' && (lower.back() == 'd' || lower.back() == 'w')) {
        const std::string_view n = std::string_view(lower).substr(1, lower.size() - 2);
        if (!AllDigits(n) || n.size() > 5)
            return std::nullopt;
        const TDateTime out = today + ToInt(n) * (lower.back() == 'w' ? 7 : 1);
        return out < EncodeDate(9999, 12, 31) ? std::optional<TDateTime>(out) : std::nullopt;
    }
    if (lower.size() == 8 && AllDigits(lower))
        return CalendarDate(text.substr(0, 4), text.substr(4, 2), text.substr(6, 2));
    const auto first = text.find('-');
    const auto second = first == std::string_view::npos ? first : text.find('-', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    return CalendarDate(text.substr(0, first), text.substr(first + 1, second - first - 1),
                        text.substr(second + 1));
}

std::optional<TDateTime> ParseAlertTime(std::string_view text) {
    std::string lower = ToLowerAscii(text);
    // "am" or "pm" after the time: a 12-hour clock.
    int half = 0; // 0: 24-hour clock, 1: am, 2: pm
    if (lower.size() > 2 && (EndsWith(lower, "am") || EndsWith(lower, "pm"))) {
        half = lower[lower.size() - 2] == 'a' ? 1 : 2;
        lower = Trim(lower.substr(0, lower.size() - 2));
    }
    const auto colon = lower.find(':');
    const std::string_view all = lower;
    const std::string_view h = all.substr(0, colon);
    const std::string_view m = colon == std::string_view::npos ? "00" : all.substr(colon + 1);
    if (h.empty() || h.size() > 2 || m.size() != 2 || !AllDigits(h) || !AllDigits(m))
        return std::nullopt;
    int hour = ToInt(h);
    if (half != 0) {
        if (hour < 1 || hour > 12)
            return std::nullopt;
        hour = hour % 12 + (half == 2 ? 12 : 0);
    }
    TDateTime out = 0;
    if (!TryEncodeTime(hour, ToInt(m), 0, 0, out) || out == 0)
        return std::nullopt;
    return out;
}

std::string FormatDueDate(TDateTime date) {
    return date == 0 ? std::string() : FormatDateTime(DueDateFormat, date);
}

std::string FormatAlertTime(TDateTime time) {
    return time == 0 ? std::string() : FormatDateTime(AlertTimeFormat, time);
}

} // namespace ot
