#pragma once
// The service a server benchmark drives: one otCloudServer on SQLite and files (the
// default), one on PostgreSQL, or several on one PostgreSQL database behind nginx, as
// the README lays the last out. Options, taken out of argv:
//
//   --store postgresql   a PostgreSQL of the benchmark's own (initdb in TMPDIR)
//   --store URI          that database (it must be empty)
//   --servers N          N servers on the database, behind nginx (with --nginx BIN)
//   --behind-nginx       nginx in front of the server(s) even when there is one: what
//                        the proxy alone costs
//
// Port() and Hosts() are where clients go: the one server's, or nginx's.

#include "cloud/KuaipanHosts.h"
#include "support/CloudServerProcess.h"
#include "support/PostgresInstance.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ot::bench {

class BenchServers {
public:
    // A loopback port nobody listens on (the kernel's pick, let go at once).
    static int FreePort() {
        int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(probe);
        return ntohs(a.sin_port);
    }

    // Takes its options out of argv (argc shrinks).
    BenchServers(int& argc, char** argv, std::vector<std::string> serverArgs) {
        std::string store;
        int servers = 1;
        bool proxied = false;
        int out = 1;
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--store" && i + 1 < argc)
                store = argv[++i];
            else if (a == "--servers" && i + 1 < argc)
                servers = std::max(1, std::atoi(argv[++i]));
            else if (a == "--behind-nginx")
                proxied = true;
            else
                argv[out++] = argv[i];
        }
        argc = out;
        if (store == "postgresql") {
            std::string why;
            auto* pg = ot::test::PostgresInstance::Shared(why);
            if (!pg)
                throw std::runtime_error(why);
            store = pg->NewDatabase();
        }
        FDescription =
            store.empty() ? "otCloudServer (SQLite and files)" : "otCloudServer (PostgreSQL)";
        if (servers > 1 && store.empty())
            throw std::runtime_error("several servers need --store");
        if (servers > 1 || proxied) {
            // Every request comes from nginx's address.
            serverArgs.insert(serverArgs.end(), {"--max-connections-per-address", "100000"});
        }
        for (int i = 0; i < servers; ++i) {
            ot::test::CloudServerProcess::Options o;
            o.ExtraArgs = serverArgs;
            o.Store = store;
            o.AddUser = i == 0;
            FServers.push_back(std::make_unique<ot::test::CloudServerProcess>(o));
        }
        if (servers > 1 || proxied) {
            FDescription =
                servers > 1 ? std::to_string(servers) + " x otCloudServer (PostgreSQL) behind nginx"
                            : FDescription + " behind nginx";
            StartNginx(NginxBinary());
        }
    }
    ~BenchServers() {
        if (FNginx > 0) {
            ::kill(FNginx, SIGTERM);
            ::waitpid(FNginx, nullptr, 0);
        }
        std::error_code ec;
        if (!FNginxDir.empty())
            std::filesystem::remove_all(FNginxDir, ec);
    }

    const std::string& Description() const { return FDescription; }
    ot::test::CloudServerProcess& First() { return *FServers.front(); }
    int Port() const { return FNginx > 0 ? FNginxPort : FServers.front()->Port(); }
    std::string PlainHost() const { return "127.0.0.1:" + std::to_string(Port()); }
    TKuaipanHosts Hosts() const {
        TKuaipanHosts h = FServers.front()->Hosts();
        if (FNginx > 0) {
            // Only the plain port goes through nginx here; the benchmarks use no other.
            h.Api.Plain = h.Content.Plain = h.Conversion.Plain = h.Site.Plain = PlainHost();
        }
        return h;
    }
    // Each server's pid (for its memory).
    std::vector<pid_t> Pids() const {
        std::vector<pid_t> out;
        for (const auto& s : FServers)
            out.push_back(s->Pid());
        return out;
    }
    std::map<std::string, std::int64_t> Counters() const {
        std::map<std::string, std::int64_t> sum;
        for (const auto& s : FServers)
            for (const auto& [k, v] : s->Counters())
                sum[k] += v;
        return sum;
    }
    void ResetCounters() {
        for (const auto& s : FServers)
            s->ResetCounters();
    }

private:
    static std::string NginxBinary() {
        for (const char* b : {"/usr/sbin/nginx", "/usr/bin/nginx"})
            if (::access(b, X_OK) == 0)
                return b;
        throw std::runtime_error("several servers need nginx (apt-get install nginx)");
    }
    // nginx in the foreground, as the README's plain-port part has it.
    void StartNginx(const std::string& binary) {
        char tmpl[] = "/tmp/ot-bench-nginx-XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        FNginxDir = tmpl;
        std::filesystem::permissions(FNginxDir, std::filesystem::perms::owner_all |
                                                    std::filesystem::perms::group_read |
                                                    std::filesystem::perms::group_exec |
                                                    std::filesystem::perms::others_read |
                                                    std::filesystem::perms::others_exec);
        FNginxPort = FreePort();
        std::string upstream;
        for (const auto& s : FServers)
            upstream += "    server 127.0.0.1:" + std::to_string(s->Port()) +
                        " max_fails=1 fail_timeout=5s;\n";
        const std::string d = FNginxDir.string();
        const std::string conf =
            "daemon off;\nmaster_process on;\nworker_processes auto;\npid " + d +
            "/nginx.pid;\nerror_log " + d +
            "/error.log warn;\nevents { worker_connections 4096; }\n"
            "http {\n  access_log off;\n  client_body_temp_path " +
            d +
            "/body;\n"
            "  proxy_temp_path " +
            d + "/proxy;\n  fastcgi_temp_path " + d +
            "/fcgi;\n"
            "  uwsgi_temp_path " +
            d + "/uwsgi;\n  scgi_temp_path " + d +
            "/scgi;\n"
            "  upstream otcloud_plain {\n" +
            upstream +
            "    keepalive 32;\n  }\n"
            "  server {\n    listen 127.0.0.1:" +
            std::to_string(FNginxPort) +
            ";\n"
            "    client_max_body_size 65m;\n    keepalive_requests 100000;\n"
            "    location / {\n      proxy_pass http://otcloud_plain;\n"
            "      proxy_http_version 1.1;\n      proxy_set_header Host $http_host;\n"
            "      proxy_set_header Connection \"\";\n      proxy_request_buffering off;\n"
            "      proxy_next_upstream error timeout;\n    }\n  }\n}\n";
        const std::string confFile = d + "/nginx.conf";
        FILE* f = std::fopen(confFile.c_str(), "w");
        if (!f)
            throw std::runtime_error("cannot write " + confFile);
        std::fputs(conf.c_str(), f);
        std::fclose(f);
        FNginx = ::fork();
        if (FNginx == 0) {
            const std::string log = d + "/stderr.log";
            std::freopen(log.c_str(), "w", stderr);
            ::execl(binary.c_str(), binary.c_str(), "-c", confFile.c_str(), "-p", d.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(FNginxPort));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (up)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        throw std::runtime_error("nginx did not start; see " + d);
    }

    std::string FDescription;
    std::vector<std::unique_ptr<ot::test::CloudServerProcess>> FServers;
    std::filesystem::path FNginxDir;
    int FNginxPort = 0;
    pid_t FNginx = -1;
};

} // namespace ot::bench
