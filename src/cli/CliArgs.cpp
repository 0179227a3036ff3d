#include "cli/CliArgs.h"

#include <algorithm>
#include <sstream>

namespace ot::cli {

namespace {

const TOptionDef kJson{"json", "", "Print machine-readable JSON instead of text."};

const TOptionDef kPriority{"priority", "N",
                           "Priority from 0 (lowest) to 9 (highest); a new item gets 5."};
const TOptionDef kDue{"due", "DATE",
                      "Due date: YYYY-MM-DD (also YYYY-M-D or YYYYMMDD), today,\n"
                      "tomorrow, a weekday (monday or mon: the next one, today\n"
                      "included), or +Nd / +Nw days or weeks from today. \"none\" (or\n"
                      "an empty text) removes it, and the alert time with it."};
const TOptionDef kAlert{"alert", "TIME",
                        "Alert time on the due day: 9, 9:15, 21:30 (24-hour clock), or\n"
                        "9am, 9:15pm; 00:00 is no time. Needs a due date. \"none\" (or an\n"
                        "empty text) removes it."};
const TOptionDef kRemarks{"remarks", "TEXT", "Free notes kept inside the task file."};

std::vector<TCommandDef> BuildCommands() {
    std::vector<TCommandDef> c;
    c.push_back({"lists",
                 "",
                 0,
                 0,
                 "Show every task list with its ID and number of items.",
                 "Shows the task lists in the order the desktop program shows its pages.",
                 {kJson}});
    c.push_back({"addlist",
                 "TITLE",
                 1,
                 -1,
                 "Create a task list.",
                 "Creates a task list. The title may not be empty and may be at most 50\n"
                 "characters long (counted in UTF-16 code units); several words are joined\n"
                 "with one blank. Prints the ID of the new list.",
                 {kJson}});
    c.push_back({"rmlist",
                 "ID|TITLE",
                 1,
                 -1,
                 "Delete a task list with all of its items.",
                 "Deletes a task list and every item in it. The list is named by its ID or by\n"
                 "its title (several words are joined with one blank); a title that several\n"
                 "lists share must be given as an ID.",
                 {}});
    c.push_back({"list",
                 "[LIST]",
                 0,
                 -1,
                 "Show the items of one list, or of every list.",
                 "Shows the items in the order the desktop program shows them (highest\n"
                 "priority first, newer before older): ID, status, priority, due date, alert\n"
                 "time and title. LIST is a list ID or title (several words are joined with\n"
                 "one blank); without it every list is shown.",
                 {kJson}});
    c.push_back({"add",
                 "TITLE",
                 1,
                 -1,
                 "Add a task item.",
                 "Adds a task item. The title may not be empty (blanks alone count as empty)\n"
                 "and may be at most 100 characters long (UTF-16 code units); it is kept as\n"
                 "given, surrounding blanks included; several words are joined with one\n"
                 "blank. Prints the ID of the new item. Without --list the item goes to the\n"
                 "list the desktop program shows first.",
                 {{"list", "LIST", "The list (ID or title) to add the item to."},
                  kPriority,
                  kDue,
                  kAlert,
                  kRemarks,
                  kJson}});
    c.push_back({"done",
                 "ID",
                 1,
                 1,
                 "Mark an item as completed.",
                 "Marks an item as completed and records the time of completion. An item that\n"
                 "is already completed stays as it is.",
                 {}});
    c.push_back({"undone",
                 "ID",
                 1,
                 1,
                 "Mark an item as not completed.",
                 "Marks an item as not completed and clears its time of completion. An item\n"
                 "that is not completed stays as it is.",
                 {}});
    c.push_back({"edit",
                 "ID",
                 1,
                 1,
                 "Change an item.",
                 "Changes the given values of an item; the others stay. Moving an item to\n"
                 "another list gives it a new ID, which is printed.",
                 {{"title", "TITLE", "New title (the same rules as for \"add\")."},
                  kPriority,
                  kDue,
                  kAlert,
                  kRemarks,
                  {"move-to", "LIST", "Move the item to another list (ID or title)."},
                  kJson}});
    c.push_back({"rm", "ID", 1, 1, "Delete an item.", "Deletes an item.", {}});
    c.push_back({"show",
                 "ID",
                 1,
                 1,
                 "Show every field of an item and its remarks.",
                 "Shows every field of an item, the file that holds it and its remarks.",
                 {kJson}});
    c.push_back({"find",
                 "TEXT",
                 1,
                 -1,
                 "Find the items whose title or remarks hold a text.",
                 "Shows, list by list as \"list\" does, the items of every list whose title or\n"
                 "remarks hold TEXT (several words are joined with one blank), Latin letters\n"
                 "in any case. Exits with status 1 when nothing was found.",
                 {kJson}});
    c.push_back({"export",
                 "",
                 0,
                 0,
                 "Write every list with its tasks to standard output.",
                 "Writes every list with its tasks, in the order the desktop program shows\n"
                 "them, to standard output: this program's own JSON (a version field, times in\n"
                 "UTC), iCalendar (one VTODO a task) or todo.txt (one line a task).",
                 {{"format", "FORMAT", "json (the default), ics or todotxt."}}});
    c.push_back({"import",
                 "FILE",
                 1,
                 1,
                 "Add the tasks of a file from another program or an export.",
                 "Adds the tasks of FILE as new tasks, each in the list of its title (made\n"
                 "when missing; without one, the list the desktop program shows first). FILE\n"
                 "may be this program's export (any format), Taskwarrior's \"task export\",\n"
                 "an iCalendar file (its VTODOs) or a todo.txt file; its format is told from\n"
                 "its text. A task its list holds already (the same title, created in the same\n"
                 "minute) is passed over, so importing a file twice adds nothing. Reports what\n"
                 "was taken and what was passed over and why.",
                 {}});
    c.push_back({"trash",
                 "",
                 0,
                 0,
                 "Show the tasks deleted in the last 30 days.",
                 "Shows the tasks deleted in the last 30 days, here or by a synchronization\n"
                 "that applied a deletion made on another computer, newest first: when,\n"
                 "the ID, the list and the title. They are kept outside the task lists and\n"
                 "are never synchronized.",
                 {kJson}});
    c.push_back({"restore",
                 "ID",
                 1,
                 1,
                 "Bring a deleted task back.",
                 "Brings a task shown by \"trash\" back into its list (made anew when it was\n"
                 "deleted too) as a new task with a new ID, which the next synchronization\n"
                 "uploads. ID may be the start of the ID (at least four characters). Prints\n"
                 "the new ID.",
                 {kJson}});
    c.push_back({"check",
                 "",
                 0,
                 0,
                 "Repair the change queue against the task files.",
                 "Runs the data consistency check: every list directory and task file without\n"
                 "a row in the change queue gets one, and every row whose directory or file is\n"
                 "gone is removed (unless it stands for a deletion still to be synchronized).\n"
                 "Prints one line per repair.",
                 {kJson}});
    c.push_back({"sync",
                 "",
                 0,
                 0,
                 "Run one synchronization pass with the cloud.",
                 "Runs one synchronization pass with the bound cloud account and prints its\n"
                 "log lines as they come, then one line with what it pushed, pulled and\n"
                 "deleted and how many errors it counted. Exits with status 1 when the pass\n"
                 "counted errors, could not list the cloud folder, or stopped with an error.",
                 {{"pause", "MS",
                   "Milliseconds to wait after each pushed change, sparing the service on a\n"
                   "long queue (default: the cloud hosts' pause, as the desktop program\n"
                   "waits: 500, or none for otCloudServer; 0 for none)."},
                  {"allow-deletions", "",
                   "Apply the deletions from the cloud that an earlier pass held back because\n"
                   "they would remove most of the synchronized tasks (this pass only)."}}});
    c.push_back({"login",
                 "USER",
                 1,
                 1,
                 "Bind a cloud account.",
                 "Binds a cloud account: logs in with the user name and a password read from\n"
                 "standard input (asked for without echo on a terminal), authorizes this\n"
                 "program and stores the access token. Replaces an account bound before.",
                 {}});
    c.push_back({"logout",
                 "",
                 0,
                 0,
                 "Remove the bound cloud account.",
                 "Removes the stored access token and the account name.",
                 {}});
    c.push_back({"help",
                 "[COMMAND]",
                 0,
                 1,
                 "Show help on the program or on one command.",
                 "Shows help on the program or on one command.",
                 {}});
    return c;
}

const TOptionDef* FindOption(const std::vector<TOptionDef>& options, const std::string& name) {
    for (const auto& o : options)
        if (o.Name == name)
            return &o;
    return nullptr;
}

std::string OptionUsage(const TOptionDef& o) {
    return "--" + o.Name + (o.ValueName.empty() ? "" : " " + o.ValueName);
}

// Writes "  --name VALUE" and the help text, wrapped lines indented below it.
void WriteOptions(std::ostringstream& out, const std::vector<TOptionDef>& options) {
    std::size_t width = 0;
    for (const auto& o : options)
        width = std::max(width, OptionUsage(o).size());
    for (const auto& o : options) {
        std::string usage = OptionUsage(o);
        out << "  " << usage << std::string(width - usage.size() + 2, ' ');
        std::string help = o.Help;
        std::size_t pos = 0;
        bool first = true;
        while (pos <= help.size()) {
            std::size_t nl = help.find('\n', pos);
            std::string line =
                help.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            if (!first)
                out << std::string(width + 4, ' ');
            out << line << "\n";
            first = false;
            if (nl == std::string::npos)
                break;
            pos = nl + 1;
        }
    }
}

} // namespace

const std::vector<TCommandDef>& Commands() {
    static const std::vector<TCommandDef> commands = BuildCommands();
    return commands;
}

const TCommandDef* FindCommand(const std::string& name) {
    for (const auto& c : Commands())
        if (c.Name == name)
            return &c;
    return nullptr;
}

const std::vector<TOptionDef>& GlobalOptions() {
    static const std::vector<TOptionDef> options = {
        {"dir", "PROGRAM_DIRECTORY",
         "The program directory whose task data to use, below it as in a\n"
         "portable installation (default: the data the desktop program\n"
         "beside this one uses; see --version)."},
        {"help", "", "Show help and exit."},
        {"version", "", "Show the version and where the task data is, and exit."},
    };
    return options;
}

std::optional<std::string> TParsedCommandLine::Value(const std::string& option) const {
    auto it = Options.find(option);
    if (it == Options.end())
        return std::nullopt;
    return it->second;
}

TParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    TParsedCommandLine r;
    // Options are collected first and checked against the command at the end,
    // since they may come before the command is known.
    std::vector<std::string> words; // command and arguments, in order
    std::vector<std::pair<std::string, std::string>> options;
    bool endOfOptions = false;

