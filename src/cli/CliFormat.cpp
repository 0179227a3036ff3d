#include "cli/CliFormat.h"

#include "cli/CliValues.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <ostream>

namespace ot::cli {

namespace {

TJson DateOrNull(const std::string& text) {
    return text.empty() ? TJson(nullptr) : TJson(text);
}

std::string Pad(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string PadLeft(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

std::string Or(const std::string& s, const char* placeholder) {
    return s.empty() ? placeholder : s;
}

} // namespace

std::string StatusWord(TTaskStatus status) {
    switch (status) {
    case tsCompleted:
        return "done";
    case tsCleared:
        return "cleared";
    default:
        return "open";
    }
}

TJson ListToJson(const TOtTaskClass& list) {
    TJson j;
    j["id"] = list.ID();
    j["title"] = list.Title();
    j["count"] = list.TaskList().size();
    j["dirName"] = list.DirName();
    return j;
}

void WriteJson(std::ostream& out, const TJson& j, int indent) {
    out << j.dump(indent, ' ', false, TJson::error_handler_t::replace);
}

void WriteListWithItemsJson(std::ostream& out, const TOtTaskClass& list,
                            const TOtTaskItemList& sortedItems) {
    std::string head = ListToJson(list).dump(-1, ' ', false, TJson::error_handler_t::replace);
    head.pop_back(); // the closing brace: the items follow
    out << head << ",\"items\":[";
    const char* separator = "\n";
    for (const auto& item : sortedItems) {
        out << separator;
        WriteJson(out, ItemToJson(*item), -1);
        separator = ",\n";
    }
    out << (sortedItems.empty() ? "]}" : "\n]}");
}

TJson ItemToJson(const TOtTaskItem& item, const std::string& taskDataPath) {
    TJson j = ItemToJson(item);
    j["path"] = taskDataPath + item.Path();
    return j;
}

TJson ItemToJson(const TOtTaskItem& item) {
    TJson j;
    j["id"] = item.ID();
    auto cls = item.TaskClass();
    j["listId"] = cls ? cls->ID() : std::string();
    j["list"] = cls ? cls->Title() : std::string();
    j["title"] = item.Title();
    j["status"] = TaskStatusToStr(item.Status());
    j["completed"] = item.Status() != tsNotCompleted;
    j["priority"] = item.Priority();
    j["due"] = DateOrNull(FormatDueDate(item.ExpirationDate()));
    j["alert"] = DateOrNull(FormatAlertTime(item.AlertTime()));
    j["created"] = DateOrNull(FormatStamp(item.CreateDateTime()));
    j["finished"] = DateOrNull(FormatStamp(item.FinishDateTime()));
    j["remarks"] = item.Remarks();
    j["fileName"] = item.FileName() + ".tsk";
    return j;
}

void WriteListsTable(std::ostream& out, const TOtTaskClassList& lists) {
    std::size_t idWidth = 2;
    for (const auto& c : lists)
        idWidth = std::max(idWidth, c->ID().size());
    out << Pad("ID", idWidth) << "  ITEMS  TITLE\n";
    for (const auto& c : lists)
        out << Pad(c->ID(), idWidth) << "  " << PadLeft(std::to_string(c->TaskList().size()), 5)
            << "  " << c->Title() << "\n";
}

void WriteItemsTable(std::ostream& out, const TOtTaskItemList& items, const std::string& indent) {
    std::size_t idWidth = 2;
    for (const auto& i : items)
        idWidth = std::max(idWidth, i->ID().size());
    out << indent << Pad("ID", idWidth) << "  STATUS   P  DUE         ALERT  TITLE\n";
    for (const auto& i : items) {
        out << indent << Pad(i->ID(), idWidth) << "  " << Pad(StatusWord(i->Status()), 7) << "  "
            << PadLeft(std::to_string(i->Priority()), 1) << "  "
            << Pad(Or(FormatDueDate(i->ExpirationDate()), "-"), 10) << "  "
            << Pad(Or(FormatAlertTime(i->AlertTime()), "-"), 5) << "  " << i->Title() << "\n";
    }
}

void WriteItemDetails(std::ostream& out, const TOtTaskItem& item, const std::string& taskDataPath) {
    auto cls = item.TaskClass();
    out << "ID:        " << item.ID() << "\n";
    out << "List:      " << (cls ? cls->Title() + " [" + cls->ID() + "]" : std::string("-"))
        << "\n";
    out << "Title:     " << item.Title() << "\n";
    out << "Status:    " << StatusWord(item.Status()) << "\n";
    out << "Priority:  " << item.Priority() << "\n";
    out << "Due:       " << Or(FormatDueDate(item.ExpirationDate()), "-") << "\n";
    out << "Alert:     " << Or(FormatAlertTime(item.AlertTime()), "-") << "\n";
    out << "Created:   " << Or(FormatStamp(item.CreateDateTime()), "-") << "\n";
    out << "Finished:  " << Or(FormatStamp(item.FinishDateTime()), "-") << "\n";
    out << "File:      " << taskDataPath + item.Path() << "\n";
    out << "Remarks:\n";
    if (!item.Remarks().empty()) {
        out << item.Remarks();
        if (item.Remarks().back() != '\n')
            out << "\n";
    }
}

TOtTaskItemList SortedForDisplay(const TOtTaskClass& list) {
    TOtTaskItemList items = list.TaskList();
    TOtTaskUtility::SortTaskItemList(items, tsfPriority, soDesc);
    // The pages leave items of equal priority and equal creation minute in no
    // particular order; ordering those by ID makes the output repeatable.
    auto tied = [](const TOtTaskItemPtr& a, const TOtTaskItemPtr& b) {
        return a->Priority() == b->Priority() && a->CreateDateTime() == b->CreateDateTime();
    };
    for (auto first = items.begin(); first != items.end();) {
        auto last = std::next(first);
        while (last != items.end() && tied(*first, *last))
            ++last;
        std::sort(first, last, [](const auto& a, const auto& b) { return a->ID() < b->ID(); });
        first = last;
    }
    return items;
}

} // namespace ot::cli
