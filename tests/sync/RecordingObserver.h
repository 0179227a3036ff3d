#pragma once
// An observer of the sync thread that records every call in order, as
// "log:<line>", "status:<text>", "show", "hide", "showlog", "hidelog",
// "confirm:<count> in <list>|<list>...".

#include "sync/OtKuaipanSyncModel.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ot::test {

class TRecordingObserver : public TSyncObserver {
public:
    void AddLog(const std::string& line) override {
        Push("log:" + line);
        if (OnLog)
            OnLog(line);
    }
    // Called on the pass's thread after each log line: lets a test act at a
    // chosen point of a pass.
    std::function<void(const std::string&)> OnLog;
    void SetStatusText(const std::string& text) override { Push("status:" + text); }
    void ShowSyncStatusBar() override { Push("show"); }
    void HideSyncStatusBar() override { Push("hide"); }
    void ShowLogForm() override { Push("showlog"); }
    void HideLogForm() override { Push("hidelog"); }
    // Answers the question about held-back deletions (no when unset).
    std::function<bool()> OnConfirm;
    bool ConfirmHeldBackDeletions(const THeldBackDeletions& AHeld) override {
        std::string e = "confirm:" + std::to_string(AHeld.Count) + " in ";
        for (std::size_t i = 0; i < AHeld.ListTitles.size(); ++i)
            e += (i ? "|" : "") + AHeld.ListTitles[i];
        Push(std::move(e));
        return OnConfirm && OnConfirm();
    }

    std::vector<std::string> Events() {
        std::lock_guard lock(FMutex);
        return FEvents;
    }
    void Clear() {
        std::lock_guard lock(FMutex);
        FEvents.clear();
    }
    // Waits until `count` events equal to `event` have been seen.
    bool WaitFor(const std::string& event, int count,
                 std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(FMutex);
        return FChanged.wait_for(lock, timeout, [&] {
            return std::count(FEvents.begin(), FEvents.end(), event) >= count;
        });
    }

private:
    void Push(std::string e) {
        {
            std::lock_guard lock(FMutex);
            FEvents.push_back(std::move(e));
        }
        FChanged.notify_all();
    }
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<std::string> FEvents;
};

} // namespace ot::test
