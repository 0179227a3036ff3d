#include "cli/CliApp.h"

#include "cli/CliArgs.h"
#include "cli/CliCommands.h"

#include <filesystem>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace ot::cli {

int RunOttodo(const std::vector<std::string>& args, TCliIO& io,
              const TCloudCommandRunner& ARunCloud) {
    TParsedCommandLine cmd;
    try {
        cmd = ParseCommandLine(args);
    } catch (const TUsageError& e) {
        io.Err << "ottodo: " << e.what() << "\n"
               << "Try \"ottodo --help\" for more information.\n";
        return ExitUsage;
    }
    if (cmd.Help) {
        io.Out << (cmd.Command ? CommandHelp(*cmd.Command) : ProgramHelp());
        return ExitOk;
    }
    if (cmd.Version && !cmd.Command) {
        try {
            io.Out << VersionText(cmd);
        } catch (const TCommandError& e) {
            io.Err << "ottodo: " << e.what() << "\n";
            return e.ExitCode();
        }
        return ExitOk;
    }
    if (!cmd.Command) {
        io.Err << ProgramHelp();
        return ExitUsage;
    }
    try {
        return RunCommand(cmd, io, ARunCloud);
    } catch (const TCommandError& e) {
        io.Err << "ottodo: " << e.what() << "\n";
        return e.ExitCode();
    } catch (const std::exception& e) {
        io.Err << "ottodo: " << e.what() << "\n";
        return ExitFailure;
    }
}

std::optional<std::string> ReadSecretFromStdin(const std::string& prompt) {
    const bool terminal = isatty(STDIN_FILENO) != 0;
    termios saved{};
    bool echoOff = false;
    if (terminal) {
        std::cerr << prompt << std::flush;
        if (tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
    }
    std::string line;
    bool got = static_cast<bool>(std::getline(std::cin, line));
    if (echoOff) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!got && line.empty())
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace ot::cli
