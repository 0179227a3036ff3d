#pragma once
// The commands of ottodo that talk to the cloud service: binding an account
// and running a synchronization pass.

#include "cli/CliApp.h"
#include "cli/CliArgs.h"
#include "cli/CliTree.h"

namespace ot::cli {

// login USER: the password comes from io.ReadSecret.
int CmdLogin(const TParsedCommandLine& cmd, TCliIO& io, const TAppPaths& paths);
// sync: one pass on the loaded tree, its log lines printed as they come.
int CmdSync(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree);
// login or sync in the program directory paths, with the cloud hosts of its
// "cloudhosts.conf"; the TCloudCommandRunner of a program that carries them.
int RunCloudCommand(const TParsedCommandLine& cmd, TCliIO& io, const TAppPaths& paths);

} // namespace ot::cli
