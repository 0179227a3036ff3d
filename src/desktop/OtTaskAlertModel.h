#pragma once
// TOtTaskAlertThread: once a minute it looks through the whole task tree for
// open tasks due today whose alert time is near, and shows them in the alert
// window. The thread only keeps the rhythm: each round's check runs on the
// user-interface thread (RunOnUIThread), so it never reads the tree while
// the windows change it, and the window is only touched there.
//
// Reminders that fell into a gap are not lost: a task whose alert period
// passed while no check ran (the program was not running, or the machine
// was asleep) is shown at the next check, once.
//
// A snoozed task is left out of the checks until its time comes; the first
// check after that shows it once more.

#include "common/DateTime.h"
#include "tasks/OtTask.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ot {

class TfrmTaskAlert;

// Default alert time of a task without one: 09:00.
inline constexpr double DefaultAlertTime = 9.0 / 24.0;

// The alert rule: open, due today, and the time of day of ANow at most ten
// minutes before the alert time or at most one minute after it (whole
// seconds).
bool IsTaskItemDue(const TOtTaskItem& AItem, TDateTime ANow);
// The alert period of an open task due today ended before ANow, and the
// previous check (APreviousCheck, 0 for none) came before it began: nobody
// was told.
bool IsTaskItemAlertMissed(const TOtTaskItem& AItem, TDateTime APreviousCheck, TDateTime ANow);

class TOtTaskAlertThread {
public:
    TOtTaskAlertThread(bool CreateSuspended, TOtTaskClassList& ATaskClassList);
    // Requests termination, waits for the thread, frees the window.
    ~TOtTaskAlertThread();
    TOtTaskAlertThread(const TOtTaskAlertThread&) = delete;
    TOtTaskAlertThread& operator=(const TOtTaskAlertThread&) = delete;

    // Set before Start. RunOnUIThread runs a call on the user-interface
    // thread and returns when it has completed; IsOpenTaskAlert reads the
    // setting afresh; CreateAlertForm makes the window on first use;
    // OnAlert hears about every check that found something.
    std::function<void(const std::function<void()>&)> RunOnUIThread;
    std::function<bool()> IsOpenTaskAlert;
    std::function<std::unique_ptr<TfrmTaskAlert>()> CreateAlertForm;
    // OnAlert gets the due items and, for each, the moment it is due at
    // (its alert time today, or the end of its snooze).
    std::function<void(const TOtTaskItemList&, const std::vector<TDateTime>&)> OnAlert;

    void Start();
    bool Started() const { return FThread.joinable(); }
    void Terminate();
    // Waits for the thread to end, running AWhileWaiting meanwhile.
    void WaitFor(const std::function<void()>& AWhileWaiting);

    // One round as the thread runs it (on the user-interface thread).
    void Round();
    // One check: collects the due (and missed) items; shows the window when
    // any were found.
    void DoTaskAlert();
    void ShowAlertForm();
    void HideAlertForm();
    // Leaves the task with ID ATaskID out of the checks until AUntil. Called
    // on the user-interface thread, where the checks run too.
    void Snooze(const std::string& ATaskID, TDateTime AUntil);
    bool IsSnoozed(const std::string& ATaskID) const { return FSnoozed.count(ATaskID) != 0; }

    const TOtTaskItemList& AlertTaskItemList() const { return FAlertTaskItemList; }
    TfrmTaskAlert* AlertForm() const { return FAlertForm.get(); }
    int Rounds() const { return FRounds; }

private:
    void Execute();

    TOtTaskClassList& FTaskClassList;
    TOtTaskItemList FAlertTaskItemList;
    std::vector<TDateTime> FAlertMoments;
    std::map<std::string, TDateTime> FSnoozed;
    std::unique_ptr<TfrmTaskAlert> FAlertForm;
    TDateTime FLastCheck = 0;
    int FRounds = 0;
    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FWake;
    bool FTerminated = false;
    bool FEnded = false;
};

} // namespace ot
