// otUpdateServer command line: serve a root folder, publish packages into it,
// list the usage records it received.

#include "ServerConfig.h"
#include "StopSignals.h"
#include "UpdateServer.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "common/Version.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <pthread.h>
#include <thread>

namespace {

using namespace ot::server;

const char* const kUsage = R"(usage: otUpdateServer <command> [options] [--config FILE]
       otUpdateServer --version

Every option may also stand in the file of --config, one "name = value" a line
without the "--" ("port = 8090", "quiet = yes"); the command line wins over it.

commands:
  serve    --root DIR [--bind ADDR] [--port N] [--ports-file FILE] [--quiet]
           [--max-connections N] [--max-connections-per-address N]
           [--max-usage-records N] [--usage-per-address-per-hour N]
      Serves the update lists and packages below DIR and records the usage records
      posted to it (DIR/usage.db), on plain HTTP at --bind (default 127.0.0.1) and
      --port (default 8090; 0 picks a free port, printed and, with --ports-file,
      written there as JSON). At most --max-connections (default 1024; near it the
      longest idle one is closed) are open at once, --max-connections-per-address
      (default 32; an IPv6 /64 is one address) from one address. At most
      --max-usage-records (default 100000) usage records are kept, later ones are
      refused; one address may send --usage-per-address-per-hour (default 20).
  publish  --root DIR --key SECRETKEYFILE --from FOLDER --name NAME --version VERSION
           [--title TITLE] [--date TEXT] [--detail TEXT] [--dependence TEXT]
           [--url-base URL]
      Packs the files below FOLDER (paths kept) into DIR/packages/NAME-VERSION.zip,
      signs its SHA-256 with NAME and VERSION by the publisher's secret key, and
      adds the entry to the list of every language (replacing an entry of the same
      name). --url-base is the address the programs fetch packages from (default
      http://127.0.0.1:8090). "||" in --detail is a line break.
  usage    --root DIR
      Prints the usage records received, one a line, tab-separated; a backslash, a tab,
      a line break or any other control character in a field is printed escaped
      (\\, \t, \n, \r, \xHH).
)";

struct Args {
    std::string Command;
    std::map<std::string, std::string> Values;
    bool Quiet = false;
};

bool ParseArgs(int argc, char** argv, Args& out, std::string& error) {
    static const char* const valued[] = {"--root",
                                         "--bind",
                                         "--port",
                                         "--ports-file",
                                         "--key",
                                         "--from",
                                         "--name",
                                         "--version",
                                         "--title",
                                         "--date",
                                         "--detail",
                                         "--dependence",
                                         "--url-base",
                                         "--max-connections",
                                         "--max-connections-per-address",
                                         "--max-usage-records",
                                         "--usage-per-address-per-hour"};
    if (argc < 2) {
        error = "no command";
        return false;
    }
    out.Command = argv[1];
    // The options of a --config file first; the command line's replace them.
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::string(argv[i]) != "--config")
            continue;
        std::vector<ConfigEntry> entries;
        if (!ReadConfigFile(argv[i + 1], entries, error))
            return false;
        for (const ConfigEntry& e : entries) {
            const std::string where = std::string(argv[i + 1]) + ":" + std::to_string(e.Line) + ": ";
            if (e.Option == "--quiet") {
                if (!ConfigSwitch(e.Value, out.Quiet)) {
                    error = where + "quiet takes yes or no";
                    return false;
                }
            } else if (std::find(std::begin(valued), std::end(valued), e.Option) !=
                       std::end(valued)) {
                out.Values[e.Option] = e.Value;
            } else {
                error = where + "unknown option " + e.Option.substr(2);
                return false;
            }
        }
    }
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quiet") {
            out.Quiet = true;
            continue;
        }
        if (a == "--config") {
            ++i;
            continue;
        }
        if (std::find(std::begin(valued), std::end(valued), a) == std::end(valued)) {
            error = "unknown option " + a;
            return false;
        }
        if (i + 1 >= argc) {
            error = a + " needs a value";
            return false;
        }
        out.Values[a] = argv[++i];
    }
    return true;
}

std::string Value(const Args& args, const std::string& name, const std::string& def = {}) {
    auto it = args.Values.find(name);
    return it == args.Values.end() ? def : it->second;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "otUpdateServer: %s\n", message.c_str());
    return 1;
}

