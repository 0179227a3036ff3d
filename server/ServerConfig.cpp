#include "ServerConfig.h"

#include <fstream>

namespace ot::server {

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

} // namespace

bool ReadConfigFile(const std::string& file, std::vector<ConfigEntry>& entries,
                    std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read the configuration file " + file;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        const auto eq = text.find('=');
        const std::string name = eq == std::string::npos ? std::string() : Trim(text.substr(0, eq));
        if (name.empty() || name.rfind("--", 0) == 0 ||
            name.find_first_of(" \t") != std::string::npos) {
            error = file + ":" + std::to_string(number) + ": expected \"name = value\"";
            return false;
        }
        entries.push_back({"--" + name, Trim(text.substr(eq + 1)), number});
    }
    return true;
}

bool ConfigSwitch(const std::string& text, bool& on) {
    for (const char* yes : {"yes", "true", "on", "1"})
        if (text == yes)
            return on = true;
    for (const char* no : {"no", "false", "off", "0"})
        if (text == no) {
            on = false;
            return true;
        }
    return false;
}

} // namespace ot::server
