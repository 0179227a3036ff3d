#pragma once
// The background thread that runs synchronization passes: one right after it
// starts, then one every SyncTimeInterval minutes while automatic sync is on,
// and one at once whenever a manual sync is requested. Everything it shows
// goes through a TSyncObserver, whose calls block until the user interface
// has applied them.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ot {

class TKuaipanClockSkewException;

// The status text when the server refused this computer's clock (translated
// by the windows), and the log line that says by how much, when known.
inline constexpr const char* ClockSkewStatus =
    "Synchronization failed: the clock of this computer differs from the server's.";
std::string ClockSkewText(const TKuaipanClockSkewException& AError);

// The three program-wide flags shared between the sync thread and the main
// window. Each is set by one thread and read or cleared by another, without
// a lock.
struct TSyncFlags {
    std::atomic<bool> IsSyncRunning{false};
    std::atomic<bool> IsManualSyncRequested{false};
    std::atomic<bool> IsKuaipanAccountCleared{false};
};

// The flags of this program (the desktop program and the command line use
// these; tests make their own).
TSyncFlags& ProgramSyncFlags();

// The settings values the thread and the engine read, held in memory: the
// settings flow replaces them while the thread runs, never the file.
struct TSyncSettings {
    static constexpr int DefaultSyncTimeInterval = 5;

    std::atomic<bool> IsOpenKuaipanSync{true};
    std::atomic<int> SyncTimeInterval{DefaultSyncTimeInterval}; // minutes
    std::atomic<bool> IsShowAppLogFormOnSyncing{false};
};

// Local deletions taken from the cloud that a pass held back, because they
// would remove most of the synchronized local tree; the user may confirm
// them.
struct THeldBackDeletions {
    int Count = 0;                       // task items
    std::vector<std::string> ListTitles; // the lists they are in, in list order
    std::string Key;                     // names exactly this set of deletions
    bool Empty() const { return Key.empty(); }
};

// What the user sees of synchronization. The desktop program marshals each
// call to its user-interface thread and returns only once it was applied;
// the command line prints. Called on the sync thread.
class TSyncObserver {
public:
    virtual ~TSyncObserver() = default;
    // One line for the log window, already formatted.
    virtual void AddLog(const std::string& line) = 0;
    // The text of the status label.
    virtual void SetStatusText(const std::string& text) = 0;
    // Busy indicator on and the manual-sync button disabled, or the reverse.
    virtual void ShowSyncStatusBar() = 0;
    virtual void HideSyncStatusBar() = 0;
    // Show the log window beside the main window, or hide it.
    virtual void ShowLogForm() = 0;
    virtual void HideLogForm() = 0;
    // Asks whether deletions a pass held back may be applied. An observer
    // that cannot ask answers no: nothing is deleted.
    virtual bool ConfirmHeldBackDeletions(const THeldBackDeletions& AHeld) { return false; }
};

class TKuaipanSyncThread {
public:
    using TSyncPass = std::function<void()>;

    // The thread is created suspended: nothing runs before Start. The
    // observer may be null (nothing is shown).
    TKuaipanSyncThread(std::shared_ptr<TSyncObserver> observer,
                       std::shared_ptr<const TSyncSettings> settings,
                       TSyncFlags& flags = ProgramSyncFlags());
    // Requests termination and waits for the thread body to end.
    ~TKuaipanSyncThread();
    TKuaipanSyncThread(const TKuaipanSyncThread&) = delete;
    TKuaipanSyncThread& operator=(const TKuaipanSyncThread&) = delete;

    // What one pass runs: the engine's SyncToKuaipan. Set before Start.
    void SetSyncPass(TSyncPass pass);
    // Length of one wait tick; one second unless a test shortens it. Set
    // before Start.
    void SetTickLength(std::chrono::milliseconds tick);

    // Starts the thread body; later calls do nothing.
    void Start();
    bool Started() const { return FStarted.load(); }
    // Asks the thread to end: a wait ends at once and a pass stops between
    // two rows or two cloud items. From then on nothing more is shown, so a
    // user interface that waits for the thread cannot deadlock with it.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    // Waits until the thread body has ended (returns at once when it never
    // started).
    void WaitFor();

    // Sets IsManualSyncRequested and ends the current wait at once.
    void RequestManualSync();

    // Passes started since the thread was created.
    int SyncCount() const { return FSyncCount.load(); }
    // Loop rounds completed, with or without a pass.
    int RoundCount() const { return FRoundCount.load(); }
    TSyncFlags& Flags() { return FFlags; }

    // Used on the sync thread by the engine and the loop.
    void OutputSyncLog(const std::string& ALogStr);
    // "%s:  %d/%d" with the text, or "%d/%d" when the text is empty.
    void UpdateSyncStatusBar(int AIndex, int ACount, const std::string& AText);
    void UpdateSyncStatusBar(const std::string& AText);
    void ShowSyncStatusBar();
    void HideSyncStatusBar();
    void ShowLogForm();
    void HideLogForm();
    // The observer's answer; no once the thread is ending.
    bool ConfirmHeldBackDeletions(const THeldBackDeletions& AHeld);

private:
    void Execute();
    // Waits up to ticks ticks; ends early on termination or a manual request.
    void WaitTicks(long ticks);
    template <class F> void Notify(F&& call);

    std::shared_ptr<TSyncObserver> FObserver;
    std::shared_ptr<const TSyncSettings> FSettings;
    TSyncFlags& FFlags;
    TSyncPass FSyncPass;
    std::chrono::milliseconds FTick{1000};

    std::atomic<int> FSyncCount{0};
    std::atomic<int> FRoundCount{0};
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FTerminated{false};
    std::mutex FWaitMutex;
    std::condition_variable FWake;
    std::thread FThread;
};

} // namespace ot
