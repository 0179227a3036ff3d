// The servers' configuration files (--config FILE): the options of the
// command line, one "name = value" a line.

#include "ServerConfig.h"
#include "common/FileUtil.h"
#include "support/CloudServerProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using ot::server::ConfigEntry;

struct TTempDir {
    TTempDir() {
        std::string tmpl = (fs::temp_directory_path() / "srvconfig-XXXXXX").string();
        if (::mkdtemp(tmpl.data()))
            Path = tmpl;
    }
    ~TTempDir() {
        std::error_code ec;
        fs::remove_all(Path, ec);
    }
    fs::path Path;
};

TEST(ServerConfig, LinesAreOptionsWithoutTheirDashes) {
    TTempDir dir;
    const fs::path file = dir.Path / "server.conf";
    ASSERT_TRUE(ot::WriteFileAtomic(file, "# a comment\n\n  data = /var/lib/x  \nquiet=yes\n"
                                          "bind = 0.0.0.0\r\n"));
    std::vector<ConfigEntry> entries;
    std::string error;
    ASSERT_TRUE(ot::server::ReadConfigFile(file.string(), entries, error)) << error;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Option, "--data");
    EXPECT_EQ(entries[0].Value, "/var/lib/x");
    EXPECT_EQ(entries[0].Line, 3);
    EXPECT_EQ(entries[1].Option, "--quiet");
    EXPECT_EQ(entries[1].Value, "yes");
    EXPECT_EQ(entries[2].Value, "0.0.0.0");

    for (const char* bad : {"no equals sign\n", "= value\n", "--port = 1\n", "two words = 1\n"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(ot::WriteFileAtomic(file, std::string("port = 1\n") + bad));
        entries.clear();
        EXPECT_FALSE(ot::server::ReadConfigFile(file.string(), entries, error));
        EXPECT_EQ(error, file.string() + ":2: expected \"name = value\"");
    }
    EXPECT_FALSE(ot::server::ReadConfigFile((dir.Path / "missing").string(), entries, error));
    bool on = false;
    EXPECT_TRUE(ot::server::ConfigSwitch("yes", on) && on);
    EXPECT_TRUE(ot::server::ConfigSwitch("off", on) && !on);
    EXPECT_FALSE(ot::server::ConfigSwitch("maybe", on));
}

int RunShell(const std::string& command, const std::string& input, std::string* out = nullptr) {
    const std::string full =
        input.empty() ? command : "printf '%s\\n' '" + input + "' | " + command;
    FILE* p = ::popen(full.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        if (out)
            out->append(buf, n);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The administration commands read the data directory from the file the
// service runs with; a switch written "no" is off, a wrong line stops them.
TEST(ServerConfig, OtCloudServerCommandsTakeTheirOptionsFromTheFile) {
    TTempDir dir;
    const fs::path config = dir.Path / "otcloudserver.conf";
    const std::string bin = ot::test::CloudServerProcess::BinaryPath();
    ASSERT_TRUE(ot::WriteFileAtomic(config, "data = " + (dir.Path / "data").string() +
                                                "\nweak-hash = yes\nquiet = no\n"));
    EXPECT_EQ(RunShell(bin + " add-user --config " + config.string() + " --user bob", "pw"), 0);
    std::string users;
    EXPECT_EQ(RunShell(bin + " list-users --config " + config.string(), "", &users), 0);
    EXPECT_EQ(users.rfind("bob\t", 0), 0u) << users;
    // The command line wins: another data directory has no users.
    users.clear();
    EXPECT_EQ(RunShell(bin + " list-users --config " + config.string() + " --data " +
                      (dir.Path / "other").string(),
                  "", &users),
              0);
    EXPECT_EQ(users, "");
    for (const char* bad : {"weak-hash = maybe\n", "no-such-option = 1\n"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(ot::WriteFileAtomic(config, bad));
        EXPECT_EQ(RunShell(bin + " list-users --config " + config.string() + " 2>/dev/null", ""), 2);
    }
}

} // namespace
