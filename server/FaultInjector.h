#pragma once
// Test-only fault injection and per-kind request counters of the cloud server.
// Rules are added at run time (through the admin endpoint) and consumed by requests.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ot::server {

enum class FaultAction {
    Status,    // answer the given status with a JSON "msg"
    Delay,     // wait, then handle normally
    Truncate,  // handle, then send only half of the body and close the connection
    Malformed, // handle, then answer a body that is not valid JSON
};

struct FaultRule {
    std::string Kind = "*"; // a request kind, or "*" for every kind
    int Skip = 0;           // matching requests to let through first
    int Count = 1;          // matching requests to affect after that; -1 = all
    FaultAction Action = FaultAction::Status;
    int Status = 500;
    int DelayMs = 0;
    bool AfterHandling = false; // Status only: carry the operation out, then fail the reply
};

struct FaultDecision {
    bool Active = false;
    FaultRule Rule;
};

class FaultInjector {
public:
    // Counts the request and answers the first rule that takes it.
    FaultDecision OnRequest(const std::string& kind);
    void Add(const FaultRule& rule);
    void Clear();
    // Whether no rule is set (every request goes through untouched).
    bool Empty() const;
    std::map<std::string, std::int64_t> Counters() const;
    void ResetCounters();

private:
    mutable std::mutex FMutex;
    std::vector<FaultRule> FRules;
    std::map<std::string, std::int64_t> FCounters;
};

// Parses "status", "delay", "truncate", "malformed".
bool ParseFaultAction(const std::string& text, FaultAction& out);

} // namespace ot::server
