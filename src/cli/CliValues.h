#pragma once
// Values typed on the command line: dates, times, priorities and titles.
// Each check answers the message to show, or nothing when the value is good.

#include "common/DateInput.h"
#include "common/DateTime.h"

#include <optional>
#include <string>
#include <string_view>

namespace ot::cli {

// "none" or an empty text: the value is to be removed.
bool IsNoneValue(std::string_view text);

// Dates and times as people type them (common/DateInput.h).
using ot::ParseAlertTime;
using ot::ParseDueDate;
using ot::ParseDueDateFrom;

// A whole number from 0 to 9, the range the desktop editor offers.
std::optional<int> ParsePriority(std::string_view text);

// The message for a title that passes the checks of every program
// (CheckTaskTitle) but whose file or directory name would be longer than the
// file system can store.
std::string TaskTitleTooLongToStore(const std::string& taskDataPath);
std::string TaskClassTitleTooLongToStore(const std::string& taskDataPath);

// The formats (FormatDateTime's tokens) ottodo shows dates in; due dates
// and alert times as common/DateInput.h writes them.
using ot::AlertTimeFormat;
using ot::DueDateFormat;
using ot::FormatAlertTime;
using ot::FormatDueDate;
inline constexpr std::string_view StampFormat = "yyyy-mm-dd hh:nn";

std::string FormatStamp(TDateTime dt); // "YYYY-MM-DD HH:MM", "" for 0

} // namespace ot::cli
