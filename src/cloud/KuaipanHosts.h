#pragma once
// Where the cloud service lives. Four hosts (the API host, the content host
// that also locates the upload host, the document conversion host and the web
// site of the account login), each with a plain and a TLS address
// "host[:port]", since one server usually listens on two ports.
//
// The built-in defaults can be overridden per installation by the file
// "cloudhosts.conf" in the program directory, "key = value" lines:
//   api, content, conversion, site             plain address of one host
//   api_tls, content_tls, conversion_tls, site_tls   its TLS address
//   all, all_tls           the same address for all four hosts (read first,
//                          so the keys of single hosts override it)
//   always_tls = yes       every request uses TLS, also those that would go
//                          over plain HTTP (a server on an untrusted network)
//   ca_file = path         trust this CA file instead of the system's store
//                          (relative to the program directory)
//   server = otcloudserver the service is our own server, which paces its
//                          clients itself (503 with Retry-After): a pass
//                          sends its requests without pausing between rows
//   row_pause_ms = N       the pause after each queue row of a pass, 0 to
//                          60000 ms (default 500, for services that expect
//                          their clients to spread a long queue over time)
// Lines starting with "#" and unknown keys are ignored.

#include <chrono>
#include <string>
#include <string_view>

namespace ot {

struct TKuaipanEndpoint {
    std::string Plain;  // "host[:port]" for http
    std::string Secure; // "host[:port]" for https
};

struct TKuaipanHosts {
    TKuaipanEndpoint Api;
    TKuaipanEndpoint Content;
    TKuaipanEndpoint Conversion;
    TKuaipanEndpoint Site;
    bool AlwaysSecure = false;
    std::string CAFile; // empty: the system's CA store
    std::chrono::milliseconds RowPause{500};

    // Whether a request that asks for IsSecure goes over TLS.
    bool UseSecure(bool IsSecure) const { return IsSecure || AlwaysSecure; }
    std::string_view Scheme(bool IsSecure) const { return UseSecure(IsSecure) ? "https" : "http"; }
    // The address of endpoint for a request that asks for IsSecure.
    const std::string& HostOf(const TKuaipanEndpoint& endpoint, bool IsSecure) const {
        return UseSecure(IsSecure) ? endpoint.Secure : endpoint.Plain;
    }

    static TKuaipanHosts Defaults();
    // The defaults overridden by the lines of text; a relative ca_file is
    // taken relative to baseDir.
    static TKuaipanHosts FromText(std::string_view text, const std::string& baseDir);
    // The defaults overridden by the file, when it exists.
    static TKuaipanHosts FromFile(const std::string& fileName);
    // The hosts of the installation in programDir (TAppPaths::AppPath): its
    // "cloudhosts.conf", else the defaults.
    static TKuaipanHosts FromProgramDir(std::string programDir);
};

inline constexpr const char* KuaipanHostsFileName = "cloudhosts.conf";

} // namespace ot
