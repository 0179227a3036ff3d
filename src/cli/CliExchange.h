#pragma once
// Tasks taken out of the tree and brought in from other programs.
//
// Export formats:
//   json     this program's own (see the README, "Import and export"): the
//            lists with their tasks, a version field, times in UTC
//   ics      iCalendar, one VTODO per task (libical)
//   todotxt  todo.txt, one line per task
// Import reads any of them, and Taskwarrior's JSON export; the format is
// told from the text. What is read becomes a list of tasks to add, and a list
// of what was passed over and why.

#include "common/DateTime.h"
#include "tasks/OtTask.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ot::cli {

enum class TExchangeFormat { Json, ICalendar, TodoTxt };

// "json", "ics" (or "ical"), "todotxt".
std::optional<TExchangeFormat> ParseExchangeFormat(std::string_view AName);

// The lists (their items loaded with remarks) in the format.
std::string ExportTasks(const TOtTaskClassList& ALists, TExchangeFormat AFormat);

struct TImportedTask {
    std::string List; // list title; empty: the list the desktop shows first
    std::string Title;
    std::string Remarks;
    bool Completed = false;
    int Priority = 5;
    TDateTime Due = 0;   // a date
    TDateTime Alert = 0; // a time of day on the due date
    TDateTime Created = 0;
    TDateTime Finished = 0;
};

struct TImportSource {
    std::string Format; // what the text was read as
    std::vector<TImportedTask> Tasks;
    std::vector<std::string> Skipped; // "<what>: <why>", one per task passed over
};

// Reads the text of a file in any of the formats. Raises TCommandError for a
// text that none of them reads.
TImportSource ReadImport(std::string_view AText);

} // namespace ot::cli
