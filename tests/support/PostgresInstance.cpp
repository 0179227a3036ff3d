#include "support/PostgresInstance.h"

#include <libpq-fe.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <random>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ot::test {

namespace fs = std::filesystem;

namespace {

struct RunAs {
    bool Switch = false; // root: become User first
    uid_t Uid = 0;
    gid_t Gid = 0;
};

// Forks a program as the given user, stdout and stderr appended to log. With
// dieWithUs the child gets SIGQUIT when this process ends, however it ends.
pid_t Spawn(const std::vector<std::string>& args, const RunAs& as, const std::string& log,
            bool dieWithUs) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // The child: only calls that are safe after a fork.
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0)
        ::dup2(null, 0);
    if (as.Switch &&
        (::setgroups(0, nullptr) != 0 || ::setgid(as.Gid) != 0 || ::setuid(as.Uid) != 0))
        ::_exit(126);
    // Set after the change of user, which clears it.
    if (dieWithUs && (::prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || ::getppid() != parent))
        ::_exit(125);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

int Wait(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string FindBinDir() {
    if (const char* env = std::getenv("OT_PG_BINDIR"))
        return env;
    for (const char* v : {"17", "16", "15"}) {
        std::string dir = std::string("/usr/lib/postgresql/") + v + "/bin";
        if (::access((dir + "/initdb").c_str(), X_OK) == 0 &&
            ::access((dir + "/postgres").c_str(), X_OK) == 0)
            return dir;
    }
    return {};
}

// Whether the user can make files in dir (every directory above it included).
bool UserCanWrite(const std::string& dir, const RunAs& as) {
    if (!as.Switch)
        return true;
    const std::string probe = dir + "/probe";
    pid_t pid = Spawn({"/usr/bin/touch", probe}, as, "/dev/null", false);
    const bool ok = Wait(pid) == 0 && fs::exists(probe);
    std::error_code ec;
    fs::remove(probe, ec);
    return ok;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

} // namespace

PostgresInstance* PostgresInstance::Shared(std::string& whyNot) {
    static std::mutex mutex;
    static std::unique_ptr<PostgresInstance> instance;
    static std::string failure;
    static bool tried = false;
    std::lock_guard lock(mutex);
    if (!tried) {
        tried = true;
        std::unique_ptr<PostgresInstance> pg(new PostgresInstance());
        if (pg->Start(failure))
            instance = std::move(pg);
    }
    whyNot = failure;
    return instance.get();
}

bool PostgresInstance::Start(std::string& whyNot) {
    FBinDir = FindBinDir();
    if (FBinDir.empty()) {
        whyNot = "PostgreSQL's initdb and postgres are not installed (looked in "
                 "/usr/lib/postgresql/*/bin; OT_PG_BINDIR names another place): the "
                 "PostgreSQL cases are skipped";
        return false;
    }
    RunAs as;
    if (::geteuid() == 0) {
        const passwd* pw = ::getpwnam("postgres");
        if (!pw || pw->pw_uid == 0) {
            whyNot = "running as root and there is no \"postgres\" user to run PostgreSQL "
                     "as (initdb refuses root): the PostgreSQL cases are skipped";
            return false;
        }
        as = {true, pw->pw_uid, pw->pw_gid};
    }
    // Below TMPDIR when the user may enter it (a root-only TMPDIR it may not), else
    // below /tmp.
    for (const fs::path& base : {fs::temp_directory_path(), fs::path("/tmp")}) {
        std::string tmpl = (base / "ot-postgres-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            continue;
        if (as.Switch && ::chown(tmpl.c_str(), as.Uid, as.Gid) != 0) {
            fs::remove_all(tmpl);
            continue;
        }
        if (UserCanWrite(tmpl, as)) {
            FDir = tmpl;
            break;
        }
        fs::remove_all(tmpl);
    }
    if (FDir.empty()) {
        whyNot = "no temporary directory the PostgreSQL user may write to: the PostgreSQL "
                 "cases are skipped";
        return false;
    }
    const std::string log = FDir + "/postgres.log";
    const std::string data = FDir + "/data";
    if (Wait(Spawn({FBinDir + "/initdb", "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                    "--locale=C", "--no-sync"},
                   as, log, true)) != 0) {
        whyNot = "initdb failed; see " + log;
        return false;
    }
    std::random_device random;
    FPort = 20000 + static_cast<int>(random() % 40000);
    // Only the socket in the directory; no flushes (nothing here must survive a power
    // cut, and a killed otCloudServer is not a killed PostgreSQL).
    FPid = Spawn({FBinDir + "/postgres", "-D", data, "-k", FDir, "-p", std::to_string(FPort), "-c",
                  "listen_addresses=", "-c", "fsync=off", "-c", "full_page_writes=off", "-c",
                  "max_connections=300", "-c", "shared_buffers=32MB"},
                 as, log, true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (PQping(Uri("postgres").c_str()) != PQPING_OK) {
        int status = 0;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            whyNot = "postgres did not start; see " + log;
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            whyNot = "postgres did not answer within a minute; see " + log;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

PostgresInstance::~PostgresInstance() {
    if (FPid > 0) {
        ::kill(FPid, SIGINT); // a fast shutdown: the sessions left are ended
        Wait(FPid);
    }
    std::error_code ec;
    if (!FDir.empty())
        fs::remove_all(FDir, ec);
}

std::string PostgresInstance::Uri(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + FDir + "&port=" + std::to_string(FPort) +
           "&user=postgres";
}

std::string PostgresInstance::NewDatabase() {
    const std::string name = "t" + std::to_string(++FDatabases);
    PGconn* c = PQconnectdb(Uri("postgres").c_str());
    std::string error;
    if (PQstatus(c) != CONNECTION_OK) {
        error = PQerrorMessage(c);
    } else {
        PGresult* r = PQexec(c, ("CREATE DATABASE " + Quoted(name)).c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK)
            error = PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(c);
    if (!error.empty())
        throw std::runtime_error("cannot create a test database: " + error);
    return Uri(name);
}

} // namespace ot::test
