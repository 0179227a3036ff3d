// ottodo: the command-line front end of the to-do list.

#include "cli/CliApp.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ot::cli::TCliIO io{std::cout, std::cerr, std::cin, ot::cli::ReadSecretFromStdin};
    int status = ot::cli::RunOttodo(args, io);
    std::cout.flush();
    return status;
}
