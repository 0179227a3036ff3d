#include "cli/CliValues.h"

#include "common/Text.h"
#include "tasks/OtTaskUtility.h"

#include <cctype>

namespace ot::cli {

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

} // namespace

bool IsNoneValue(std::string_view text) {
    return text.empty() || text == "none";
}

std::optional<TDateTime> ParseDueDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    std::string_view y = text.substr(0, 4), m = text.substr(5, 2), d = text.substr(8, 2);
    if (!AllDigits(y) || !AllDigits(m) || !AllDigits(d))
        return std::nullopt;
    TDateTime out = 0;
    if (ToInt(y) < 1900 || !TryEncodeDate(ToInt(y), ToInt(m), ToInt(d), out))
        return std::nullopt;
    return out;
}

std::optional<TDateTime> ParseAlertTime(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view h = text.substr(0, colon), m = text.substr(colon + 1);
    if (h.empty() || h.size() > 2 || m.size() != 2 || !AllDigits(h) || !AllDigits(m))
        return std::nullopt;
    TDateTime out = 0;
    if (!TryEncodeTime(ToInt(h), ToInt(m), 0, 0, out) || out == 0)
        return std::nullopt;
    return out;
}

std::optional<int> ParsePriority(std::string_view text) {
    if (text.size() != 1 || !AllDigits(text))
        return std::nullopt;
    return text[0] - '0';
}

std::string TaskTitleTooLongToStore(const std::string& taskDataPath) {
    return Format("Task title is too long to be stored: its file name would be longer than the "
                  "%d bytes the file system allows!",
                  static_cast<int>(TOtTaskUtility::NameLimit(taskDataPath)));
}

std::string TaskClassTitleTooLongToStore(const std::string& taskDataPath) {
    return Format("Task class title is too long to be stored: its directory name would be longer "
                  "than the %d bytes the file system allows!",
                  static_cast<int>(TOtTaskUtility::NameLimit(taskDataPath)));
}

std::string FormatDueDate(TDateTime date) {
    return date == 0 ? std::string() : FormatDateTime(DueDateFormat, date);
}

std::string FormatAlertTime(TDateTime time) {
    return time == 0 ? std::string() : FormatDateTime(AlertTimeFormat, time);
}

std::string FormatStamp(TDateTime dt) {
    return dt == 0 ? std::string() : FormatDateTime(StampFormat, dt);
}

} // namespace ot::cli
