#pragma once
// How ottodo shows task lists and items: aligned text for people, JSON (member
// order kept) for scripts.

#include "tasks/OtTask.h"

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <string>
#include <string_view>

namespace ot::cli {

using TJson = nlohmann::ordered_json;

// "open", "done" or "cleared".
std::string StatusWord(TTaskStatus status);

TJson ListToJson(const TOtTaskClass& list);
// An item as a list shows it: every field and its file name, without the
// absolute path (the same prefix on every item; dirName and fileName name
// the file below the task data directory).
TJson ItemToJson(const TOtTaskItem& item);
// Appends the JSON text of ItemToJson(item), written directly: a list writes
// thousands. A byte sequence that is not UTF-8 becomes U+FFFD.
void AppendItemJson(std::string& out, const TOtTaskItem& item);
// Appends s as a JSON string.
void AppendJsonString(std::string& out, std::string_view s);
// A single item (show, add, edit): with "path", the file to open.
TJson ItemToJson(const TOtTaskItem& item, const std::string& taskDataPath);
// Writes JSON as scripts read it; a title that is not UTF-8 is shown
// replaced rather than failing the whole output.
void WriteJson(std::ostream& out, const TJson& j, int indent);
// The list object with its "items" array, written item by item as it is
// produced (one item a line), without building the document first.
void WriteListWithItemsJson(std::ostream& out, const TOtTaskClass& list,
                            const TOtTaskItemList& sortedItems);

// ID, number of items and title of every list.
void WriteListsTable(std::ostream& out, const TOtTaskClassList& lists);
// ID, status, priority, due date, alert time, title; a header line first.
void WriteItemsTable(std::ostream& out, const TOtTaskItemList& items, const std::string& indent);
// Every field of one item, then its remarks.
void WriteItemDetails(std::ostream& out, const TOtTaskItem& item, const std::string& taskDataPath);

// The items of a list in the order the desktop pages show them: highest
// priority first, of equal priorities the newer first.
TOtTaskItemList SortedForDisplay(const TOtTaskClass& list);

} // namespace ot::cli
