#pragma once
// The commands of ottodo, run on a parsed command line.

#include "cli/CliApp.h"
#include "cli/CliArgs.h"

#include <stdexcept>
#include <string>

namespace ot::cli {

// A command that cannot be carried out; the message goes to standard error.
class TCommandError : public std::runtime_error {
public:
    explicit TCommandError(const std::string& message, int exitCode = ExitFailure)
        : std::runtime_error(message), FExitCode(exitCode) {}
    int ExitCode() const { return FExitCode; }

private:
    int FExitCode;
};

// Sets up the program directory, checks the queue database, loads what the
// command needs of the task tree and runs the command; login and sync go to
// runCloud. Raises TCommandError (or whatever a lower layer raised) when it
// cannot be carried out.
int RunCommand(const TParsedCommandLine& cmd, TCliIO& io, const TCloudCommandRunner& runCloud);

// What "ottodo --version" prints: the version, and which task data the
// command line picks (portable or installed, and its data root).
std::string VersionText(const TParsedCommandLine& cmd);

} // namespace ot::cli
