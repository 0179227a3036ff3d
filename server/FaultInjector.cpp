#include "FaultInjector.h"

namespace ot::server {

FaultDecision FaultInjector::OnRequest(const std::string& kind) {
    std::lock_guard lock(FMutex);
    ++FCounters[kind];
    FaultDecision d;
    for (auto it = FRules.begin(); it != FRules.end(); ++it) {
        if (it->Kind != "*" && it->Kind != kind)
            continue;
        if (it->Skip > 0) {
            --it->Skip;
            continue;
        }
        d.Active = true;
        d.Rule = *it;
        if (it->Count > 0 && --it->Count == 0)
            FRules.erase(it);
        break;
    }
    return d;
}

void FaultInjector::Add(const FaultRule& rule) {
    if (rule.Count == 0)
        return;
    std::lock_guard lock(FMutex);
    FRules.push_back(rule);
}

void FaultInjector::Clear() {
    std::lock_guard lock(FMutex);
    FRules.clear();
}

std::map<std::string, std::int64_t> FaultInjector::Counters() const {
    std::lock_guard lock(FMutex);
    return FCounters;
}

void FaultInjector::ResetCounters() {
    std::lock_guard lock(FMutex);
    FCounters.clear();
}

bool ParseFaultAction(const std::string& text, FaultAction& out) {
    static const std::map<std::string, FaultAction> names = {
        {"status", FaultAction::Status},
        {"delay", FaultAction::Delay},
        {"truncate", FaultAction::Truncate},
        {"malformed", FaultAction::Malformed},
    };
    auto it = names.find(text);
    if (it == names.end())
        return false;
    out = it->second;
    return true;
}

bool FaultInjector::Empty() const {
    std::lock_guard lock(FMutex);
    return FRules.empty();
}

} // namespace ot::server
