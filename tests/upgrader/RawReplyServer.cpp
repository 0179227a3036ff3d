#include "upgrader/RawReplyServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace ot::test {

RawReplyServer::RawReplyServer(std::string reply) : FReply(std::move(reply)) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListen, 16) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen");
    FPort = ntohs(addr.sin_port);
    FThread = std::thread([this] { Serve(); });
}

RawReplyServer::~RawReplyServer() {
    FStop = true;
    FThread.join();
    ::close(FListen);
}

std::string RawReplyServer::LastBody() const {
    std::lock_guard lock(FMutex);
    return FLastBody;
}

std::string RawReplyServer::Ok(const std::string& body, const std::string& type) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

void RawReplyServer::Serve() {
    while (!FStop) {
        pollfd p{FListen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // The head, then as much body as it announces.
        std::string in;
        std::size_t need = std::string::npos;
        char buf[4096];
        while (need == std::string::npos || in.size() < need) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, 2000) <= 0)
                break;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            in.append(buf, static_cast<std::size_t>(n));
            const auto end = in.find("\r\n\r\n");
            if (end != std::string::npos && need == std::string::npos) {
                std::size_t length = 0;
                const auto cl = in.find("Content-Length: ");
                if (cl != std::string::npos && cl < end)
                    length = std::stoul(in.substr(cl + 16));
                need = end + 4 + length;
            }
        }
        {
            std::lock_guard lock(FMutex);
            const auto end = in.find("\r\n\r\n");
            FLastBody = end == std::string::npos ? std::string() : in.substr(end + 4);
        }
        ++FRequests;
        std::string_view out = FReply;
        while (!out.empty()) {
            const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            out.remove_prefix(static_cast<std::size_t>(n));
        }
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}

} // namespace ot::test