int Serve(const Args& args) {
    UpdateServerOptions o;
    o.Root = Value(args, "--root");
    if (o.Root.empty())
        return Fail("serve needs --root");
    o.Bind = Value(args, "--bind", o.Bind);
    const std::string port = Value(args, "--port", std::to_string(o.Port));
    const auto p = ot::ParseInt32(port);
    if (!p || *p < 0 || *p > 65535)
        return Fail("--port needs a port number");
    o.Port = *p;
    for (auto [name, limit] : {std::pair{"--max-connections", &o.Http.MaxConnections},
                               std::pair{"--max-connections-per-address", &o.Http.MaxPerAddress}}) {
        const auto n = ot::ParseInt32(Value(args, name, std::to_string(*limit)));
        if (!n || *n < 1)
            return Fail(std::string(name) + " needs a number");
        *limit = static_cast<std::size_t>(*n);
    }
    const auto maxRecords =
        ot::ParseInt64(Value(args, "--max-usage-records", std::to_string(o.MaxUsageRecords)));
    const auto perHour = ot::ParseInt32(
        Value(args, "--usage-per-address-per-hour", std::to_string(o.UsagePerAddressPerHour)));
    if (!maxRecords || *maxRecords < 0 || !perHour || *perHour < 0)
        return Fail("--max-usage-records and --usage-per-address-per-hour need numbers");
    o.MaxUsageRecords = *maxRecords;
    o.UsagePerAddressPerHour = static_cast<std::size_t>(*perHour);
    o.Quiet = args.Quiet;
    o.Http.IoThreads = 1;
    o.Http.WorkerThreads = 2;
    std::error_code ec;
    std::filesystem::create_directories(o.Root, ec);

    const sigset_t stopSignals = ot::BlockStopSignals();
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();

    std::unique_ptr<UpdateServer> server;
    std::string error;
    try {
        server = std::make_unique<UpdateServer>(o);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    if (!server->Bind(error))
        return Fail(error);
    const std::string portsFile = Value(args, "--ports-file");
    const nlohmann::ordered_json ports = {{"bind", o.Bind}, {"port", server->Port()}};
    if (!portsFile.empty() && !ot::WriteFileAtomic(portsFile, ports.dump() + "\n", 0644, &error))
        return Fail(error);
    std::printf("otUpdateServer: serving %s on http://%s:%d\n", o.Root.c_str(), o.Bind.c_str(),
                server->Port());
    std::fflush(stdout);

    ot::RunUntilStopSignal(*server, stopSignals);
    return 0;
}

int PublishCommand(const Args& args) {
    PublishRequest r;
    r.Root = Value(args, "--root");
    r.From = Value(args, "--from");
    r.SecretKeyFile = Value(args, "--key");
    r.Name = Value(args, "--name");
    r.Version = Value(args, "--version");
    if (r.Root.empty() || r.From.empty() || r.SecretKeyFile.empty() || r.Name.empty() ||
        r.Version.empty())
        return Fail("publish needs --root, --key, --from, --name and --version");
    r.Title = Value(args, "--title", r.Name);
    r.UpgradeDate = Value(args, "--date");
    r.Detail = Value(args, "--detail");
    r.Dependence = Value(args, "--dependence");
    r.UrlBase = Value(args, "--url-base", "http://127.0.0.1:8090");
    std::string error;
    if (!Publish(r, error))
        return Fail(error);
    std::printf("published %s %s\n", r.Name.c_str(), r.Version.c_str());
    return 0;
}

int UsageCommand(const Args& args) {
    const std::string root = Value(args, "--root");
    if (root.empty())
        return Fail("usage needs --root");
    UsageLog log(root);
    for (const auto& u : log.All())
        std::printf("%lld\t%s\t%s\t%s\t%s\t%s\n", static_cast<long long>(u.Received),
                    EscapeUsageField(u.Guid).c_str(), EscapeUsageField(u.AppName).c_str(),
                    EscapeUsageField(u.AppVer).c_str(), EscapeUsageField(u.AuthType).c_str(),
                    EscapeUsageField(u.OsSysInfo).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "help")) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (argc >= 2 && std::string(argv[1]) == "--version") {
        std::printf("otUpdateServer %s\n", ot::ProgramVersion());
        return 0;
    }
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, args, error)) {
        std::fprintf(stderr, "otUpdateServer: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    try {
        if (args.Command == "serve")
            return Serve(args);
        if (args.Command == "publish")
            return PublishCommand(args);
        if (args.Command == "usage")
            return UsageCommand(args);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    std::fprintf(stderr, "%s", kUsage);
    return 2;
}
