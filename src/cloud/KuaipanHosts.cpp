#include "cloud/KuaipanHosts.h"

#include "common/FileUtil.h"
#include "common/Text.h"

#include <filesystem>
#include <map>

namespace ot {

TKuaipanHosts TKuaipanHosts::Defaults() {
    // A server on this machine (otCloudServer's usual ports) until the
    // installation names another.
    const TKuaipanEndpoint local{"localhost:8080", "localhost:8443"};
    TKuaipanHosts h;
    h.Api = h.Content = h.Conversion = h.Site = local;
    return h;
}

TKuaipanHosts TKuaipanHosts::FromText(std::string_view text, const std::string& baseDir) {
    std::map<std::string, std::string> values;
    for (const auto& raw : Split(text, '\n')) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        values[ToLowerAscii(Trim(line.substr(0, eq)))] = Trim(line.substr(eq + 1));
    }

    TKuaipanHosts h = Defaults();
    auto set = [&](const char* key, std::string& field) {
        auto it = values.find(key);
        if (it != values.end() && !it->second.empty())
            field = it->second;
    };
    for (TKuaipanEndpoint* e : {&h.Api, &h.Content, &h.Conversion, &h.Site}) {
        set("all", e->Plain);
        set("all_tls", e->Secure);
    }
    set("api", h.Api.Plain);
    set("api_tls", h.Api.Secure);
    set("content", h.Content.Plain);
    set("content_tls", h.Content.Secure);
    set("conversion", h.Conversion.Plain);
    set("conversion_tls", h.Conversion.Secure);
    set("site", h.Site.Plain);
    set("site_tls", h.Site.Secure);

    if (auto it = values.find("always_tls"); it != values.end()) {
        const std::string v = ToLowerAscii(it->second);
        h.AlwaysSecure = v == "yes" || v == "true" || v == "1" || v == "on";
    }
    if (auto it = values.find("ca_file"); it != values.end() && !it->second.empty()) {
        std::filesystem::path p(it->second);
        h.CAFile = p.is_absolute() ? p.string() : (std::filesystem::path(baseDir) / p).string();
    }
    if (auto it = values.find("server"); it != values.end() &&
                                         ToLowerAscii(it->second) == "otcloudserver")
        h.RowPause = std::chrono::milliseconds(0);
    if (auto it = values.find("row_pause_ms"); it != values.end()) {
        // A value out of range or not a number leaves the pause as it was.
        if (auto ms = ParseInt32(it->second); ms && *ms >= 0 && *ms <= 60000)
            h.RowPause = std::chrono::milliseconds(*ms);
    }
    return h;
}

TKuaipanHosts TKuaipanHosts::FromFile(const std::string& fileName) {
    std::string text;
    if (!ReadWholeFile(fileName, text))
        return Defaults();
    return FromText(text, std::filesystem::path(fileName).parent_path().string());
}

TKuaipanHosts TKuaipanHosts::FromProgramDir(std::string programDir) {
    if (!programDir.empty() && programDir.back() != '/')
        programDir += '/';
    return FromFile(programDir + KuaipanHostsFileName);
}

} // namespace ot
