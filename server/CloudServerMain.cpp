// otCloudServer command line: serve, and the account administration beside it.

#include "CloudServer.h"
#include "PgCloudStore.h"
#include "ServerConfig.h"
#include "SqliteCloudStore.h"
#include "StopSignals.h"
#include "StoreMigration.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "common/Version.h"
#include "signing/ProgramConsumer.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <pthread.h>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace ot::server;

const char* const kUsage = R"(usage: otCloudServer <command> [options] [--config FILE]
       otCloudServer --version

Every option may also stand in the file of --config, one "name = value" a line
without the "--" ("port = 8080", "quiet = yes"); the command line wins over it.

Where the data lives: --data DIR (SQLite and content files, one serving
process), or --store postgresql://... (PostgreSQL, any number of serving
processes on one database; --data then names only where arriving uploads are
spooled, a private temporary directory when left out). Every command below
takes either. The address is libpq's ("postgresql://user@host:5432/db",
"postgresql:///db?host=/run/postgresql"); keep a password out of it, in
~/.pgpass or PGPASSFILE: a command line is seen by every user of the machine.

commands:
  serve          --data DIR|--store URI --cert FILE --key FILE [--bind ADDR]
                 [--port N] [--tls-port N]
                 [--ports-file FILE] [--threads N] [--timestamp-window SECONDS]
                 [--token-lifetime SECONDS] [--max-file-mb N] [--quota-mb N] [--quiet]
                 [--request-token-lifetime SECONDS] [--max-pending-logins N]
                 [--max-pending-logins-per-address N] [--user-rate N]
                 [--io-threads N] [--max-connections N] [--max-connections-per-address N]
                 [--head-timeout SECONDS]
                 [--idle-timeout SECONDS] [--body-timeout SECONDS] [--max-header-bytes N]
                 [--max-header-count N] [--max-target-bytes N]
                 [--trusted-proxy ADDR[,ADDR...]]
                 [--fault-injection [--admin-port N]]
      Serves the cloud API and the login pages: plain HTTP on --port (default 8080) and
      HTTPS on --tls-port (default 8443), bound to --bind (default 127.0.0.1; use 0.0.0.0
      for every interface). Port 0 picks a free port; the ports bound are printed and,
      with --ports-file, written there as JSON. --fault-injection is for tests only.
      --token-lifetime limits every access token's life from its creation (default 0:
      until revoked). --quota-mb counts the recycle bin.
      A login (a request token) must be completed within --request-token-lifetime
      (default 600); at most --max-pending-logins (default 1000) of a consumer wait to
      be exchanged, and one client address may start --max-pending-logins-per-address
      (default 10) in that time.
      --user-rate N lets each user send N signed requests a second over time (bursts
      of 2N pass); beyond, the reply is "503" with "Retry-After" and the programs wait
      that long before they send again (default 0: no limit).
      Connections and limits (each checked before any work is done for a request):
        --io-threads N          threads holding the connections (default 0: half the
                                processor's cores, at least one); --threads
                                N answer the requests (default 8)
        --max-connections N     open connections at once; near it the longest idle
                                kept-alive one is closed, beyond it "503" (default 1024)
        --max-connections-per-address N
                                open connections from one address (an IPv6 /64);
                                beyond, "503" (default 32)
        --head-timeout S        to receive a request's whole head, TLS handshake
                                included (default 10)
        --idle-timeout S        a kept-alive connection waits for its next request
                                (default 5)
        --body-timeout S        to receive a body or send a reply (default 120)
        --max-header-bytes N    request line and header fields together (default 16384)
        --max-header-count N    header fields (default 64)
        --max-target-bytes N    request target (default 8192)
      An upload's signature is checked from its head, and its announced length against
      --max-file-mb, before its body is read.
      --trusted-proxy names proxies (nginx) whose "X-Real-IP" header names the client:
      the log, the logins per address and the share-code tries count that address.
  add-user       --data DIR --user NAME [--weak-hash]
      Adds a user; the password is read from standard input (first line).
  set-password   --data DIR --user NAME [--weak-hash]
      Sets a new password (from standard input); every token of the user stops
      working, as with revoke-tokens.
  list-users     --data DIR
  add-consumer   --data DIR --key KEY --secret SECRET [--name APPNAME]
      Registers an application (the program's own is registered already).
  issue-token    --data DIR --user NAME [--key CONSUMERKEY]
      Prints a new access token (key, then secret, one a line) for the user and the
      consumer (default: the program's own), without the web login: for scripts and
      tests on the server's own machine.
  revoke-tokens  --data DIR --user NAME
      Every access token of the user stops working ("authorization expired"), and
      a login the user completed but the program has not yet exchanged for a token
      can no longer be exchanged.
  purge-recycle  --data DIR [--older-than-days N]
      Removes entries deleted into the recycle bin (default: all of them).
  mark-restored  --data DIR
      Run after putting back a copy of the data directory, before serving it: clients
      then upload what they hold instead of deleting what the copy lacks. (A database
      file that is not the one last served is noticed at start-up as well, unless the
      copy was written into the old file.) With --store, after restoring the database,
      while no server runs on it.
  migrate        --from DIR --store postgresql://...
      Copies a data directory into an empty PostgreSQL database and checks the copy:
      every table's rows (count and digest) and every file's bytes against its hash.
      Stop the server of DIR first; DIR is only read.
)";

struct Args {
    std::string Command;
    std::map<std::string, std::string> Values;
    std::map<std::string, bool> Flags;
    bool Flag(const std::string& name) const {
        auto it = Flags.find(name);
        return it != Flags.end() && it->second;
    }
};

const std::map<std::string, bool>& KnownOptions() {
    // name -> takes a value
    static const std::map<std::string, bool> known = {
        {"--data", true},
        {"--store", true},
        {"--from", true},
        {"--trusted-proxy", true},
        {"--cert", true},
        {"--key", true},
        {"--bind", true},
        {"--port", true},
        {"--tls-port", true},
        {"--ports-file", true},
        {"--threads", true},
        {"--io-threads", true},
        {"--max-connections", true},
        {"--max-connections-per-address", true},
        {"--head-timeout", true},
        {"--idle-timeout", true},
        {"--body-timeout", true},
        {"--max-header-bytes", true},
        {"--max-header-count", true},
        {"--max-target-bytes", true},
        {"--timestamp-window", true},
        {"--token-lifetime", true},
        {"--request-token-lifetime", true},
        {"--max-pending-logins", true},
        {"--max-pending-logins-per-address", true},
        {"--user-rate", true},
        {"--max-file-mb", true},
        {"--quota-mb", true},
        {"--quiet", false},
        {"--fault-injection", false},
        {"--admin-port", true},
        {"--user", true},
        {"--weak-hash", false},
        {"--secret", true},
        {"--name", true},
        {"--older-than-days", true},
    };
    return known;
}

// The options of a --config file, below those of the command line.
bool ApplyConfigFile(const std::string& file, Args& out, std::string& error) {
    std::vector<ConfigEntry> entries;
    if (!ReadConfigFile(file, entries, error))
        return false;
    for (const ConfigEntry& e : entries) {
        auto it = KnownOptions().find(e.Option);
        const std::string where = file + ":" + std::to_string(e.Line) + ": ";
        if (it == KnownOptions().end()) {
            error = where + "unknown option " + e.Option.substr(2);
            return false;
        }
        if (it->second) {
            out.Values[e.Option] = e.Value;
            continue;
        }
        bool on = false;
        if (!ConfigSwitch(e.Value, on)) {
            error = where + e.Option.substr(2) + " takes yes or no";
            return false;
        }
        out.Flags[e.Option] = on;
    }
    return true;
}

bool ParseArgs(int argc, char** argv, Args& out, std::string& error) {
    if (argc < 2) {
        error = "no command";
        return false;
    }
    out.Command = argv[1];
    for (int i = 2; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--config" && !ApplyConfigFile(argv[i + 1], out, error))
            return false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--config") {
            if (++i >= argc) {
                error = "--config needs a value";
                return false;
            }
            continue;
        }
        auto it = KnownOptions().find(a);
        if (it == KnownOptions().end()) {
            error = "unknown option " + a;
            return false;
        }
        if (it->second) {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            out.Values[a] = argv[++i];
        } else {
            out.Flags[a] = true;
        }
    }
    return true;
}

bool IntOption(const Args& args, const std::string& name, std::int64_t& value, std::string& error) {
    auto it = args.Values.find(name);
    if (it == args.Values.end())
        return true;
    auto v = ot::ParseInt64(it->second);
    if (!v || *v < 0) {
        error = name + " needs a number";
        return false;
    }
    value = *v;
    return true;
}

std::string Value(const Args& args, const std::string& name) {
    auto it = args.Values.find(name);
    return it == args.Values.end() ? std::string() : it->second;
}

void EnsureProgramConsumer(CloudStore& store) {
    if (!store.FindConsumer(ot::ConsumerKey))
        store.PutConsumer({ot::ConsumerKey, ot::ConsumerSecret, "otTodolist"});
}

bool ValidUserName(const std::string& name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-' || c == '@';
        if (!ok)
            return false;
    }
    return true;
}

