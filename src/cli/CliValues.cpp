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

// Line breaks, tabs and other control characters cannot be typed into the
// desktop program's one-line title boxes, are not escaped in file names, and
// are refused by the cloud service in paths: a title holding one could never
// be synchronized.
bool HasControlChar(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return true;
    return false;
}

std::optional<std::string> CheckTitle(const std::string& title, int maxLength,
                                      const char* emptyMessage, const char* lengthMessage,
                                      const char* illegalMessage) {
    if (Trim(title).empty())
        return std::string(emptyMessage);
    if (Utf16Length(title) > static_cast<std::size_t>(maxLength))
        return Format(lengthMessage, maxLength);
    if (TOtTaskUtility::IsContainIllegalChars(title) || HasControlChar(title))
        return std::string(illegalMessage);
    return std::nullopt;
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

std::optional<std::string> CheckTaskTitle(const std::string& title) {
    return CheckTitle(title, MaxTaskTitleLength, "Task title cannot be empty!",
                      "The length of task title cannot be longer than %d!",
                      "Task title contains illegal characters!");
}

std::optional<std::string> CheckTaskClassTitle(const std::string& title) {
    return CheckTitle(title, MaxTaskClassTitleLength, "Task class title cannot be empty!",
                      "The length of task class title cannot be longer than %d!",
                      "Task class title contains illegal characters!");
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
