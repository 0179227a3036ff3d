#pragma once
// The command line of ottodo: global options, one command, the command's own
// options and its arguments. The table of commands below is also the source of
// every help text, so what --help says and what the parser accepts cannot drift
// apart.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ot::cli {

// Exit statuses of the program.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailure = 1; // the command could not be carried out
inline constexpr int ExitUsage = 2;   // the command line itself is wrong

struct TOptionDef {
    std::string Name;      // without the leading "--"
    std::string ValueName; // empty for a switch without value
    std::string Help;
};

struct TCommandDef {
    std::string Name;
    std::string ArgsUsage; // e.g. "ID" or "[LIST]"
    int MinArgs = 0;
    int MaxArgs = 0; // -1: any number
    std::string Summary;
    std::string Description; // several lines, shown by "COMMAND --help"
    std::vector<TOptionDef> Options;
};

const std::vector<TCommandDef>& Commands();
const TCommandDef* FindCommand(const std::string& name);
// Options every command accepts (--dir, --help).
const std::vector<TOptionDef>& GlobalOptions();

struct TParsedCommandLine {
    const TCommandDef* Command = nullptr;       // none: no command given
    bool Help = false;                          // --help, -h or "help [COMMAND]"
    bool Version = false;                       // --version
    std::optional<std::string> Dir;             // --dir
    std::map<std::string, std::string> Options; // command options; "" for switches
    std::vector<std::string> Args;

    bool Has(const std::string& option) const { return Options.count(option) != 0; }
    // The value of an option that was given, or nothing.
    std::optional<std::string> Value(const std::string& option) const;
};

// A command line that cannot be understood; the message says why.
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Options may stand before or after the command and between its arguments,
// as "--name value" or "--name=value"; "--" ends the options, so a title may
// start with "-". An option given twice, an unknown option or command, and a
// wrong number of arguments raise TUsageError (except with --help, which only
// needs to know the command).
TParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// "ottodo --help" and "ottodo COMMAND --help".
std::string ProgramHelp();
std::string CommandHelp(const TCommandDef& command);

} // namespace ot::cli
