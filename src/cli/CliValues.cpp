#include "cli/CliValues.h"

#include "common/Clock.h"
#include "common/Text.h"
#include "tasks/OtTaskUtility.h"

#include <cctype>

namespace ot::cli {

bool IsNoneValue(std::string_view text) {
    return text.empty() || text == "none";
}

std::optional<int> ParsePriority(std::string_view text) {
    if (text.size() != 1 || !std::isdigit(static_cast<unsigned char>(text[0])))
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

std::string FormatStamp(TDateTime dt) {
    return dt == 0 ? std::string() : FormatDateTime(StampFormat, dt);
}

} // namespace ot::cli
