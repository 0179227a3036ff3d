#pragma once
// The configuration file of a server (--config FILE): the options of its
// command line, one "name = value" a line, the name without its "--"
// ("port = 8080", "quiet = yes"). Blank lines and lines starting with "#"
// are skipped. Options given on the command line win over the file's.

#include <string>
#include <utility>
#include <vector>

namespace ot::server {

struct ConfigEntry {
    std::string Option; // "--port"
    std::string Value;
    int Line = 0;
};

// False with a message naming the file and line when the file cannot be read
// or a line is not "name = value".
bool ReadConfigFile(const std::string& file, std::vector<ConfigEntry>& entries,
                    std::string& error);

// A switch's value in the file: yes/true/on/1 or no/false/off/0; false when
// the text is neither.
bool ConfigSwitch(const std::string& text, bool& on);

} // namespace ot::server
