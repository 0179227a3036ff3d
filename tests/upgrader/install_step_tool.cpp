// Installs a package and dies with SIGKILL when the install reaches the step
// named on the command line, as a kill -9 at that moment would:
//   install_step_tool STEP ZIP DEST [VERSIONFILE VERSION]
// STEP "none" lets the install run to its end. Exit status 0: installed.

#include "package/OtUpgradeArchive.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: install_step_tool STEP ZIP DEST [VERSIONFILE VERSION]\n");
        return 2;
    }
    const std::string stop = argv[1];
    ot::SetUpgradeStepHook([stop](const std::string& step) {
        if (step == stop)
            ::kill(::getpid(), SIGKILL);
    });
    ot::TVersionFileUpdate version;
    if (argc == 6)
        version = {argv[4], argv[5]};
    return ot::InstallUpgradeArchive(argv[2], argv[3], version) == ot::TPackageInstall::Installed
               ? 0
               : 1;
}
