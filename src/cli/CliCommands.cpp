#include "cli/CliCommands.h"

#include "app/OtSettingFile.h"
#include "cli/CliFormat.h"
#include "cli/CliTree.h"
#include "cli/CliValues.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "common/TreeLock.h"
#include "common/Version.h"
#include "repository/OtTaskExchange.h"
#include "repository/OtTaskRepository.h"
#include "repository/OtTaskTrash.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtTaskDataCheckUtility.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>

namespace ot::cli {

namespace {

namespace fs = std::filesystem;

void PrintJson(std::ostream& out, const TJson& j) {
    WriteJson(out, j, 2);
    out << "\n";
}

std::string JoinWords(const std::vector<std::string>& words) {
    std::string r;
    for (std::size_t i = 0; i < words.size(); ++i)
        r += (i ? " " : "") + words[i];
    return r;
}

TCommandError Usage(const std::string& message) {
    return TCommandError(message, ExitUsage);
}

// The values of --priority, --due, --alert, --remarks and --title, checked.
struct TItemValues {
    std::optional<std::string> Title;
    std::optional<int> Priority;
    std::optional<TDateTime> Due;   // 0: remove
    std::optional<TDateTime> Alert; // 0: remove
    std::optional<std::string> Remarks;

    bool Any() const { return Title || Priority || Due || Alert || Remarks; }
};

TItemValues ReadItemValues(const TParsedCommandLine& cmd) {
    TItemValues v;
    if (auto t = cmd.Value("title")) {
        if (const TTitleProblem problem = CheckTaskTitle(*t))
            throw Usage(problem.Text());
        v.Title = *t;
    }
    if (auto p = cmd.Value("priority")) {
        v.Priority = ParsePriority(*p);
        if (!v.Priority)
            throw Usage("invalid priority \"" + *p + "\": give a whole number from 0 to 9");
    }
    if (auto d = cmd.Value("due")) {
        v.Due = IsNoneValue(*d) ? std::optional<TDateTime>(0) : ParseDueDate(*d);
        if (!v.Due)
            throw Usage("invalid date \"" + *d +
                        "\": give YYYY-MM-DD (a date from 1900 on), today, tomorrow, a weekday "
                        "or +Nd / +Nw");
    }
    if (auto a = cmd.Value("alert")) {
        v.Alert = IsNoneValue(*a) ? std::optional<TDateTime>(0) : ParseAlertTime(*a);
        if (!v.Alert)
            throw Usage("invalid alert time \"" + *a +
                        "\": give H, H:MM (24-hour clock, 00:01 to 23:59) or H[:MM]am/pm");
    }
    v.Remarks = cmd.Value("remarks");
    return v;
}

// An alert time is a time on the due day: there is none without a due date,
// and removing the due date removes it too (as the desktop editor does).
void ApplyDates(TOtTaskItem& item, const TItemValues& v) {
    TDateTime due = v.Due ? *v.Due : item.ExpirationDate();
    TDateTime alert = v.Alert ? *v.Alert : item.AlertTime();
    if (due == 0) {
        if (v.Alert && *v.Alert != 0)
            throw Usage("an alert time needs a due date (--due YYYY-MM-DD)");
        alert = 0;
    }
    item.SetExpirationDate(due);
    item.SetAlertTime(alert);
}

// ---- the commands ----------------------------------------------------------

int CmdLists(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    if (cmd.Has("json")) {
        TJson arr = TJson::array();
        for (const auto& c : tree.Classes())
            arr.push_back(ListToJson(*c));
        PrintJson(io.Out, arr);
    } else {
        WriteListsTable(io.Out, tree.Classes());
    }
    return ExitOk;
}

int CmdAddList(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const std::string title = Trim(JoinWords(cmd.Args));
    if (const TTitleProblem problem = CheckTaskClassTitle(title))
        throw Usage(problem.Text());
    auto cls = std::make_shared<TOtTaskClass>(tree.FreshID(), title);
    if (!TOtTaskUtility::IsTaskClassStorable(*cls, tree.Paths().TaskDataPath))
        throw Usage(TaskClassTitleTooLongToStore(tree.Paths().TaskDataPath));
    tree.EnsureDefaultList();
    if (const TTaskOpResult r = tree.Operations().AddTaskClass(tree.Classes(), cls); !r)
        throw TCommandError("could not create the task list \"" + title + "\": " + r.Message);
    if (cmd.Has("json"))
        PrintJson(io.Out, ListToJson(*cls));
    else
        io.Out << cls->ID() << "\n";
    return ExitOk;
}

int CmdRmList(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    auto cls = tree.ResolveList(JoinWords(cmd.Args));
    if (const TTaskOpResult r = tree.Operations().DeleteTaskClass(tree.Classes(), cls); !r)
        throw TCommandError("could not delete the task list \"" + cls->Title() +
                            "\": " + r.Message);
    return ExitOk;
}

// Lists are read, written and let go one at a time: the output flows while
// the tree is read, and only one list is held in memory. The text table
// shows no remarks, so it opens no item file.
int CmdList(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const bool json = cmd.Has("json");
    const bool one = !cmd.Args.empty();
    const TOtTaskClassList lists =
        one ? TOtTaskClassList{tree.ResolveList(JoinWords(cmd.Args))} : tree.Classes();
    const std::string& taskData = tree.Paths().TaskDataPath;
    if (json && !one)
        io.Out << "[";
    bool first = true;
    for (const auto& c : lists) {
        TOtTaskUtility::LoadTaskItemList(taskData, c, c->TaskList(), json);
        const TOtTaskItemList items = SortedForDisplay(*c);
        if (json) {
            io.Out << (one ? "" : first ? "\n" : ",\n");
            WriteListWithItemsJson(io.Out, *c, items);
        } else if (one) {
            WriteItemsTable(io.Out, items, "");
        } else {
            io.Out << (first ? "" : "\n") << c->Title() << " [" << c->ID() << "]\n";
            WriteItemsTable(io.Out, items, "  ");
        }
        first = false;
        c->TaskList().clear();
    }
    if (json)
        io.Out << (one ? "\n" : first ? "]\n" : "\n]\n");
    return ExitOk;
}

// The items of every list whose title or remarks hold the text, without
// regard to the case of Latin letters (other text, Chinese included, as it is); shown list by list
// as "list" shows them, each list read and let go in turn.
int CmdFind(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const std::string needle = ToLowerAscii(JoinWords(cmd.Args));
    if (Trim(needle).empty())
        throw Usage("give the text to find");
    const bool json = cmd.Has("json");
    const std::string& taskData = tree.Paths().TaskDataPath;
    if (json)
        io.Out << "[";
    bool first = true;
    int found = 0;
    for (const auto& c : tree.Classes()) {
        TOtTaskUtility::LoadTaskItemList(taskData, c, c->TaskList(), true);
        TOtTaskItemList hits;
        for (const auto& item : SortedForDisplay(*c))
            if (ToLowerAscii(item->Title()).find(needle) != std::string::npos ||
                ToLowerAscii(item->Remarks()).find(needle) != std::string::npos)
                hits.push_back(item);
        c->TaskList().clear();
        if (hits.empty())
            continue;
        found += static_cast<int>(hits.size());
        if (json) {
            io.Out << (first ? "\n" : ",\n");
            WriteListWithItemsJson(io.Out, *c, hits);
        } else {
            io.Out << (first ? "" : "\n") << c->Title() << " [" << c->ID() << "]\n";
            WriteItemsTable(io.Out, hits, "  ");
        }
        first = false;
    }
    if (json)
        io.Out << (first ? "]\n" : "\n]\n");
    // Nothing found is no failure, but a script can tell it by the status.
    return found > 0 ? ExitOk : ExitFailure;
}

// Every list with its tasks, in the order the pages show them, in one of
// the exchange formats.
int CmdExport(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const std::string name = cmd.Value("format").value_or("json");
    const auto format = ParseExchangeFormat(name);
    if (!format)
        throw Usage("unknown format \"" + name + "\": give json, ics or todotxt");
    const std::string& taskData = tree.Paths().TaskDataPath;
    for (const auto& c : tree.Classes()) {
        TOtTaskUtility::LoadTaskItemList(taskData, c, c->TaskList(), true);
        c->TaskList() = SortedForDisplay(*c);
    }
    io.Out << ExportTasks(tree.Classes(), *format);
    return ExitOk;
}

// Tasks from another program's file, or from an export of this one: each a
// new task (new ID) in the list of its title, made when missing. A task that
// its list holds already (same title, created in the same minute) is passed
// over, so a second import of the same file adds nothing.
int CmdImport(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const std::string& file = cmd.Args[0];
    std::string text;
    if (!ReadWholeFile(file, text))
        throw TCommandError("cannot read \"" + file + "\"");
    TImportSource source;
    try {
        source = ReadImport(text);
    } catch (const TExchangeError& e) {
        throw TCommandError(e.what());
    }
    // As any first change, the import makes the default list of an empty tree.
    if (!source.Tasks.empty())
        tree.EnsureDefaultList();
    // Tasks that name no list go where "add" puts them.
    const TImportReport report = ImportTasks(
        tree.Operations(), tree.Classes(), source, [&] { return tree.DefaultList(); }, false);
    const int imported = report.Imported;
    const auto& into = report.Into;
    const auto& skipped = report.Skipped;
    io.Out << "Read " << source.Tasks.size() + source.Skipped.size() << " task(s) as "
           << source.Format << ": imported " << imported << " into " << into.size()
           << " list(s), skipped " << skipped.size() << (skipped.empty() ? ".\n" : ":\n");
    for (const auto& s : skipped)
        io.Out << "  " << s.Text() << "\n";
    return ExitOk;
}

// The tasks deleted in the last days, newest first.
int CmdTrash(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const auto kept = TOtTaskTrash(tree.Paths()).List();
    if (cmd.Has("json")) {
        TJson arr = TJson::array();
        for (const auto& t : kept) {
            TJson j = ItemToJson(*t.Item);
            j["deleted"] = FormatStamp(t.Deleted);
            j["list"] = t.Class->Title();
            j["listId"] = t.Class->ID();
            arr.push_back(std::move(j));
        }
        PrintJson(io.Out, arr);
        return ExitOk;
    }
    if (kept.empty()) {
        io.Out << "No task was deleted in the last " << TOtTaskTrash::KeepDays << " days.\n";
        return ExitOk;
    }
    io.Out << "DELETED           ID            LIST / TITLE\n";
    for (const auto& t : kept)
        io.Out << FormatStamp(t.Deleted) << "  " << t.Item->ID() << "  " << t.Class->Title()
               << " / " << t.Item->Title() << "\n";
    return ExitOk;
}

// Brings a deleted task back as a new task: named by its ID, or by the start
// of the ID (at least four characters) that no other kept task shares.
int CmdRestore(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const std::string& id = cmd.Args[0];
    const auto kept = TOtTaskTrash(tree.Paths()).List();
    std::vector<const TTrashedTask*> matches;
    for (const auto& t : kept)
        if (t.Item->ID() == id)
            matches.push_back(&t);
    if (matches.empty() && id.size() >= TTaskTree::MinIDPrefix) {
        std::vector<std::string> ids;
        for (const auto& t : kept)
            if (t.Item->ID().starts_with(id)) {
                matches.push_back(&t);
                if (std::find(ids.begin(), ids.end(), t.Item->ID()) == ids.end())
                    ids.push_back(t.Item->ID());
            }
        if (ids.size() > 1) {
            std::string which;
            for (const auto* t : matches)
                which += "\n  " + t->Item->ID() + "  " + t->Item->Title();
            throw TCommandError("the task item ID prefix \"" + id +
                                "\" is ambiguous among the deleted tasks:" + which);
        }
    }
    if (matches.empty())
        throw TCommandError("no deleted task with the ID \"" + id +
                            "\" (\"ottodo trash\" lists them)");
    // The newest deletion of that task (the list shows it first).
    TOtTaskItemPtr restored;
    if (const TTaskOpResult r =
            tree.Operations().RestoreTrashedTask(tree.Classes(), *matches.front(), &restored);
        !r)
        throw TCommandError("could not restore the task item \"" + matches.front()->Item->Title() +
                            "\": " + r.Message);
    if (cmd.Has("json"))
        PrintJson(io.Out, ItemToJson(*restored, tree.Paths().TaskDataPath));
    else
        io.Out << restored->ID() << "\n";
    return ExitOk;
}

int CmdAdd(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    std::string title = JoinWords(cmd.Args);
    if (const TTitleProblem problem = CheckTaskTitle(title))
        throw Usage(problem.Text());
    TItemValues v = ReadItemValues(cmd);
    if (v.Alert && *v.Alert != 0 && (!v.Due || *v.Due == 0))
        throw Usage("an alert time needs a due date (--due YYYY-MM-DD)");

    // As a page adds an item: a new item with the default values (fresh ID,
    // priority 5, created now), then the values given.
    auto item = tree.Operations().NewTaskItem(nullptr, title);
    if (v.Priority)
        item->SetPriority(*v.Priority);
    if (v.Remarks)
        item->SetRemarks(*v.Remarks);
    ApplyDates(*item, v);
    if (!TOtTaskUtility::IsTaskItemStorable(*item, tree.Paths().TaskDataPath))
        throw Usage(TaskTitleTooLongToStore(tree.Paths().TaskDataPath));

    // Find the list before anything is written; a tree without lists only
    // knows the default list that is about to be created.
    auto listName = cmd.Value("list");
    if (listName && tree.Classes().empty() && *listName != DefaultListTitle)
        tree.ResolveList(*listName); // raises: unknown list
    tree.EnsureDefaultList();
    TOtTaskClassPtr cls = listName ? tree.ResolveList(*listName) : tree.DefaultList();
    item->SetTaskClass(cls);
    if (const TTaskOpResult r = tree.Operations().AddTaskItem(item); !r)
        throw TCommandError("could not write the task item \"" + item->Title() +
                            "\": " + r.Message);
    if (cmd.Has("json"))
        PrintJson(io.Out, ItemToJson(*item, tree.Paths().TaskDataPath));
    else
        io.Out << item->ID() << "\n";
    return ExitOk;
}

void Refuse(const TOtTaskItem& item, const TTaskOpResult& r) {
    throw TCommandError("could not save the task item \"" + item.Title() + "\": " + r.Message);
}

// As the check box of a page does it: completing stamps the finish time,
// reopening clears it.
int CmdDone(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree, bool completed) {
    auto item = tree.FindItem(cmd.Args[0]);
    if (const TTaskOpResult r = tree.Operations().CompleteTaskItem(item, completed); !r)
        Refuse(*item, r);
    return ExitOk;
}

int CmdEdit(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    TItemValues v = ReadItemValues(cmd);
    auto moveTo = cmd.Value("move-to");
    if (!v.Any() && !moveTo)
        throw Usage("nothing to change: give --title, --priority, --due, --alert, --remarks or "
                    "--move-to");
    auto item = tree.FindItem(cmd.Args[0]);
    TOtTaskClassPtr target = moveTo ? tree.ResolveList(*moveTo) : nullptr;

    const TTaskItemState before(*item);
    if (v.Title)
        item->SetTitle(*v.Title);
    if (v.Priority)
        item->SetPriority(*v.Priority);
    if (v.Remarks)
        item->SetRemarks(*v.Remarks);
    ApplyDates(*item, v);
    if (target)
        item->SetTaskClass(target);

    if (!TOtTaskUtility::IsTaskItemStorable(*item, tree.Paths().TaskDataPath))
        throw Usage(TaskTitleTooLongToStore(tree.Paths().TaskDataPath));
    if (const TTaskOpResult r = tree.Operations().StoreTaskItem(item, before); !r)
        Refuse(*item, r);
    if (cmd.Has("json"))
        PrintJson(io.Out, ItemToJson(*item, tree.Paths().TaskDataPath));
    else
        io.Out << item->ID() << "\n";
    return ExitOk;
}

int CmdRm(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    auto item = tree.FindItem(cmd.Args[0]);
    if (const TTaskOpResult r = tree.Operations().DeleteTaskItem(item); !r)
        throw TCommandError("could not delete the task item \"" + item->Title() +
                            "\": " + r.Message);
    return ExitOk;
}

int CmdShow(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    auto item = tree.FindItem(cmd.Args[0]);
    if (cmd.Has("json"))
        PrintJson(io.Out, ItemToJson(*item, tree.Paths().TaskDataPath));
    else
        WriteItemDetails(io.Out, *item, tree.Paths().TaskDataPath);
    return ExitOk;
}

int CmdCheck(const TParsedCommandLine& cmd, TCliIO& io, const TAppPaths& paths) {
    TOtTaskDataCheck check(paths);
    check.DoDataCheck();
    if (cmd.Has("json")) {
        TJson arr = TJson::array();
        for (const auto& line : check.Logs())
            arr.push_back(line);
        PrintJson(io.Out, arr);
    } else {
        for (const auto& line : check.Logs())
            io.Out << line << "\n";
    }
    return ExitOk;
}

// As the settings dialog removes an account: the token file goes and the
// account name is emptied.
int CmdLogout(TCliIO& io, const TAppPaths& paths) {
    std::error_code ec;
    if (!fs::exists(paths.AuthFileName, ec)) {
        io.Err << "ottodo: no cloud account is bound\n";
        return ExitOk;
    }
    if (!fs::remove(paths.AuthFileName, ec))
        throw TCommandError("cannot remove \"" + paths.AuthFileName + "\": " + ec.message());
    TOtSettingFile settings(paths.SettingFileName);
    if (!settings.WriteString("KuaipanAccount", ""))
        throw TCommandError("Failed to save settings!");
    return ExitOk;
}

// ---- set-up ----------------------------------------------------------------

// --dir names a program directory whose own layout is used, as in a portable
// installation; without it the data is the one the desktop program beside
// this one uses (portable or the user's own, TAppPaths::ForProgram).
TAppPaths ProgramDirectory(const TParsedCommandLine& cmd) {
    if (!cmd.Dir) {
        // ottodo-cloud may live in libexec; ottodo names its own directory.
        const char* own = std::getenv("OTTODO_PROGRAM_DIR");
        return TAppPaths::ForProgram(own && own[0] == '/' ? std::string(own) : ExecutableDir());
    }
    const std::string& dir = *cmd.Dir;
    if (dir.empty())
        throw Usage("--dir needs a directory");
    std::error_code ec;
    fs::path p = fs::absolute(dir, ec);
    if (ec)
        throw TCommandError("cannot use the directory \"" + dir + "\": " + ec.message());
    return TAppPaths::FromProgramDir(p.lexically_normal().string());
}

// The desktop program refuses to start without its queue database; so does
// every command here, before anything is written.
void CheckDatabase(const TAppPaths& paths) {
    const std::string& db = paths.DBFileName;
    std::error_code ec;
    if (!fs::exists(db, ec))
        throw TCommandError(Format(
            "The database file \"%s\" is missing, the program will be terminated!", db.c_str()));
    try {
        TOtSyncQueueDBUtility conn(db);
        conn.GetSyncQueueItem("");
    } catch (const std::exception& e) {
        throw TCommandError(
            Format("The database file \"%s\" cannot be used, the program will be terminated!",
                   db.c_str()) +
            "\nottodo: " + e.what());
    }
}

// What a command reads of the tree: list names to pick a list, item names to
// find an item (whose file alone is then read).
TTaskLoadDepth LoadDepthOf(const std::string& command) {
    if (command == "add" || command == "addlist" || command == "rmlist" || command == "list" ||
        command == "find" || command == "trash" || command == "restore" || command == "export" ||
        command == "import")
        return TTaskLoadDepth::tldClasses;
    return TTaskLoadDepth::tldItemNames;
}

} // namespace

std::string VersionText(const TParsedCommandLine& cmd) {
    const TAppPaths paths = ProgramDirectory(cmd);
    return std::string("ottodo ") + ProgramVersion() + "\n" + "data: " + paths.ModeName() + ", " +
           paths.DataRoot + "\n";
}

int RunCommand(const TParsedCommandLine& cmd, TCliIO& io, const TCloudCommandRunner& runCloud) {
    // The program directory's paths, built once and handed to everything
    // that works in it.
    const TAppPaths paths = ProgramDirectory(cmd);
    std::string prepareError;
    if (!paths.PrepareDataRoot(&prepareError))
        io.Err << "ottodo: " << prepareError << "\n";
    CheckDatabase(paths);
    const std::string& name = cmd.Command->Name;
    // A command that changes the tree or the queue, and a pass, run one at a
    // time (with the desktop program's passes too); reading needs no turn.
    std::optional<TTreeLock> turn;
    if (name != "lists" && name != "list" && name != "show" && name != "find" && name != "trash" &&
        name != "export" && name != "logout" && name != "login")
        turn.emplace(paths.LockFileName, [&io] {
            io.Err << "ottodo: waiting for a synchronization pass or another change to finish ..."
                   << std::endl;
        });
    if (name == "check")
        return CmdCheck(cmd, io, paths);
    if (name == "logout")
        return CmdLogout(io, paths);
    if (name == "login" || name == "sync") {
        if (!runCloud)
            throw TCommandError("the command \"" + name + "\" is not available");
        return runCloud(cmd, io, paths);
    }

    TTaskTree tree{TOtTaskRepository(paths)};
    tree.Load(LoadDepthOf(name));
    if (name == "lists")
        return CmdLists(cmd, io, tree);
    if (name == "addlist")
        return CmdAddList(cmd, io, tree);
    if (name == "rmlist")
        return CmdRmList(cmd, io, tree);
    if (name == "list")
        return CmdList(cmd, io, tree);
    if (name == "add")
        return CmdAdd(cmd, io, tree);
    if (name == "done")
        return CmdDone(cmd, io, tree, true);
    if (name == "undone")
        return CmdDone(cmd, io, tree, false);
    if (name == "edit")
        return CmdEdit(cmd, io, tree);
    if (name == "rm")
        return CmdRm(cmd, io, tree);
    if (name == "show")
        return CmdShow(cmd, io, tree);
    if (name == "find")
        return CmdFind(cmd, io, tree);
    if (name == "trash")
        return CmdTrash(cmd, io, tree);
    if (name == "export")
        return CmdExport(cmd, io, tree);
    if (name == "import")
        return CmdImport(cmd, io, tree);
    if (name == "restore")
        return CmdRestore(cmd, io, tree);
    throw TCommandError("the command \"" + name + "\" is not available");
}

} // namespace ot::cli
