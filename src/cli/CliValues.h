#pragma once
// Values typed on the command line: dates, times, priorities and titles.
// Each check answers the message to show, or nothing when the value is good.

#include "common/DateTime.h"

#include <optional>
#include <string>
#include <string_view>

namespace ot::cli {

// "none" or an empty text: the value is to be removed.
bool IsNoneValue(std::string_view text);

// A due date, a real calendar date from 1900 on: "YYYY-MM-DD", "YYYY-M-D",
// "YYYYMMDD", "today", "tomorrow", a weekday ("monday" or "mon": the next
// such day, today included), or "+N" days and weeks from today ("+3d",
// "+2w"). Letters in any case. Relative dates count from today (the
// program's clock), or from Today when given.
std::optional<TDateTime> ParseDueDate(std::string_view text);
std::optional<TDateTime> ParseDueDateFrom(std::string_view text, TDateTime Today);
// An alert time of day: "9", "9:15", "21:30" on a 24-hour clock, or with
// "am"/"pm" ("9am", "9:15pm", "12pm" is noon). 00:00 is refused: a stored
// alert time of midnight is the value 0, which means "no alert".
std::optional<TDateTime> ParseAlertTime(std::string_view text);
// A whole number from 0 to 9, the range the desktop editor offers.
std::optional<int> ParsePriority(std::string_view text);

// The message for a title that passes the checks of every program
// (CheckTaskTitle) but whose file or directory name would be longer than the
// file system can store.
std::string TaskTitleTooLongToStore(const std::string& taskDataPath);
std::string TaskClassTitleTooLongToStore(const std::string& taskDataPath);

// The formats (FormatDateTime's tokens) ottodo shows dates in.
inline constexpr std::string_view DueDateFormat = "yyyy-mm-dd";
inline constexpr std::string_view AlertTimeFormat = "hh:nn";
inline constexpr std::string_view StampFormat = "yyyy-mm-dd hh:nn";

std::string FormatDueDate(TDateTime date);   // "YYYY-MM-DD", "" for 0
std::string FormatAlertTime(TDateTime time); // "HH:MM", "" for 0
std::string FormatStamp(TDateTime dt);       // "YYYY-MM-DD HH:MM", "" for 0

} // namespace ot::cli
