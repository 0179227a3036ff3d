#pragma once
// ottodo: the command-line front end on the task store, the change queue,
// the cloud client and the synchronization engine. Every change goes through
// the same repository operations as the desktop program's windows, so it is
// recorded in the change queue exactly as a change made there.

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace ot {
struct TAppPaths;
}

namespace ot::cli {

struct TParsedCommandLine;
struct TCliIO;

// Runs a command that talks to the cloud service (login, sync) on a checked
// program directory. The local commands never load the network stack: only
// a program that links the cloud commands in supplies them.
using TCloudCommandRunner =
    std::function<int(const TParsedCommandLine& cmd, TCliIO& io, const TAppPaths& paths)>;

struct TCliIO {
    std::ostream& Out;
    std::ostream& Err;
    std::istream& In;
    // Reads a secret (the password of "login"): without echo from a terminal,
    // or one line of In otherwise. Nothing when there is no input at all.
    std::function<std::optional<std::string>(const std::string& prompt)> ReadSecret;
};

// Runs one command line (without the program name) and answers the exit
// status; the cloud commands go to ARunCloud.
int RunOttodo(const std::vector<std::string>& args, TCliIO& io,
              const TCloudCommandRunner& ARunCloud);
// The same with the cloud commands of this process (CliCloud.cpp, ot_cli).
int RunOttodo(const std::vector<std::string>& args, TCliIO& io);

// The ReadSecret of the real program: standard input, echo switched off when
// it is a terminal.
std::optional<std::string> ReadSecretFromStdin(const std::string& prompt);

} // namespace ot::cli
