// ottodo: the command-line front end of the to-do list.
//
// This program carries the local commands only and links no network library,
// so listing or adding a task never loads libcurl and its TLS and Kerberos
// dependencies. login and sync run in ottodo-cloud beside it, which takes
// over this process with the same command line.

#include "cli/CliApp.h"
#include "cli/CliArgs.h"
#include "common/AppPaths.h"
#include "common/FileUtil.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <unistd.h>

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    ot::cli::TCliIO io{std::cout, std::cerr, std::cin, ot::cli::ReadSecretFromStdin};
    auto runCloud = [argv](const ot::cli::TParsedCommandLine&, ot::cli::TCliIO& out,
                           const ot::TAppPaths&) {
        out.Out.flush();
        out.Err.flush();
        std::string helper = ot::HelperProgramFile(ot::ExecutableDir(), "ottodo-cloud");
        argv[0] = helper.data();
        ::setenv("OTTODO_PROGRAM_DIR", ot::ExecutableDir().c_str(), 1);
        ::execv(helper.c_str(), argv);
        out.Err << "ottodo: cannot run \"" << helper << "\": " << std::strerror(errno) << "\n";
        return ot::cli::ExitFailure;
    };
    int status = ot::cli::RunOttodo(args, io, runCloud);
    std::cout.flush();
    return status;
}
