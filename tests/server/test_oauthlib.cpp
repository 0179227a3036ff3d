// The cloud server against independent clients: python3-oauthlib signs, curl logs in and
// replays. The script (oauthlib_client.py) makes its own checks and fails on the first
// wrong answer.

#include "cloud/KuaipanConsumer.h"
#include "support/CloudServerProcess.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

TEST(CloudServerOauthlib, FullFlowAndRefusals) {
    ot::test::CloudServerProcess server;
    server.AddUser("bob", "bob's secret");
    std::string cmd = "/usr/bin/python3 " OT_SOURCE_DIR "/tests/server/oauthlib_client.py";
    cmd += " --plain-port " + std::to_string(server.Port());
    cmd += " --tls-port " + std::to_string(server.TlsPort());
    cmd += " --ca " + Quote(server.CAFile());
    cmd += " --user " + Quote(server.User()) + " --password " + Quote(server.Password());
    cmd += " --other-user bob --other-password \"bob's secret\"";
    cmd += std::string(" --consumer-key ") + ot::ConsumerKey;
    cmd += std::string(" --consumer-secret ") + ot::ConsumerSecret;
    cmd += " --curl /usr/bin/curl --jar " + Quote((server.Dir() / "cookies").string());
    cmd += " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string output;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        output.append(buf, n);
    int status = pclose(p);
    EXPECT_EQ(status, 0) << output << "\nserver log:\n" << server.Log();
    EXPECT_NE(output.find("all checks passed"), std::string::npos) << output;
}

} // namespace
