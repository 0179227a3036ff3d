#pragma once
// A loopback server that answers every request with the same bytes, sent as
// given and followed by closing the connection: replies the update server
// never gives (odd "success" values, a body cut short).

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace ot::test {

class RawReplyServer {
public:
    explicit RawReplyServer(std::string reply);
    ~RawReplyServer();
    RawReplyServer(const RawReplyServer&) = delete;
    RawReplyServer& operator=(const RawReplyServer&) = delete;

    std::string Host() const { return "http://127.0.0.1:" + std::to_string(FPort); }
    int Requests() const { return FRequests; }
    std::string LastBody() const;

    // A whole reply with status 200 and the given body.
    static std::string Ok(const std::string& body, const std::string& type = "application/json");

private:
    void Serve();

    std::string FReply;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<int> FRequests{0};
    mutable std::mutex FMutex;
    std::string FLastBody;
    std::thread FThread;
};

} // namespace ot::test
