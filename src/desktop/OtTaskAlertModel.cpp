#include "desktop/OtTaskAlertModel.h"

#include "common/Clock.h"
#include "desktop/UnitTaskAlert.h"

#include <chrono>
#include <cmath>

namespace ot {

namespace {
constexpr double kMsPerDay = 86400000.0;
constexpr std::int64_t kBeforeMs = 600 * 1000; // ten minutes before
constexpr std::int64_t kAfterMs = 60 * 1000;   // one minute after
constexpr int kTicksPerRound = 60;

bool IsOpenAndDueToday(const TOtTaskItem& AItem, TDateTime ANow) {
    return AItem.Status() == tsNotCompleted && AItem.ExpirationDate() != 0 &&
           AItem.ExpirationDate() == DateOf(ANow);
}

// The alert moment of the item today.
TDateTime AlertMoment(const TOtTaskItem& AItem, TDateTime ANow) {
    const TDateTime t = AItem.AlertTime() == 0 ? DefaultAlertTime : TimeOf(AItem.AlertTime());
    return DateOf(ANow) + t;
}

std::int64_t Ms(TDateTime ADays) {
    return std::llround(ADays * kMsPerDay);
}
} // namespace

bool IsTaskItemDue(const TOtTaskItem& AItem, TDateTime ANow) {
    if (!IsOpenAndDueToday(AItem, ANow))
        return false;
    const std::int64_t d = Ms(ANow - AlertMoment(AItem, ANow));
    // Whole seconds: fractions are dropped before comparing.
    const std::int64_t s = (d < 0 ? -d : d) / 1000;
    return d <= 0 ? s <= kBeforeMs / 1000 : s <= kAfterMs / 1000;
}

bool IsTaskItemAlertMissed(const TOtTaskItem& AItem, TDateTime APreviousCheck, TDateTime ANow) {
    if (!IsOpenAndDueToday(AItem, ANow) || IsTaskItemDue(AItem, ANow))
        return false;
    const TDateTime t = AlertMoment(AItem, ANow);
    return Ms(ANow - t) > 0 && (APreviousCheck == 0 || Ms(t - APreviousCheck) > kBeforeMs);
}

TOtTaskAlertThread::TOtTaskAlertThread(bool CreateSuspended, TOtTaskClassList& ATaskClassList)
    : FTaskClassList(ATaskClassList) {
    if (!CreateSuspended)
        Start();
}

TOtTaskAlertThread::~TOtTaskAlertThread() {
    Terminate();
    WaitFor({});
    FAlertForm.reset();
}

void TOtTaskAlertThread::Start() {
    if (!FThread.joinable())
        FThread = std::thread([this] { Execute(); });
}

void TOtTaskAlertThread::Terminate() {
    {
        std::lock_guard lock(FMutex);
        FTerminated = true;
    }
    FWake.notify_all();
}

void TOtTaskAlertThread::WaitFor(const std::function<void()>& AWhileWaiting) {
    if (!FThread.joinable())
        return;
    // The thread may be waiting for a call it handed to this thread.
    while (true) {
        {
            std::unique_lock lock(FMutex);
            if (FWake.wait_for(lock, std::chrono::milliseconds(10), [this] { return FEnded; }))
                break;
        }
        if (AWhileWaiting)
            AWhileWaiting();
    }
    FThread.join();
}

void TOtTaskAlertThread::Execute() {
    while (true) {
        {
            std::lock_guard lock(FMutex);
            if (FTerminated)
                break;
        }
        try {
            if (RunOnUIThread)
                RunOnUIThread([this] { Round(); });
            else
                Round();
        } catch (...) {
            // A failed check is forgotten; the next one runs a minute later.
        }
        std::unique_lock lock(FMutex);
        for (int tick = 0; tick < kTicksPerRound && !FTerminated; ++tick)
            FWake.wait_for(lock, std::chrono::seconds(1), [this] { return FTerminated; });
        if (FTerminated)
            break;
    }
    std::lock_guard lock(FMutex);
    FEnded = true;
    FWake.notify_all();
}

void TOtTaskAlertThread::Round() {
    ++FRounds;
    if (!IsOpenTaskAlert || IsOpenTaskAlert())
        DoTaskAlert();
    // With alerts off the time still moves on: switching them on later does
    // not bring back what passed meanwhile.
    FLastCheck = Now();
}

void TOtTaskAlertThread::DoTaskAlert() {
    const TDateTime now = Now();
    FAlertTaskItemList.clear();
    FAlertMoments.clear();
    for (const TOtTaskClassPtr& cls : FTaskClassList)
        for (const TOtTaskItemPtr& item : cls->TaskList()) {
            if (const auto snoozed = FSnoozed.find(item->ID()); snoozed != FSnoozed.end()) {
                if (Ms(now - snoozed->second) < 0)
                    continue;
                const TDateTime until = snoozed->second;
                FSnoozed.erase(snoozed);
                if (item->Status() == tsNotCompleted) {
                    FAlertTaskItemList.push_back(item);
                    FAlertMoments.push_back(until);
                }
                continue;
            }
            if (IsTaskItemDue(*item, now) || IsTaskItemAlertMissed(*item, FLastCheck, now)) {
                FAlertTaskItemList.push_back(item);
                FAlertMoments.push_back(AlertMoment(*item, now));
            }
        }
    FLastCheck = now;
    if (!FAlertTaskItemList.empty()) {
        ShowAlertForm();
        if (OnAlert)
            OnAlert(FAlertTaskItemList, FAlertMoments);
    }
}

void TOtTaskAlertThread::Snooze(const std::string& ATaskID, TDateTime AUntil) {
    FSnoozed[ATaskID] = AUntil;
}

void TOtTaskAlertThread::ShowAlertForm() {
    if (!FAlertForm && CreateAlertForm)
        FAlertForm = CreateAlertForm();
    if (!FAlertForm)
        return;
    FAlertForm->UpdateAlertInfo(FAlertTaskItemList);
    FAlertForm->show();
}

void TOtTaskAlertThread::HideAlertForm() {
    if (FAlertForm)
        FAlertForm->close();
}

} // namespace ot
