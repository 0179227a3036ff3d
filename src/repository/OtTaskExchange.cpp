#include "repository/OtTaskExchange.h"

#include "common/Clock.h"
#include "common/DateInput.h"
#include "common/Text.h"
#include "tasks/OtTaskUtility.h"

#include <libical/ical.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace ot {

namespace {

using Json = nlohmann::json;
// Written with its members in the order given (format and version first).
using OrderedJson = nlohmann::ordered_json;

constexpr int kJsonVersion = 1;
constexpr const char* kJsonFormatName = "ottodo-tasks";

// ---- times ------------------------------------------------------------------

std::int64_t TimeGm(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<std::int64_t>(timegm(&tm));
}

// A local date-time as UTC, "YYYY-MM-DDTHH:MM:SSZ"; empty for 0.
std::string UtcText(TDateTime local) {
    if (local == 0)
        return {};
    const std::time_t t = static_cast<std::time_t>(LocalDateTimeToUnix(local));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// "YYYY-MM-DDTHH:MM:SSZ" or Taskwarrior's "YYYYMMDDTHHMMSSZ" as a local
// date-time; nothing for another text.
std::optional<TDateTime> FromUtcText(std::string_view s) {
    std::string digits;
    for (char c : s)
        if (c >= '0' && c <= '9')
            digits += c;
    if (digits.size() != 14 || s.empty() || s.back() != 'Z')
        return std::nullopt;
    const auto p = ParseCompactDateTime(digits);
    if (!p)
        return std::nullopt;
    return UnixToLocalDateTime(TimeGm(p->Year, p->Month, p->Day, p->Hour, p->Minute, p->Second));
}

std::string OrEmpty(const Json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// ---- our own JSON -------------------------------------------------------------

std::string ExportJson(const TOtTaskClassList& lists) {
    OrderedJson root{{"format", kJsonFormatName},
                     {"version", kJsonVersion},
                     {"exported", UtcText(Now())},
                     {"lists", OrderedJson::array()}};
    for (const auto& c : lists) {
        OrderedJson list{{"id", c->ID()}, {"title", c->Title()}, {"tasks", OrderedJson::array()}};
        for (const auto& i : c->TaskList()) {
            OrderedJson t{
                {"id", i->ID()},
                {"title", i->Title()},
                {"completed", i->Status() != tsNotCompleted},
                {"priority", i->Priority()},
                {"due", i->ExpirationDate() ? OrderedJson(FormatDueDate(i->ExpirationDate()))
                                            : OrderedJson()},
                {"alert",
                 i->AlertTime() ? OrderedJson(FormatAlertTime(i->AlertTime())) : OrderedJson()},
                {"created",
                 i->CreateDateTime() ? OrderedJson(UtcText(i->CreateDateTime())) : OrderedJson()},
                {"finished",
                 i->FinishDateTime() ? OrderedJson(UtcText(i->FinishDateTime())) : OrderedJson()},
                {"remarks", i->Remarks()}};
            list["tasks"].push_back(std::move(t));
        }
        root["lists"].push_back(std::move(list));
    }
    return root.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

void ReadOwnJson(const Json& root, TImportSource& out) {
    out.Format = "ottodo JSON";
    if (!root.contains("version") || !root["version"].is_number_integer() ||
        root["version"].get<int>() > kJsonVersion)
        throw TExchangeError(
            "the file is of a newer version of this format than this program reads");
    for (const auto& list : root.value("lists", Json::array())) {
        const std::string listTitle = OrEmpty(list, "title");
        for (const auto& t : list.value("tasks", Json::array())) {
            TImportedTask task;
            task.List = listTitle;
            task.Title = OrEmpty(t, "title");
            task.Remarks = OrEmpty(t, "remarks");
            task.Completed = t.value("completed", false);
            if (t.contains("priority") && t["priority"].is_number_integer())
                task.Priority = t["priority"].get<int>();
            if (const std::string due = OrEmpty(t, "due"); !due.empty()) {
                const auto d = ParseDueDateFrom(due, 0);
                if (!d || due.size() != 10) {
                    out.Skipped.push_back({task.Title, "the due date \"%s\" is no date", due, {}});
                    continue;
                }
                task.Due = *d;
            }
            if (const std::string alert = OrEmpty(t, "alert"); !alert.empty())
                task.Alert = ParseAlertTime(alert).value_or(0);
            task.Created = FromUtcText(OrEmpty(t, "created")).value_or(0);
            task.Finished = FromUtcText(OrEmpty(t, "finished")).value_or(0);
            out.Tasks.push_back(std::move(task));
        }
    }
}

// ---- Taskwarrior's export -----------------------------------------------------------

void ReadTaskwarrior(const Json& root, TImportSource& out) {
    out.Format = "Taskwarrior JSON";
    for (const auto& t : root) {
        if (!t.is_object())
            continue;
        TImportedTask task;
        task.Title = OrEmpty(t, "description");
        const std::string status = OrEmpty(t, "status");
        if (status == "deleted") {
            out.Skipped.push_back({task.Title, "deleted in Taskwarrior", {}, {}});
            continue;
        }
        if (status == "recurring") {
            out.Skipped.push_back(
                {task.Title, "the template of a recurring task (its instances are taken)", {}, {}});
            continue;
        }
        task.List = OrEmpty(t, "project");
        task.Completed = status == "completed";
        const std::string priority = OrEmpty(t, "priority");
        task.Priority = priority == "H" ? 8 : priority == "M" ? 6 : priority == "L" ? 3 : 5;
        if (const auto due = FromUtcText(OrEmpty(t, "due"))) {
            task.Due = DateOf(*due);
            // A time of day on the due date becomes the alert time.
            if (TimeOf(*due) * 24 * 60 >= 1)
                task.Alert = TimeOf(*due);
        }
        task.Created = FromUtcText(OrEmpty(t, "entry")).value_or(0);
        if (task.Completed)
            task.Finished = FromUtcText(OrEmpty(t, "end")).value_or(0);
        std::vector<std::string> notes;
        for (const auto& a : t.value("annotations", Json::array()))
            if (a.is_object())
                notes.push_back(OrEmpty(a, "description"));
        for (std::size_t k = 0; k < notes.size(); ++k)
            task.Remarks += (k ? "\n" : "") + notes[k];
        out.Tasks.push_back(std::move(task));
    }
}

// ---- iCalendar ----------------------------------------------------------------

struct TIcalFree {
    void operator()(icalcomponent* c) const { icalcomponent_free(c); }
};
using TIcal = std::unique_ptr<icalcomponent, TIcalFree>;

icaltimetype IcalUtc(TDateTime local) {
    return icaltime_from_timet_with_zone(static_cast<time_t>(LocalDateTimeToUnix(local)), 0,
                                         icaltimezone_get_utc_timezone());
}

void AddX(icalcomponent* c, const char* name, const std::string& value) {
    icalproperty* p = icalproperty_new_x(value.c_str());
    icalproperty_set_x_name(p, name);
    icalcomponent_add_property(c, p);
}

std::string ExportICalendar(const TOtTaskClassList& lists) {
    TIcal cal(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
    icalcomponent_add_property(cal.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(cal.get(), icalproperty_new_prodid("-//otTodolist//ottodo//EN"));
    const icaltimetype stamp = IcalUtc(Now());
    for (const auto& c : lists)
        for (const auto& i : c->TaskList()) {
            icalcomponent* todo = icalcomponent_new(ICAL_VTODO_COMPONENT);
            icalcomponent_add_property(todo, icalproperty_new_uid((i->ID() + "@ottodo").c_str()));
            icalcomponent_add_property(todo, icalproperty_new_dtstamp(stamp));
            icalcomponent_add_property(todo, icalproperty_new_summary(i->Title().c_str()));
            if (!i->Remarks().empty())
                icalcomponent_add_property(todo,
                                           icalproperty_new_description(i->Remarks().c_str()));
            // 1 is the highest, 9 the lowest; 0 (none) stands for the lowest here.
            icalcomponent_add_property(
                todo, icalproperty_new_priority(i->Priority() > 0 ? 10 - i->Priority() : 9));
            AddX(todo, "X-OTTODO-PRIORITY", std::to_string(i->Priority()));
            icalcomponent_add_property(todo, icalproperty_new_categories(c->Title().c_str()));
            AddX(todo, "X-OTTODO-LIST", c->Title());
            if (i->ExpirationDate() != 0) {
                const auto p = DecodeDateTime(i->ExpirationDate());
                icaltimetype due = icaltime_null_date();
                due.year = p.Year;
                due.month = p.Month;
                due.day = p.Day;
                icalcomponent_add_property(todo, icalproperty_new_due(due));
            }
            if (i->AlertTime() != 0)
                AddX(todo, "X-OTTODO-ALERT", FormatAlertTime(i->AlertTime()));
            const bool done = i->Status() != tsNotCompleted;
            icalcomponent_add_property(
                todo,
                icalproperty_new_status(done ? ICAL_STATUS_COMPLETED : ICAL_STATUS_NEEDSACTION));
            if (done && i->FinishDateTime() != 0)
                icalcomponent_add_property(
                    todo, icalproperty_new_completed(IcalUtc(i->FinishDateTime())));
            if (i->CreateDateTime() != 0)
                icalcomponent_add_property(todo,
                                           icalproperty_new_created(IcalUtc(i->CreateDateTime())));
            icalcomponent_add_component(cal.get(), todo);
        }
    char* text = icalcomponent_as_ical_string_r(cal.get());
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

std::string XValue(icalcomponent* c, const char* name) {
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_X_PROPERTY); p;
         p = icalcomponent_get_next_property(c, ICAL_X_PROPERTY)) {
        const char* n = icalproperty_get_x_name(p);
        if (n && std::string_view(n) == name) {
            const char* v = icalproperty_get_x(p);
            return v ? v : "";
        }
    }
    return {};
}

TDateTime FromIcalTime(icaltimetype t) {
    if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t))
        return 0;
    if (t.is_date) {
        TDateTime d = 0;
        return TryEncodeDate(t.year, t.month, t.day, d) ? d : 0;
    }
    // Floating times are the local clock's; the others carry their zone.
    if (!t.zone && !icaltime_is_utc(t)) {
        TDateTime d = 0;
        DateTimeParts p{t.year, t.month, t.day, t.hour, t.minute, t.second, 0};
        return TryEncodeDateTime(p, d) ? d : 0;
    }
    return UnixToLocalDateTime(icaltime_as_timet_with_zone(t, icaltimezone_get_utc_timezone()));
}

void ReadTodo(icalcomponent* todo, TImportSource& out) {
    TImportedTask task;
    const char* summary = icalcomponent_get_summary(todo);
    task.Title = summary ? summary : "";
    const char* description = icalcomponent_get_description(todo);
    task.Remarks = description ? description : "";
    if (const std::string list = XValue(todo, "X-OTTODO-LIST"); !list.empty()) {
        task.List = list;
    } else if (icalproperty* p = icalcomponent_get_first_property(todo, ICAL_CATEGORIES_PROPERTY)) {
        const char* cat = icalproperty_get_categories(p);
        task.List = cat ? cat : "";
    }
    if (const auto own = ParseInt32(XValue(todo, "X-OTTODO-PRIORITY")); own) {
        task.Priority = *own;
    } else if (icalproperty* p = icalcomponent_get_first_property(todo, ICAL_PRIORITY_PROPERTY)) {
        const int ical = icalproperty_get_priority(p);
        task.Priority = ical >= 1 && ical <= 9 ? 10 - ical : 5;
    }
    if (icalproperty* p = icalcomponent_get_first_property(todo, ICAL_STATUS_PROPERTY)) {
        const icalproperty_status s = icalproperty_get_status(p);
        if (s == ICAL_STATUS_CANCELLED) {
            out.Skipped.push_back({task.Title, "cancelled", {}, {}});
            return;
        }
        task.Completed = s == ICAL_STATUS_COMPLETED;
    }
    if (icalproperty* p = icalcomponent_get_first_property(todo, ICAL_DUE_PROPERTY)) {
        const icaltimetype due = icalproperty_get_due(p);
        const TDateTime local = FromIcalTime(due);
        task.Due = DateOf(local);
        if (!due.is_date && TimeOf(local) * 24 * 60 >= 1)
            task.Alert = TimeOf(local);
    }
    if (const std::string alert = XValue(todo, "X-OTTODO-ALERT"); !alert.empty())
        task.Alert = ParseAlertTime(alert).value_or(task.Alert);
    if (icalproperty* p = icalcomponent_get_first_property(todo, ICAL_CREATED_PROPERTY))
        task.Created = FromIcalTime(icalproperty_get_created(p));
    if (icalproperty* p = icalcomponent_get_first_property(todo, ICAL_COMPLETED_PROPERTY))
        task.Finished = FromIcalTime(icalproperty_get_completed(p));
    out.Tasks.push_back(std::move(task));
}

void ReadICalendar(std::string_view text, TImportSource& out) {
    out.Format = "iCalendar";
    const std::string owned(text);
    TIcal root(icalparser_parse_string(owned.c_str()));
    if (!root)
        throw TExchangeError("the iCalendar text cannot be read");
    if (icalcomponent_isa(root.get()) == ICAL_VTODO_COMPONENT) {
        ReadTodo(root.get(), out);
        return;
    }
    for (icalcomponent* c = icalcomponent_get_first_component(root.get(), ICAL_VTODO_COMPONENT); c;
         c = icalcomponent_get_next_component(root.get(), ICAL_VTODO_COMPONENT))
        ReadTodo(c, out);
    int events = 0;
    for (icalcomponent* c = icalcomponent_get_first_component(root.get(), ICAL_VEVENT_COMPONENT); c;
         c = icalcomponent_get_next_component(root.get(), ICAL_VEVENT_COMPONENT))
        ++events;
    if (events > 0)
        out.Skipped.push_back(
            {{}, "%d event(s): only to-dos (VTODO) are tasks", std::to_string(events), {}});
}

// ---- todo.txt -------------------------------------------------------------------

// Remarks in one token: "%", blanks and control characters as %XX.
std::string NoteToken(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '%' || c <= ' ' || c == 0x7F) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string FromNoteToken(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 &&
            HexDigitValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A list title as one "+project" token: blanks as "_" would not come back,
// so the title travels whole in "ot-list:" as well.
std::string ProjectToken(const std::string& title) {
    std::string out;
    for (char c : title)
        out += c == ' ' ? '_' : c;
    return out;
}

std::string ExportTodoTxt(const TOtTaskClassList& lists) {
    std::string out;
    for (const auto& c : lists)
        for (const auto& i : c->TaskList()) {
            std::string line;
            const bool done = i->Status() != tsNotCompleted;
            // Priority 9 is (A), 0 is (J).
            const std::string letter(
                1, static_cast<char>('A' + (9 - std::clamp(i->Priority(), 0, 9))));
            if (done) {
                line += "x ";
                if (i->FinishDateTime() != 0)
                    line += FormatDueDate(DateOf(i->FinishDateTime())) + " ";
            } else {
                line += "(" + letter + ") ";
            }
            if (i->CreateDateTime() != 0)
                line += FormatDueDate(DateOf(i->CreateDateTime())) + " ";
            line += i->Title();
            line += " +" + ProjectToken(c->Title());
            if (i->ExpirationDate() != 0)
                line += " due:" + FormatDueDate(i->ExpirationDate());
            if (done)
                line += " pri:" + letter;
            if (i->AlertTime() != 0)
                line += " ot-alert:" + FormatAlertTime(i->AlertTime());
            line += " ot-list:" + NoteToken(c->Title());
            if (i->CreateDateTime() != 0)
                line += " ot-created:" + UtcText(i->CreateDateTime());
            if (done && i->FinishDateTime() != 0)
                line += " ot-finished:" + UtcText(i->FinishDateTime());
            if (!i->Remarks().empty())
                line += " ot-note:" + NoteToken(i->Remarks());
            out += line + "\n";
        }
    return out;
}

bool IsDateToken(std::string_view s) {
    return s.size() == 10 && ParseDueDateFrom(s, 0).has_value();
}

void ReadTodoTxt(std::string_view text, TImportSource& out) {
    out.Format = "todo.txt";
    for (const std::string& raw : Split(text, '\n')) {
        std::string line = Trim(raw);
        if (line.empty())
            continue;
        std::vector<std::string> words;
        for (const std::string& w : Split(line, ' '))
            if (!w.empty())
                words.push_back(w);
        TImportedTask task;
        std::size_t at = 0;
        if (at < words.size() && words[at] == "x") {
            task.Completed = true;
            ++at;
            if (at < words.size() && IsDateToken(words[at]))
                task.Finished = *ParseDueDateFrom(words[at++], 0);
        } else if (at < words.size() && words[at].size() == 3 && words[at][0] == '(' &&
                   words[at][2] == ')' && words[at][1] >= 'A' && words[at][1] <= 'Z') {
            task.Priority = std::max(0, 9 - (words[at][1] - 'A'));
            ++at;
        }
        if (at < words.size() && IsDateToken(words[at]))
            task.Created = *ParseDueDateFrom(words[at++], 0);
        std::vector<std::string> title;
        for (; at < words.size(); ++at) {
            const std::string& w = words[at];
            const auto colon = w.find(':');
            const std::string key = colon == std::string::npos ? "" : w.substr(0, colon);
            const std::string value = colon == std::string::npos ? "" : w.substr(colon + 1);
            if (key == "due" && IsDateToken(value)) {
                task.Due = *ParseDueDateFrom(value, 0);
            } else if (key == "pri" && value.size() == 1 && value[0] >= 'A' && value[0] <= 'Z') {
                task.Priority = std::max(0, 9 - (value[0] - 'A'));
            } else if (key == "ot-alert") {
                task.Alert = ParseAlertTime(value).value_or(0);
            } else if (key == "ot-list") {
                task.List = FromNoteToken(value);
            } else if (key == "ot-created") {
                task.Created = FromUtcText(value).value_or(task.Created);
            } else if (key == "ot-finished") {
                task.Finished = FromUtcText(value).value_or(task.Finished);
            } else if (key == "ot-note") {
                task.Remarks = FromNoteToken(value);
            } else {
                title.push_back(w);
            }
        }
        // The list: ours names it whole ("ot-list:") and writes its "+project"
        // last; in another program's line the first "+project" names it.
        // Any other "+word" is part of the title.
        if (!task.List.empty()) {
            const std::string own = "+" + ProjectToken(task.List);
            for (std::size_t k = title.size(); k-- > 0;)
                if (title[k] == own) {
                    title.erase(title.begin() + static_cast<std::ptrdiff_t>(k));
                    break;
                }
        } else {
            for (std::size_t k = 0; k < title.size(); ++k)
                if (title[k].size() > 1 && title[k][0] == '+') {
                    task.List = title[k].substr(1);
                    title.erase(title.begin() + static_cast<std::ptrdiff_t>(k));
                    break;
                }
        }
        for (std::size_t k = 0; k < title.size(); ++k)
            task.Title += (k ? " " : "") + title[k];
        out.Tasks.push_back(std::move(task));
    }
}

} // namespace

std::optional<TExchangeFormat> ParseExchangeFormat(std::string_view AName) {
    const std::string n = ToLowerAscii(AName);
    if (n == "json")
        return TExchangeFormat::Json;
    if (n == "ics" || n == "ical" || n == "icalendar")
        return TExchangeFormat::ICalendar;
    if (n == "todotxt" || n == "todo.txt")
        return TExchangeFormat::TodoTxt;
    return std::nullopt;
}

std::string ExportTasks(const TOtTaskClassList& ALists, TExchangeFormat AFormat) {
    switch (AFormat) {
    case TExchangeFormat::Json:
        return ExportJson(ALists);
    case TExchangeFormat::ICalendar:
        return ExportICalendar(ALists);
    case TExchangeFormat::TodoTxt:
        return ExportTodoTxt(ALists);
    }
    return {};
}

TImportSource ReadImport(std::string_view AText) {
    TImportSource out;
    std::string_view text = AText;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const std::string head = Trim(text.substr(0, 64));
    if (StartsWith(head, "BEGIN:VCALENDAR") || StartsWith(head, "BEGIN:VTODO")) {
        ReadICalendar(text, out);
        return out;
    }
    if (StartsWith(head, "{") || StartsWith(head, "[")) {
        Json root = Json::parse(text, nullptr, false);
        if (root.is_discarded())
            throw TExchangeError("the file looks like JSON but cannot be read as JSON");
        if (root.is_object() && OrEmpty(root, "format") == kJsonFormatName)
            ReadOwnJson(root, out);
        else if (root.is_array())
            ReadTaskwarrior(root, out);
        else
            throw TExchangeError("the JSON file is neither this program's export nor "
                                 "Taskwarrior's");
        return out;
    }
    ReadTodoTxt(text, out);
    return out;
}

std::string TSkippedTask::Text() const {
    std::string why = Why;
    for (const char* mark : {"%s", "%d"})
        if (const auto at = why.find(mark); at != std::string::npos) {
            why.replace(at, 2, Arg);
            break;
        }
    if (!Detail.empty())
        why += (why.empty() ? "" : ": ") + Detail;
    return Task.empty() ? why : Task + ": " + why;
}

TImportReport ImportTasks(const TOtTaskOperations& AOperations, TOtTaskClassList& ALists,
                          const TImportSource& ASource,
                          const std::function<TOtTaskClassPtr()>& AFallback, bool AItemsLoaded) {
    TImportReport report;
    report.Skipped = ASource.Skipped;
    const std::string& taskData = AOperations.Paths().TaskDataPath;
    std::vector<TOtTaskClassPtr> read; // lists whose items are loaded
    const auto loaded = [&](const TOtTaskClassPtr& cls) {
        if (!AItemsLoaded && cls && std::find(read.begin(), read.end(), cls) == read.end()) {
            TOtTaskUtility::LoadTaskItemList(taskData, cls, cls->TaskList(), false);
            read.push_back(cls);
        }
        return cls;
    };
    // Tasks that name no list go to one list, decided once.
    TOtTaskClassPtr fallback;
    bool fellBack = false;
    const auto listFor = [&](const std::string& title, TSkippedTask& why) -> TOtTaskClassPtr {
        if (title.empty()) {
            if (!fellBack) {
                fallback = AFallback ? AFallback() : nullptr;
                fellBack = true;
            }
            if (!fallback)
                why.Why = "there is no list to put it in";
            return loaded(fallback);
        }
        for (const auto& c : ALists)
            if (c->Title() == title)
                return loaded(c);
        if (const TTitleProblem problem = CheckTaskClassTitle(title)) {
            why = {{}, "the title of its list \"%s\" cannot be used", title, problem.Text()};
            return nullptr;
        }
        TOtTaskClassPtr cls;
        if (const TTaskOpResult r = AOperations.AddTaskClass(ALists, title, &cls); !r) {
            why = {{}, "its list \"%s\" could not be made", title, r.Message};
            return nullptr;
        }
        report.Made.push_back(cls);
        return loaded(cls);
    };
    const auto minute = [](TDateTime t) { return FormatDateTime("yyyymmddhhnn", t); };
    for (const TImportedTask& t : ASource.Tasks) {
        const auto skip = [&](std::string AWhy, std::string AArg = {}, std::string ADetail = {}) {
            report.Skipped.push_back(
                {t.Title.empty() ? std::string(TSkippedTask::kNoTitle) : t.Title, std::move(AWhy),
                 std::move(AArg), std::move(ADetail)});
        };
        if (const TTitleProblem problem = CheckTaskTitle(t.Title)) {
            skip(problem.Key, problem.Limit != 0 ? std::to_string(problem.Limit) : std::string());
            continue;
        }
        TSkippedTask why;
        const TOtTaskClassPtr cls = listFor(t.List, why);
        if (!cls) {
            skip(why.Why, why.Arg, why.Detail);
            continue;
        }
        const TDateTime created = t.Created != 0 ? t.Created : Now();
        // A task that names no list is there already when any list holds it.
        TOtTaskClassPtr holder;
        const std::string title = Trim(t.Title); // as it is stored
        for (const auto& c : t.List.empty() ? ALists : TOtTaskClassList{cls})
            for (const auto& i : loaded(c)->TaskList())
                if (!holder && i->Title() == title &&
                    minute(i->CreateDateTime()) == minute(created))
                    holder = c;
        if (holder) {
            skip("already in the list \"%s\"", holder->Title());
            continue;
        }
        TOtTaskItemPtr item;
        try {
            item = AOperations.NewTaskItem(cls, t.Title);
        } catch (const std::exception& e) {
            skip({}, {}, e.what());
            continue;
        }
        item->SetRemarks(t.Remarks);
        item->SetStatus(t.Completed ? tsCompleted : tsNotCompleted);
        item->SetExpirationDate(t.Due);
        item->SetAlertTime(t.Due != 0 ? t.Alert : 0);
        item->SetPriority(std::clamp(t.Priority, 0, 9));
        item->SetCreateDateTime(created);
        item->SetFinishDateTime(t.Completed ? (t.Finished != 0 ? t.Finished : Now()) : 0);
        item->ResetDirty();
        if (!TOtTaskUtility::IsTaskItemStorable(*item, taskData)) {
            skip("The task title is too long to be stored.");
            continue;
        }
        if (const TTaskOpResult r = AOperations.AddTaskItem(item); !r) {
            skip({}, {}, r.Message);
            continue;
        }
        ++report.Imported;
        if (std::find(report.Into.begin(), report.Into.end(), cls) == report.Into.end())
            report.Into.push_back(cls);
    }
    return report;
}

} // namespace ot
