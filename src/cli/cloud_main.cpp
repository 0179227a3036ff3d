// ottodo-cloud: the commands of ottodo that talk to the cloud service (login,
// sync), started by ottodo with its command line. It runs every other command
// too, so it can stand in for ottodo.

#include "cli/CliApp.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ot::cli::TCliIO io{std::cout, std::cerr, std::cin, ot::cli::ReadSecretFromStdin};
    int status = ot::cli::RunOttodo(args, io);
    std::cout.flush();
    return status;
}
