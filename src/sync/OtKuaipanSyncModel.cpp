#include "sync/OtKuaipanSyncModel.h"

#include "cloud/KuaipanException.h"

#include "common/Text.h"

#include <exception>

namespace ot {

std::string ClockSkewText(const TKuaipanClockSkewException& AError) {
    if (!AError.OffsetSeconds)
        return "The Kuaipan server refused the time of this computer: its clock differs from the "
               "server's. Set the clock right and synchronize again.";
    // The offset is the server's time minus this computer's.
    const long long offset = *AError.OffsetSeconds;
    const long long minutes = ((offset < 0 ? -offset : offset) + 30) / 60;
    return Format("The Kuaipan server refused the time of this computer: its clock is %lld "
                  "minute(s) %s the server's. Set the clock right and synchronize again.",
                  minutes, offset < 0 ? "ahead of" : "behind");
}

TSyncFlags& ProgramSyncFlags() {
    static TSyncFlags flags;
    return flags;
}

TKuaipanSyncThread::TKuaipanSyncThread(std::shared_ptr<TSyncObserver> observer,
                                       std::shared_ptr<const TSyncSettings> settings,
                                       TSyncFlags& flags)
    : FObserver(std::move(observer)),
      FSettings(settings ? std::move(settings) : std::make_shared<const TSyncSettings>()),
      FFlags(flags) {}

TKuaipanSyncThread::~TKuaipanSyncThread() {
    Terminate();
    WaitFor();
}

void TKuaipanSyncThread::SetSyncPass(TSyncPass pass) {
    FSyncPass = std::move(pass);
}

void TKuaipanSyncThread::SetTickLength(std::chrono::milliseconds tick) {
    FTick = tick.count() > 0 ? tick : std::chrono::milliseconds(1);
}

void TKuaipanSyncThread::Start() {
    if (FStarted.exchange(true))
        return;
    FThread = std::thread([this] { Execute(); });
}

void TKuaipanSyncThread::Terminate() {
    {
        std::lock_guard lock(FWaitMutex);
        FTerminated = true;
    }
    FWake.notify_all();
}

void TKuaipanSyncThread::WaitFor() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}

void TKuaipanSyncThread::RequestManualSync() {
    {
        std::lock_guard lock(FWaitMutex);
        FFlags.IsManualSyncRequested = true;
    }
    FWake.notify_all();
}

template <class F> void TKuaipanSyncThread::Notify(F&& call) {
    if (FObserver && !FTerminated)
        call(*FObserver);
}

void TKuaipanSyncThread::OutputSyncLog(const std::string& ALogStr) {
    Notify([&](TSyncObserver& o) { o.AddLog(ALogStr); });
}

void TKuaipanSyncThread::UpdateSyncStatusBar(int AIndex, int ACount, const std::string& AText) {
    UpdateSyncStatusBar(AText.empty() ? Format("%d/%d", AIndex, ACount)
                                      : Format("%s:  %d/%d", AText.c_str(), AIndex, ACount));
}

void TKuaipanSyncThread::UpdateSyncStatusBar(const std::string& AText) {
    Notify([&](TSyncObserver& o) { o.SetStatusText(AText); });
}

void TKuaipanSyncThread::ShowSyncStatusBar() {
    Notify([](TSyncObserver& o) { o.ShowSyncStatusBar(); });
}

void TKuaipanSyncThread::HideSyncStatusBar() {
    Notify([](TSyncObserver& o) { o.HideSyncStatusBar(); });
}

void TKuaipanSyncThread::ShowLogForm() {
    Notify([](TSyncObserver& o) { o.ShowLogForm(); });
}

void TKuaipanSyncThread::HideLogForm() {
    Notify([](TSyncObserver& o) { o.HideLogForm(); });
}

bool TKuaipanSyncThread::ConfirmHeldBackDeletions(const THeldBackDeletions& AHeld) {
    bool confirmed = false;
    Notify([&](TSyncObserver& o) { confirmed = o.ConfirmHeldBackDeletions(AHeld); });
    return confirmed;
}

void TKuaipanSyncThread::WaitTicks(long ticks) {
    std::unique_lock lock(FWaitMutex);
    for (long i = 0; i < ticks; ++i) {
        if (FTerminated)
            return;
        // A manual request or termination wakes the wait at once; otherwise
        // the flag, which the main window may set without notifying, is
        // looked at after every tick.
        FWake.wait_for(lock, FTick, [this] {
            return FTerminated.load() || FFlags.IsManualSyncRequested.load();
        });
        if (FFlags.IsManualSyncRequested)
            return;
    }
}

void TKuaipanSyncThread::Execute() {
    // The interval is taken once: a changed setting applies at the next
    // start. A stored value below one minute would make the thread spin.
    int minutes = FSettings->SyncTimeInterval.load();
    if (minutes < 1)
        minutes = TSyncSettings::DefaultSyncTimeInterval;
    const long waitTicks = static_cast<long>(minutes) * 60;

    while (!FTerminated) {
        FFlags.IsSyncRunning = true;
        if ((FSettings->IsOpenKuaipanSync && !FFlags.IsKuaipanAccountCleared) ||
            FFlags.IsManualSyncRequested) {
            FFlags.IsManualSyncRequested = false;
            const int count = ++FSyncCount;
            OutputSyncLog(Format("Sync Count: %d", count));
            try {
                ShowSyncStatusBar();
                if (FSyncPass)
                    FSyncPass();
                HideSyncStatusBar();
            } catch (const TKuaipanClockSkewException& e) {
                OutputSyncLog(ClockSkewText(e));
                UpdateSyncStatusBar(ClockSkewStatus);
                HideSyncStatusBar();
            } catch (const std::exception& e) {
                OutputSyncLog(Format("An error occurred. %s", e.what()));
                UpdateSyncStatusBar("An error occurred.");
                HideSyncStatusBar();
            } catch (...) {
                OutputSyncLog("An error occurred. ");
                UpdateSyncStatusBar("An error occurred.");
                HideSyncStatusBar();
            }
            if (FSettings->IsOpenKuaipanSync)
                OutputSyncLog(Format("The next sync will be in %d minutes.",
                                     static_cast<int>(waitTicks / 60)));
            OutputSyncLog("");
        }
        FFlags.IsSyncRunning = false;
        ++FRoundCount;
        WaitTicks(waitTicks);
    }
}

} // namespace ot
