#pragma once
// Dates and times as people type them: on the command line, and in the
// files of other programs that are imported.

#include "common/DateTime.h"

#include <optional>
#include <string>
#include <string_view>

namespace ot {

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

// The same values written back (FormatDateTime's tokens).
inline constexpr std::string_view DueDateFormat = "yyyy-mm-dd";
inline constexpr std::string_view AlertTimeFormat = "hh:nn";
std::string FormatDueDate(TDateTime date);   // "YYYY-MM-DD", "" for 0
std::string FormatAlertTime(TDateTime time); // "HH:MM", "" for 0

} // namespace ot
