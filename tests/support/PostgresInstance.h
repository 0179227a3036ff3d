#pragma once
// A real PostgreSQL for tests: one server per test program, started on first use in a
// temporary directory of its own with Debian's initdb and postgres, listening only on a
// Unix socket there; every test takes a fresh empty database of it.
//
//   std::string why;
//   auto* pg = ot::test::PostgresInstance::Shared(why);
//   if (!pg) GTEST_SKIP() << why;
//   std::string uri = pg->NewDatabase();   // "postgresql:///t3?host=...&port=...&user=postgres"
//
// PostgreSQL refuses to run as root: a test program running as root starts it as the
// "postgres" user (the Debian package makes it). Without the binaries or such a user
// Shared() answers nullptr and why says so. The server stops when the program ends, and
// also when the program dies (it gets SIGQUIT then).

#include <string>
#include <sys/types.h>

namespace ot::test {

class PostgresInstance {
public:
    static PostgresInstance* Shared(std::string& whyNot);
    ~PostgresInstance();
    PostgresInstance(const PostgresInstance&) = delete;
    PostgresInstance& operator=(const PostgresInstance&) = delete;

    // A new empty database; answers its libpq URI.
    std::string NewDatabase();
    // The URI of a database of this server.
    std::string Uri(const std::string& database) const;
    const std::string& Dir() const { return FDir; }

private:
    PostgresInstance() = default;
    bool Start(std::string& whyNot);

    std::string FDir;
    std::string FBinDir;
    int FPort = 0;
    pid_t FPid = -1;
    int FDatabases = 0;
};

} // namespace ot::test
