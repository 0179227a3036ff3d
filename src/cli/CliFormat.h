#pragma once
// How ottodo shows task lists and items: aligned text for people, JSON (member
// order kept) for scripts.

#include "tasks/OtTask.h"

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <string>

namespace ot::cli {

using TJson = nlohmann::ordered_json;

// "open", "done" or "cleared".
std::string StatusWord(TTaskStatus status);

TJson ListToJson(const TOtTaskClass& list);
// With items: the list object and an "items" array.
TJson ListWithItemsToJson(const TOtTaskClass& list, const TOtTaskItemList& sortedItems,
                          const std::string& taskDataPath);
TJson ItemToJson(const TOtTaskItem& item, const std::string& taskDataPath);

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
