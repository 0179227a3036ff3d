#pragma once
// The server's web pages as a browser reaches them, for the tests that log in
// through them.

#include "support/CloudServerProcess.h"

#include <httplib.h>

#include <memory>
#include <string>

namespace ot::test {

// The text between start and end, empty when either is missing.
inline std::string Between(const std::string& text, const std::string& start,
                           const std::string& end) {
    auto a = text.find(start);
    if (a == std::string::npos)
        return {};
    a += start.size();
    auto b = text.find(end, a);
    return b == std::string::npos ? std::string() : text.substr(a, b - a);
}

// A TLS client of the server's site that trusts the server's own certificate.
inline std::unique_ptr<httplib::SSLClient> SiteClient(const CloudServerProcess& server) {
    auto cli = std::make_unique<httplib::SSLClient>("localhost", server.TlsPort());
    cli->set_ca_cert_path(server.CAFile().c_str());
    cli->enable_server_certificate_verification(true);
    // Logins are checked two at a time with a costly hash: on a busy machine an answer
    // may take longer than the library's five seconds.
    cli->set_read_timeout(60, 0);
    cli->set_write_timeout(60, 0);
    return cli;
}

} // namespace ot::test