    // A word is an option when it starts with "-" (and is not "-" alone) and
    // "--" has not been seen; options with a value take the next word.
    const TCommandDef* command = nullptr;
    std::string unknownCommand;
    std::vector<std::string> unknownOptions;
    std::vector<std::string> missingValues;
    std::map<std::string, int> counts;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (endOfOptions || a.size() < 2 || a[0] != '-') {
            if (!command && unknownCommand.empty() && words.empty()) {
                command = FindCommand(a);
                if (!command)
                    unknownCommand = a;
            }
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            endOfOptions = true;
            continue;
        }
        if (a == "-h") {
            r.Help = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            unknownOptions.push_back(a);
            continue;
        }
        std::string name = a.substr(2);
        std::optional<std::string> value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const TOptionDef* def = FindOption(GlobalOptions(), name);
        if (!def && command)
            def = FindOption(command->Options, name);
        if (!def) {
            // Before the command, an option may belong to it; and an option of
            // another command gets a clearer message than "unknown". Either
            // way its def tells whether it takes a value.
            for (const auto& c : Commands())
                if ((def = FindOption(c.Options, name)))
                    break;
            if (!def) {
                unknownOptions.push_back("--" + name);
                continue;
            }
        }
        if (def->ValueName.empty()) {
            if (value) {
                throw TUsageError("option --" + name + " takes no value");
            }
            value = "";
        } else if (!value) {
            if (i + 1 >= args.size()) {
                missingValues.push_back(name);
                continue;
            }
            value = args[++i];
        }
        ++counts[name];
        options.emplace_back(name, *value);
    }

    bool helpOption = false;
    for (const auto& [name, value] : options)
        if (name == "help")
            helpOption = true;
    r.Help = r.Help || helpOption;
    for (const auto& [name, value] : options)
        if (name == "version")
            r.Version = true;
    if (r.Version && !r.Help && !command) {
        for (const auto& [name, value] : options)
            if (name == "dir")
                r.Dir = value;
        return r;
    }
    if (!unknownCommand.empty())
        throw TUsageError("unknown command \"" + unknownCommand + "\"");

    // "help [COMMAND]" is --help for the command.
    if (command && command->Name == "help") {
        r.Help = true;
        if (words.size() > 2)
            throw TUsageError("help takes at most one command");
        if (words.size() == 2) {
            command = FindCommand(words[1]);
            if (!command)
                throw TUsageError("unknown command \"" + words[1] + "\"");
        } else if (!helpOption) {
            command = nullptr; // "help" alone: the program's help
        }
        r.Command = command;
        return r;
    }
    r.Command = command;
    if (r.Help)
        return r; // help needs nothing else to be right

    if (!unknownOptions.empty())
        throw TUsageError("unknown option " + unknownOptions.front());
    if (!missingValues.empty())
        throw TUsageError("option --" + missingValues.front() + " needs a value");
    for (const auto& [name, n] : counts)
        if (n > 1)
            throw TUsageError("option --" + name + " is given more than once");

    for (const auto& [name, value] : options) {
        if (name == "dir") {
            r.Dir = value;
            continue;
        }
        if (name == "version")
            throw TUsageError("option --version takes no command");
        if (!command || !FindOption(command->Options, name)) {
            throw TUsageError(
                "option --" + name +
                (command ? " does not apply to \"" + command->Name + "\"" : " needs a command"));
        }
        r.Options[name] = value;
    }
    if (!command)
        return r;

    r.Args.assign(words.begin() + 1, words.end());
    int n = static_cast<int>(r.Args.size());
    if (n < command->MinArgs)
        throw TUsageError("\"" + command->Name + "\" needs " +
                          (command->ArgsUsage.empty() ? "no argument" : command->ArgsUsage));
    if (command->MaxArgs >= 0 && n > command->MaxArgs)
        throw TUsageError("too many arguments for \"" + command->Name + "\"");
    return r;
}