// The first line of standard input, without echo when it is a terminal.
bool ReadPassword(std::string& out) {
    bool tty = isatty(STDIN_FILENO);
    termios old{};
    if (tty) {
        std::fprintf(stderr, "Password: ");
        tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    bool ok = static_cast<bool>(std::getline(std::cin, out));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::fprintf(stderr, "\n");
    }
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n'))
        out.pop_back();
    return ok && !out.empty();
}

bool HashPassword(const std::string& password, bool weak, std::string& hash) {
    char out[crypto_pwhash_STRBYTES];
    // The weak limits exist so tests can add users quickly; real accounts use the
    // interactive limits.
    unsigned long long ops = weak ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
    std::size_t mem = weak ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
    if (crypto_pwhash_str(out, password.data(), password.size(), ops, mem) != 0)
        return false;
    hash = out;
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "otCloudServer: %s\n", message.c_str());
    return 1;
}

// The lock a serving process holds on its data directory.
int LockDataDir(const std::filesystem::path& dir) {
    int fd = ::open((dir / "server.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int Serve(const Args& args) {
    ServerOptions o;
    o.DataDir = Value(args, "--data");
    o.Store = Value(args, "--store");
    o.CertFile = Value(args, "--cert");
    o.KeyFile = Value(args, "--key");
    const bool shared = IsPostgresStore(o.Store);
    if (!o.Store.empty() && !shared)
        return Fail("--store takes a postgresql:// address");
    if ((o.DataDir.empty() && !shared) || o.CertFile.empty() || o.KeyFile.empty())
        return Fail("serve needs --data (or --store), --cert and --key");
    if (args.Values.count("--bind"))
        o.Bind = Value(args, "--bind");
    std::string error;
    std::int64_t port = o.Port, tlsPort = o.TlsPort, adminPort = 0, threads = o.Threads;
    std::int64_t maxMb = o.Limits.MaxFileSize >> 20, quotaMb = o.Limits.QuotaBytes >> 20;
    std::int64_t pendingPerAddress = static_cast<std::int64_t>(o.MaxPendingLoginsPerAddress);
    if (!IntOption(args, "--port", port, error) || !IntOption(args, "--tls-port", tlsPort, error) ||
        !IntOption(args, "--admin-port", adminPort, error) ||
        !IntOption(args, "--threads", threads, error) ||
        !IntOption(args, "--timestamp-window", o.TimestampWindow, error) ||
        !IntOption(args, "--token-lifetime", o.TokenLifetime, error) ||
        !IntOption(args, "--request-token-lifetime", o.RequestTokenLifetime, error) ||
        !IntOption(args, "--max-pending-logins", o.MaxPendingLogins, error) ||
        !IntOption(args, "--max-pending-logins-per-address", pendingPerAddress, error) ||
        !IntOption(args, "--user-rate", o.UserRate, error) ||
        !IntOption(args, "--max-file-mb", maxMb, error) ||
        !IntOption(args, "--quota-mb", quotaMb, error))
        return Fail(error);
    if (port > 65535 || tlsPort > 65535 || adminPort > 65535 || threads < 1 || threads > 256)
        return Fail("a port or thread count is out of range");
    if (o.UserRate < 0 || o.UserRate > 1000000)
        return Fail("--user-rate is out of range");
    {
        HttpLimits& h = o.Http;
        std::int64_t io = h.IoThreads, conns = static_cast<std::int64_t>(h.MaxConnections),
                     perAddress = static_cast<std::int64_t>(h.MaxPerAddress), head = h.HeadTimeout,
                     idle = h.IdleTimeout, body = h.BodyTimeout,
                     hbytes = static_cast<std::int64_t>(h.MaxHeaderBytes),
                     hcount = static_cast<std::int64_t>(h.MaxHeaderCount),
                     tbytes = static_cast<std::int64_t>(h.MaxTargetBytes);
        if (!IntOption(args, "--io-threads", io, error) ||
            !IntOption(args, "--max-connections", conns, error) ||
            !IntOption(args, "--max-connections-per-address", perAddress, error) ||
            !IntOption(args, "--head-timeout", head, error) ||
            !IntOption(args, "--idle-timeout", idle, error) ||
            !IntOption(args, "--body-timeout", body, error) ||
            !IntOption(args, "--max-header-bytes", hbytes, error) ||
            !IntOption(args, "--max-header-count", hcount, error) ||
            !IntOption(args, "--max-target-bytes", tbytes, error))
            return Fail(error);
        if (io > 64 || conns < 1 || conns > 1000000 || perAddress < 1 || head < 1 || head > 3600 ||
            idle < 1 || idle > 3600 || body < 1 || body > 86400 || hbytes < 1024 ||
            hbytes > (1 << 20) || hcount < 8 || hcount > 10000 || tbytes < 256 || tbytes > hbytes)
            return Fail("a connection limit is out of range");
        h.IoThreads = static_cast<int>(io);
        h.MaxConnections = static_cast<std::size_t>(conns);
        h.MaxPerAddress = static_cast<std::size_t>(perAddress);
        h.HeadTimeout = static_cast<int>(head);
        h.IdleTimeout = static_cast<int>(idle);
        h.BodyTimeout = static_cast<int>(body);
        h.MaxHeaderBytes = static_cast<std::size_t>(hbytes);
        h.MaxHeaderCount = static_cast<std::size_t>(hcount);
        h.MaxTargetBytes = static_cast<std::size_t>(tbytes);
    }
    if (o.RequestTokenLifetime < 1)
        return Fail("--request-token-lifetime needs at least one second");
    o.MaxPendingLoginsPerAddress = static_cast<std::size_t>(pendingPerAddress);
    o.Port = static_cast<int>(port);
    o.TlsPort = static_cast<int>(tlsPort);
    o.AdminPort = static_cast<int>(adminPort);
    o.Threads = static_cast<int>(threads);
    o.Limits.MaxFileSize = maxMb << 20;
    o.Limits.QuotaBytes = quotaMb << 20;
    o.Quiet = args.Flag("--quiet");
    for (const auto& proxy : ot::Split(Value(args, "--trusted-proxy"), ',')) {
        std::string peer, group;
        if (ot::Trim(proxy).empty())
            continue;
        if (!ParseClientAddress(ot::Trim(proxy), peer, group))
            return Fail("--trusted-proxy takes addresses (\"127.0.0.1,::1\")");
        o.TrustedProxies.push_back(peer);
    }
    o.FaultInjection = args.Flag("--fault-injection");

    try {
        if (!o.DataDir.empty())
            CreatePrivateDirectory(o.DataDir);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    // Two servers on one data directory would each remove the other's unfinished
    // content files at start-up (servers sharing a database spool apart).
    if (!shared && LockDataDir(o.DataDir) < 0)
        return Fail("another otCloudServer is serving " + o.DataDir.string());

    // Signals are taken by one thread, so they never interrupt a request.
    const sigset_t stopSignals = ot::BlockStopSignals();
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();

    std::unique_ptr<CloudServer> server;
    try {
        server = std::make_unique<CloudServer>(o);
        EnsureProgramConsumer(server->Store());
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    if (server->Store().FoundCopiedDatabase())
        std::fprintf(stderr,
                     "otCloudServer: %s/cloud.db is not the file last served (a restored "
                     "copy?): it has a new data fingerprint, so clients upload what they "
                     "hold instead of deleting it\n",
                     o.DataDir.c_str());
    const auto& rec = server->Store().LastReconcile();
    if (rec.OrphanFiles || rec.MissingContent || rec.TempFiles)
        std::fprintf(stderr,
                     "otCloudServer: start-up removed %d unreferenced content file(s), %d "
                     "unfinished write(s) and %d entr(ies) without content\n",
                     rec.OrphanFiles, rec.TempFiles, rec.MissingContent);
    if (!server->Bind(error))
        return Fail(error);

    nlohmann::ordered_json ports = {
        {"bind", o.Bind}, {"port", server->Port()}, {"tls_port", server->TlsPort()}};
    if (o.FaultInjection)
        ports["admin_port"] = server->AdminPort();
    std::string portsFile = Value(args, "--ports-file");
    if (!portsFile.empty() && !ot::WriteFileAtomic(portsFile, ports.dump() + "\n", 0644, &error))
        return Fail(error);
    std::printf("otCloudServer: serving %s on %s, plain port %d, TLS port %d",
                shared ? "a PostgreSQL database" : o.DataDir.c_str(), o.Bind.c_str(),
                server->Port(), server->TlsPort());
    if (o.FaultInjection)
        std::printf(", admin port %d (fault injection on)", server->AdminPort());
    std::printf("\n");
    std::fflush(stdout);

    ot::RunUntilStopSignal(*server, stopSignals);
    return 0;
}

int Migrate(const Args& args) {
    const std::string from = Value(args, "--from"), to = Value(args, "--store");
    if (from.empty() || !IsPostgresStore(to))
        return Fail("migrate needs --from DIR and --store postgresql://...");
    if (!std::filesystem::exists(std::filesystem::path(from) / "cloud.db"))
        return Fail("no cloud data in " + from);
    // A server on the directory would go on changing what is being copied.
    int lockFd = LockDataDir(from);
    if (lockFd < 0)
        return Fail("an otCloudServer is serving " + from + "; stop it first");
    const MigrationReport report = MigrateToPostgres(from, to);
    ::close(lockFd);
    for (const auto& line : report.Lines)
        std::printf("%s\n", line.c_str());
    for (const auto& problem : report.Problems)
        std::fprintf(stderr, "otCloudServer: migrate: %s\n", problem.c_str());
    if (!report.Ok)
        return Fail("the migration of " + from + " failed");
    std::printf("migrated %s into PostgreSQL; the copy matches\n", from.c_str());
    return 0;
}

int AccountCommand(const Args& args) {
    std::string data = Value(args, "--data");
    const std::string where = Value(args, "--store");
    const bool shared = IsPostgresStore(where);
    if (!where.empty() && !shared)
        return Fail("--store takes a postgresql:// address");
    if (data.empty() && !shared)
        return Fail(args.Command + " needs --data or --store");
    if (args.Command == "mark-restored" && shared) {
        // A running server keeps the fingerprint it read at start-up.
        PgCloudStore store(where, {});
        if (store.ServingConnections() > 0)
            return Fail("an otCloudServer is serving the database; stop every one first");
        std::string fresh = store.RenewDataFingerprint();
        std::printf("marked the database as restored: new data fingerprint %s\n", fresh.c_str());
        return 0;
    }
    if (args.Command == "mark-restored") {
        if (!std::filesystem::exists(std::filesystem::path(data) / "cloud.db"))
            return Fail("no cloud data in " + data);
        // A running server keeps the fingerprint it read at start-up.
        int lockFd = LockDataDir(data);
        if (lockFd < 0)
            return Fail("an otCloudServer is serving " + data + "; stop it first");
        SqliteCloudStore store(data, {}, false);
        std::string fresh = store.RenewDataFingerprint();
        ::close(lockFd);
        std::printf("marked %s as restored: new data fingerprint %s\n", data.c_str(),
                    fresh.c_str());
        return 0;
    }
    // Account commands may run beside a serving server: they must not reconcile content
    // files, which could belong to an upload in progress.
    auto opened = OpenCloudStore(
        where, shared ? std::filesystem::path() : std::filesystem::path(data), {}, false);
    CloudStore& store = *opened;
    EnsureProgramConsumer(store);
    const std::string user = Value(args, "--user");

    if (args.Command == "add-user" || args.Command == "set-password") {
        if (!ValidUserName(user))
            return Fail("a user name is 1 to 64 letters, digits or . _ - @");
        if (args.Command == "add-user" && store.FindUser(user))
            return Fail("user " + user + " exists already");
        if (args.Command == "set-password" && !store.FindUser(user))
            return Fail("no user " + user);
        std::string password, hash;
        if (!ReadPassword(password))
            return Fail("no password on standard input");
        if (!HashPassword(password, args.Flag("--weak-hash"), hash))
            return Fail("cannot hash the password (out of memory?)");
        sodium_memzero(password.data(), password.size());
        bool ok = args.Command == "add-user" ? store.AddUser(user, hash)
                                             : store.SetPasswordHash(user, hash);
        if (!ok)
            return Fail("cannot store user " + user);
        if (args.Command == "add-user")
            std::printf("added user %s\n", user.c_str());
        else
            std::printf("changed password of %s; its tokens are revoked\n", user.c_str());
        return 0;
    }
    if (args.Command == "list-users") {
        for (const auto& u : store.ListUsers()) {
            auto usage = store.Usage(u.Id);
            std::printf("%s\t%lld bytes\t%lld bytes recycled\n", u.Name.c_str(),
                        static_cast<long long>(usage.Used), static_cast<long long>(usage.Recycled));
        }
        return 0;
    }
    if (args.Command == "add-consumer") {
        std::string key = Value(args, "--key"), secret = Value(args, "--secret");
        if (key.empty() || secret.empty())
            return Fail("add-consumer needs --key and --secret");
        std::string name = args.Values.count("--name") ? Value(args, "--name") : key;
        store.PutConsumer({key, secret, name});
        std::printf("registered consumer %s\n", key.c_str());
        return 0;
    }
    if (args.Command == "issue-token") {
        auto u = store.FindUser(user);
        if (!u)
            return Fail("no user " + user);
        std::string consumer =
            args.Values.count("--key") ? Value(args, "--key") : std::string(ot::ConsumerKey);
        if (!store.FindConsumer(consumer))
            return Fail("no consumer " + consumer);
        auto pair = store.CreateAccessToken(consumer, u->Id, ot::UnixNow(), 0);
        store.AppFolder(u->Id, consumer);
        std::printf("%s\n%s\n", pair.Key.c_str(), pair.Secret.c_str());
        return 0;
    }
    if (args.Command == "revoke-tokens") {
        auto u = store.FindUser(user);
        if (!u)
            return Fail("no user " + user);
        std::printf("revoked %d token(s) of %s\n", store.RevokeTokens(u->Id), user.c_str());
        return 0;
    }
    if (args.Command == "purge-recycle") {
        std::string error;
        std::int64_t days = 0;
        if (!IntOption(args, "--older-than-days", days, error))
            return Fail(error);
        int n = store.PurgeRecycleBin(ot::UnixNow() - days * 86400 + (days == 0 ? 1 : 0));
        std::printf("removed %d recycled entr%s\n", n, n == 1 ? "y" : "ies");
        return 0;
    }
    std::fprintf(stderr, "%s", kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Args args;
    std::string error;
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "help")) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (argc >= 2 && std::string(argv[1]) == "--version") {
        std::printf("otCloudServer %s\n", ot::ProgramVersion());
        return 0;
    }
    if (!ParseArgs(argc, argv, args, error)) {
        std::fprintf(stderr, "otCloudServer: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (sodium_init() < 0)
        return Fail("libsodium cannot be initialised");
    try {
        if (args.Command == "serve")
            return Serve(args);
        if (args.Command == "migrate")
            return Migrate(args);
        return AccountCommand(args);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
