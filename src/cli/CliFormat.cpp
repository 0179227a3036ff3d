#include "cli/CliFormat.h"

#include "cli/CliValues.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <charconv>
#include <ostream>

namespace ot::cli {

namespace {

// The length of the valid UTF-8 sequence starting at s[i] (a byte of 0x80 or
// more), or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto at = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi)
        return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return n;
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
    std::string text = ListToJson(list).dump(-1, ' ', false, TJson::error_handler_t::replace);
    text.pop_back(); // the closing brace: the items follow
    text += ",\"items\":[";
    const char* separator = "\n";
    for (const auto& item : sortedItems) {
        text += separator;
        separator = ",\n";
        AppendItemJson(text, *item);
        // Written in pieces, so neither a list nor the output is held whole.
        if (text.size() >= 64 * 1024) {
            out << text;
            text.clear();
        }
    }
    text += sortedItems.empty() ? "]}" : "\n]}";
    out << text;
}

TJson ItemToJson(const TOtTaskItem& item, const std::string& taskDataPath) {
    TJson j = ItemToJson(item);
    j["path"] = taskDataPath + item.Path();
    return j;
}

TJson ItemToJson(const TOtTaskItem& item) {
    std::string text;
    AppendItemJson(text, item);
    return TJson::parse(text);
}

void AppendJsonString(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        // Characters that need no escape go over as one run.
        std::size_t run = i;
        while (run < s.size() && static_cast<unsigned char>(s[run]) >= 0x20 &&
               static_cast<unsigned char>(s[run]) < 0x80 && s[run] != '"' && s[run] != '\\')
            ++run;
        out.append(s, i, run - i);
        i = run;
        if (i == s.size())
            break;
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t n = Utf8SequenceLength(s, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD"; // U+FFFD for a byte that is not UTF-8
                ++i;
            } else {
                out.append(s, i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
}

void AppendItemJson(std::string& out, const TOtTaskItem& item) {
    auto name = [&out](const char* name) {
        out += out.back() == '{' ? "\"" : ",\"";
        out += name;
        out += "\":";
    };
    auto field = [&out, &name](const char* fieldName, std::string_view value) {
        name(fieldName);
        AppendJsonString(out, value);
    };
    // The formatted digits need no escape.
    auto dateField = [&out, &name](const char* fieldName, std::string_view format,
                                   TDateTime value) {
        name(fieldName);
        if (value == 0) {
            out += "null";
            return;
        }
        out += '"';
        AppendFormattedDateTime(out, format, value);
        out += '"';
    };
    const TOtTaskClassPtr cls = item.TaskClass();
    out += '{';
    field("id", item.ID());
    field("listId", cls ? std::string_view(cls->ID()) : std::string_view());
    field("list", cls ? std::string_view(cls->Title()) : std::string_view());
    field("title", item.Title());
    field("status", TaskStatusToStr(item.Status()));
    out += item.Status() != tsNotCompleted ? ",\"completed\":true" : ",\"completed\":false";
    name("priority");
    char digits[16];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, item.Priority()).ptr);
    dateField("due", DueDateFormat, item.ExpirationDate());
    dateField("alert", AlertTimeFormat, item.AlertTime());
    dateField("created", StampFormat, item.CreateDateTime());
    dateField("finished", StampFormat, item.FinishDateTime());
    field("remarks", item.Remarks());
    // The name the file has on disk, which a hand-made file keeps.
    if (item.DiskFileName().empty())
        field("fileName", item.FileName());
    else
        field("fileName", item.DiskFileName());
    out.insert(out.size() - 1, ".tsk"); // inside the closing quote
    out += '}';
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