std::string ProgramHelp() {
    std::ostringstream out;
    out << "Usage: ottodo [--dir PROGRAM_DIRECTORY] COMMAND [OPTIONS] [ARGUMENTS]\n"
           "\n"
           "Works on the task lists of the desktop program otTodolist: the same files,\n"
           "the same change queue and the same cloud account, so both can be used side\n"
           "by side. Items are named by their ID (see \"ottodo list\"). Options may\n"
           "come before or after the arguments; put \"--\" before a title that starts\n"
           "with \"-\".\n"
           "\n"
           "Commands:\n";
    std::size_t width = 0;
    for (const auto& c : Commands())
        width = std::max(width, c.Name.size() + (c.ArgsUsage.empty() ? 0 : c.ArgsUsage.size() + 1));
    for (const auto& c : Commands()) {
        std::string usage = c.Name + (c.ArgsUsage.empty() ? "" : " " + c.ArgsUsage);
        out << "  " << usage << std::string(width - usage.size() + 2, ' ') << c.Summary << "\n";
    }
    out << "\nOptions of every command:\n";
    WriteOptions(out, GlobalOptions());
    out << "\n\"ottodo COMMAND --help\" describes a command and its options.\n"
           "\n"
           "Exit status: 0 on success, 1 when the command could not be carried out\n"
           "(missing or broken database, unknown ID or list, a failed change or\n"
           "synchronization), 2 when the command line is wrong (unknown command or\n"
           "option, missing argument, invalid title, date, time or priority).\n";
    return out.str();
}

std::string CommandHelp(const TCommandDef& c) {
    std::ostringstream out;
    out << "Usage: ottodo " << c.Name;
    if (!c.Options.empty())
        out << " [OPTIONS]";
    if (!c.ArgsUsage.empty())
        out << " " << c.ArgsUsage;
    out << "\n\n" << c.Description << "\n";
    if (!c.Options.empty()) {
        out << "\nOptions:\n";
        WriteOptions(out, c.Options);
    }
    out << "\nOptions of every command:\n";
    WriteOptions(out, GlobalOptions());
    return out.str();
}

} // namespace ot::cli
