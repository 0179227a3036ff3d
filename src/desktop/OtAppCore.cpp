#include "desktop/OtAppCore.h"

#include "cloud/KuaipanUtility.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "syncqueue/OtTaskDataCheckUtility.h"
#include "tasks/OtTaskUtility.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>

namespace ot {

namespace {

// Runs before anything below the data root is opened, so its directories
// are made private rather than by whichever file comes first.
const TAppPaths& Prepared(const TAppPaths& APaths) {
    std::string error;
    if (!APaths.PrepareDataRoot(&error))
        std::fprintf(stderr, "otTodolist: %s\n", error.c_str());
    return APaths;
}

} // namespace

TOtAppCore::TOtAppCore(const std::string& AProgramDir)
    : TOtAppCore(TAppPaths::FromProgramDir(AProgramDir)) {}

TOtAppCore::TOtAppCore(const TAppPaths& APaths)
    : FPaths(Prepared(APaths)),
      FKuaipanHosts(TKuaipanHosts::FromProgramDir(FPaths.DataRoot)), FRepository(FPaths),
      FOperations(FRepository, {TreeLockWait,
                                [this] {
                                    if (FTreeWaitNotice)
                                        FTreeWaitNotice();
                                }}),
      FSyncSettings(std::make_shared<TSyncSettings>()) {
    FSettingFile = std::make_unique<TOtSettingFile>(FPaths.SettingFileName);
}

TOtAppCore::~TOtAppCore() {
    FreeSyncObjects({});
}

bool TOtAppCore::DatabaseExists() const {
    std::error_code ec;
    return std::filesystem::is_regular_file(FPaths.DBFileName, ec);
}

void TOtAppCore::LoadTaskClassList(TOtTaskClassList& AList) const {
    TOtTaskUtility::LoadTaskClassList(FPaths.TaskDataPath, AList,
                                      TTaskLoadDepth::tldItemsRemarksDeferred);
}

void TOtAppCore::ApplySyncSettings(const TAppSettings& ASettings) {
    FSyncSettings->IsOpenKuaipanSync = ASettings.IsOpenKuaipanSync;
    FSyncSettings->SyncTimeInterval = ASettings.SyncTimeInterval;
    FSyncSettings->IsShowAppLogFormOnSyncing = ASettings.IsShowAppLogFormOnSyncing;
}

bool TOtAppCore::HasAccessToken() const {
    return TKuaipanUtility::LoadAuthFile(FPaths.AuthFileName) != nullptr;
}

bool TOtAppCore::DeleteAuthFile() const {
    std::error_code ec;
    std::filesystem::remove(FPaths.AuthFileName, ec);
    return !ec;
}

std::vector<std::string>
TOtAppCore::DoDataCheck(const std::function<void()>& AProcessEvents) const {
    TOtTaskDataCheck check(FPaths, AProcessEvents);
    check.DoDataCheck();
    return check.Logs();
}

bool TOtAppCore::StartKuaipanLogin(const std::string& AUsername, const std::string& AUserpwd,
                                   std::shared_ptr<std::atomic<bool>> ACancelled,
                                   std::function<void(const TKuaipanLoginResult&)> ADone) {
    if (!FKuaipanSyncUtility || FLoginRunning.exchange(true))
        return false;
    if (FLoginThread.joinable())
        FLoginThread.join();
    FLoginThread = std::thread([this, AUsername, AUserpwd, cancelled = std::move(ACancelled),
                                done = std::move(ADone)] {
        TKuaipanLoginResult result;
        try {
            // The windows' object: its writes and these never overlap.
            TOtSettingFile& settings = *FSettingFile;
            const TKuaipanLinkStore store{
                FPaths.DBFileName, [&] { return settings.ReadString(KuaipanLinkedAccountKey, ""); },
                [&](const std::string& id) { settings.WriteString(KuaipanLinkedAccountKey, id); }};
            result =
                KuaipanLogin(*FKuaipanSyncUtility, AUsername, AUserpwd, store, cancelled.get());
        } catch (const std::exception& e) {
            result = {TKuaipanLoginResult::lrAuthoriseFailed, e.what()};
        }
        done(result);
        FLoginRunning = false;
    });
    return true;
}

void TOtAppCore::CreateSyncObjects(TOtLocalTaskTree& ATree,
                                   std::shared_ptr<TSyncObserver> AObserver, TSyncFlags& AFlags) {
    FKuaipanSyncThread =
        std::make_unique<TKuaipanSyncThread>(std::move(AObserver), FSyncSettings, AFlags);
    FKuaipanSyncUtility = std::make_unique<TKuaipanSyncUtility>(FKuaipanSyncThread.get(), ATree,
                                                                FKuaipanHosts, FSyncSettings);
    FKuaipanSyncThread->SetSyncPass(
        [engine = FKuaipanSyncUtility.get()] { engine->SyncToKuaipanConfirmingDeletions(); });
}

void TOtAppCore::FreeSyncObjects(const std::function<void()>& AWhileWaiting) {
    // A login still under way uses the engine.
    if (FLoginThread.joinable()) {
        while (FLoginRunning) {
            if (AWhileWaiting)
                AWhileWaiting();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FLoginThread.join();
    }
    if (FKuaipanSyncThread) {
        FKuaipanSyncThread->Terminate();
        if (FKuaipanSyncThread->Started()) {
            auto ended = std::async(std::launch::async,
                                    [thread = FKuaipanSyncThread.get()] { thread->WaitFor(); });
            while (ended.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
                if (AWhileWaiting)
                    AWhileWaiting();
        }
    }
    // The engine refers to the thread: it goes first.
    FKuaipanSyncUtility.reset();
    FKuaipanSyncThread.reset();
}

} // namespace ot
