// The engine: its set-up, the link to its thread, and one pass.

#include "sync/OtKuaipanSyncSteps.h"

#include "cloud/HttpClient.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanException.h"
#include "cloud/KuaipanUtility.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "common/TreeLock.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

namespace ot {

namespace fs = std::filesystem;

TKuaipanSyncUtility::TKuaipanSyncUtility(TKuaipanSyncThread* AKuaipanSyncThread,
                                         TOtLocalTaskTree& ALocalTree, TKuaipanHosts AHosts,
                                         std::shared_ptr<const TSyncSettings> ASettings)
    : FSession(std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, std::move(AHosts))),
      FKuaipanAPI(std::make_unique<TKuaipanAPI>(FSession)), FKuaipanSyncThread(AKuaipanSyncThread),
      FLocalTree(ALocalTree),
      FSettings(ASettings ? std::move(ASettings) : std::make_shared<const TSyncSettings>()) {
    // How fast a pass may go is the service's to say.
    FRowPause = FSession->Hosts().RowPause;
    FKuaipanAPI->SetBackOff([this](std::chrono::seconds pause) {
        _OutputSyncLog(Format("The server asks to slow down: waiting %d s.",
                              static_cast<int>(pause.count())));
        return PauseFor(pause);
    });
    if (auto token = TKuaipanUtility::LoadAuthFile(Paths().AuthFileName))
        FSession->SetAuthToken(token->Key(), token->Secret());
}

TKuaipanSyncUtility::~TKuaipanSyncUtility() = default;

// ---- forwarding to the thread -------------------------------------------

void TKuaipanSyncUtility::_OutputSyncLog(const std::string& ALogStr) {
    if (!FKuaipanSyncThread)
        return;
    FKuaipanSyncThread->OutputSyncLog(ALogStr.empty() ? std::string(">> ")
                                                      : ">> " + ALogStr + "  [" +
                                                            DateTimeToRegionalStr(Now()) + "]");
}

void TKuaipanSyncUtility::_UpdateSyncStatusBar(int AIndex, int ACount, const std::string& AText) {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->UpdateSyncStatusBar(AIndex, ACount, AText);
}

void TKuaipanSyncUtility::_UpdateSyncStatusBar(const std::string& AText) {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->UpdateSyncStatusBar(AText);
}

void TKuaipanSyncUtility::_ShowLogForm() {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->ShowLogForm();
}

void TKuaipanSyncUtility::_HideLogForm() {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->HideLogForm();
}

// ---- account binding ------------------------------------------------------

std::string TKuaipanSyncUtility::GetAuthorizeURL() {
    FLastClockSkew.reset();
    try {
        return FKuaipanAPI->RequestToken();
    } catch (const TKuaipanClockSkewException& e) {
        FLastClockSkew = e;
        return {};
    } catch (...) {
        return {};
    }
}

bool TKuaipanSyncUtility::SetVerifier(const std::string& AVerifier) {
    const std::lock_guard lock(FAccountMutex);
    FLastClockSkew.reset();
    try {
        FKuaipanAPI->AccessToken(AVerifier);
        const auto token = FSession->Token();
        if (!TSession::IsAccessToken(token.get()))
            return false;
        return TKuaipanUtility::SaveAuthFile(TAccessToken(token->Key(), token->Secret()),
                                             Paths().AuthFileName);
    } catch (const TKuaipanClockSkewException& e) {
        FLastClockSkew = e;
        return false;
    } catch (...) {
        return false;
    }
}

bool TKuaipanSyncUtility::TakeAccountFromAuthFile() {
    const std::lock_guard lock(FAccountMutex);
    const auto saved = TKuaipanUtility::LoadAuthFile(Paths().AuthFileName);
    const auto current = FSession->Token();
    if (!saved) {
        // A request token belongs to a login under way: it stays.
        if (TSession::IsAccessToken(current.get()))
            FSession->UnAuth();
        return false;
    }
    if (!current || current->Key() != saved->Key() || current->Secret() != saved->Secret())
        FSession->SetAuthToken(saved->Key(), saved->Secret());
    return true;
}

// ---- stopping and pacing --------------------------------------------------

bool TKuaipanSyncUtility::StopRequested() const {
    return FStopRequested || (FKuaipanSyncThread && FKuaipanSyncThread->Terminated());
}

