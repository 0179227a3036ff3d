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
#include "repository/OtTaskOperations.h"
#include "tasks/OtTask.h"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

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

// A task passed over, and why: Why is an English text (a translation key)
// whose "%s" or "%d" stands for Arg; Detail, when there is one, is what an
// operation said.
struct TSkippedTask {
    // Stands for the title of a task that has none.
    static constexpr const char* kNoTitle = "(no title)";
    std::string Task; // its title; empty for a count of things (events)
    std::string Why;
    std::string Arg;
    std::string Detail;
    // "<task>: <why>[: <detail>]" in English.
    std::string Text() const;
};

struct TImportSource {
    std::string Format; // what the text was read as
    std::vector<TImportedTask> Tasks;
    std::vector<TSkippedTask> Skipped; // one per task passed over
};

// A text that no format reads.
class TExchangeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the text of a file in any of the formats. Raises TExchangeError for
// a text that none of them reads.
TImportSource ReadImport(std::string_view AText);

struct TImportReport {
    int Imported = 0;
    std::vector<TOtTaskClassPtr> Into; // the lists that took tasks
    std::vector<TOtTaskClassPtr> Made; // lists made for the import
    std::vector<TSkippedTask> Skipped; // what was passed over and why
};

// Adds what was read to the lists: each task a new one (new ID) in the list
// of its title, made when missing, or in AFallback() when it names none.
// A task its list holds already (same title, created in the same minute) is
// passed over, so a second import of the same file adds nothing. Unless
// AItemsLoaded (the window's lists hold their items), the lists it looks
// into get their items loaded from disk first.
TImportReport ImportTasks(const TOtTaskOperations& AOperations, TOtTaskClassList& ALists,
                          const TImportSource& ASource,
                          const std::function<TOtTaskClassPtr()>& AFallback, bool AItemsLoaded);

} // namespace ot