void TKuaipanSyncUtility::CheckStop() const {
    if (StopRequested())
        throw ESyncStopped();
}

void TKuaipanSyncUtility::PauseAfterRow() {
    PauseFor(FRowPause);
}

bool TKuaipanSyncUtility::PauseFor(std::chrono::milliseconds pause) {
    // Slices, so that a stop request is seen within a short time.
    using namespace std::chrono;
    const auto end = steady_clock::now() + pause;
    while (!StopRequested()) {
        const auto now = steady_clock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, 50ms));
    }
    return false;
}

// ---- the pass ---------------------------------------------------------------

bool TKuaipanSyncUtility::SyncToKuaipan() {
    // The requests of a pass share their connections; none outlives it.
    struct TPassConnections {
        ~TPassConnections() { THttpClient::CloseIdleConnections(); }
    } connections;
    // Other programs on this tree (the command line) wait while the pass
    // runs, and the pass waits for a change they are making.
    const TTreeLock treeLock(Paths().LockFileName, [this] {
        _OutputSyncLog("Waiting for another program to finish changing the task lists ...");
    });
    // A confirmation of deletions is this pass's alone, however it ends.
    const bool allowMassDeletions = std::exchange(FAllowMassDeletions, false);
    std::string allowedDeletionsKey = std::exchange(FAllowedDeletionsKey, {});
    if (!TakeAccountFromAuthFile()) {
        FSummary = {};
        FSummary.Errors = 1;
        _OutputSyncLog("No Kuaipan account is bound: nothing was synchronized.");
        throw TKuaipanAuthExpiredException();
    }
    TPass pass;
    pass.AllowMassDeletions = allowMassDeletions;
    pass.AllowedDeletionsKey = std::move(allowedDeletionsKey);
    // The watermark this pass earns: its start, to the second. A row changed
    // while the pass runs has a later or equal time and is read next time.
    const TDateTime passStart = std::floor(Now() * 86400.0) / 86400.0;

    pass.DB = std::make_unique<TOtSyncQueueDBUtility>(Paths().DBFileName);
    pass.Base = std::make_unique<TOtSyncBase>(Paths().DBFileName);
    if (FSettings->IsShowAppLogFormOnSyncing)
        _ShowLogForm();

    FFailuresInARow = 0;
    bool unreachable = false;
    try {
        Step1(pass);
        Step2(pass);
    } catch (const ESyncServerUnreachable&) {
        unreachable = true;
        ++pass.Errors2;
        _OutputSyncLog(Format("The Kuaipan server cannot be reached: synchronization stopped "
                              "after %d failed operations in a row.",
                              UnreachableAfterFailures));
    } catch (...) {
        FSummary = pass.Summary;
        FSummary.Errors = pass.Errors1 + pass.Errors2 + 1;
        throw;
    }

    const int errors = pass.Errors1 + pass.Errors2;
    FSummary = pass.Summary;
    FSummary.Errors = errors;
    FSummary.Unreachable = unreachable;
    if (errors == 0) {
        _UpdateSyncStatusBar(
            Format("Synchronization finished. [%s]", DateTimeToRegionalStr(Now()).c_str()));
        // A pass that could not read the queue pushed nothing: its rows must
        // still be read next time.
        if (pass.QueueRead && !pass.RowSkipped)
            FLastDateTimeSyncSuccess = passStart;
        // The restored cloud has been filled again: its fingerprint is the
        // one to compare with from now on.
        SaveCloudFingerprint(pass);
    } else {
        _UpdateSyncStatusBar(Format("Synchronization finished with %d error(s).", errors));
    }
    return pass.Step1ListLoaded && pass.Errors1 == 0 && pass.Step2ListLoaded && pass.Errors2 == 0;
}

bool TKuaipanSyncUtility::SyncToKuaipanConfirmingDeletions() {
    const bool ok = SyncToKuaipan();
    const THeldBackDeletions held = FSummary.HeldBack;
    if (held.Empty() || held.Key == FDeclinedDeletionsKey)
        return ok;
    if (!FKuaipanSyncThread || !FKuaipanSyncThread->ConfirmHeldBackDeletions(held)) {
        FDeclinedDeletionsKey = held.Key;
        return ok;
    }
    _OutputSyncLog(Format("The deletion of %d task item(s) was confirmed.", held.Count));
    AllowMassDeletionsOnce(held.Key);
    return SyncToKuaipan();
}

} // namespace ot
