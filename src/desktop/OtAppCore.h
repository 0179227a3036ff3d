#pragma once
// Everything the desktop program builds of the core, in one place: the
// program directory's layout, the repository, the settings file, the
// synchronization settings, the sync thread and the engine. The windows only
// use it; it outlives them.

#include "app/AppContext.h"
#include "app/AppSettings.h"
#include "app/OtSettingFile.h"
#include "cloud/KuaipanHosts.h"
#include "repository/OtTaskOperations.h"
#include "repository/OtTaskRepository.h"
#include "sync/OtKuaipanAccountBinding.h"
#include "sync/OtKuaipanSyncModel.h"
#include "sync/OtLocalTaskTree.h"
#include "tasks/OtTask.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ot {

class TKuaipanSyncUtility;

class TOtAppCore {
public:
    // The program working in the portable layout of AProgramDir.
    explicit TOtAppCore(const std::string& AProgramDir);
    // The program working on APaths (TAppPaths::ForProgram); the cloud hosts
    // are read from its data root. The per-user data root is prepared first.
    explicit TOtAppCore(const TAppPaths& APaths);
    ~TOtAppCore();
    TOtAppCore(const TOtAppCore&) = delete;
    TOtAppCore& operator=(const TOtAppCore&) = delete;

    const TAppPaths& Paths() const { return FPaths; }
    // Where the installation's cloud lives, read once at start.
    const TKuaipanHosts& KuaipanHosts() const { return FKuaipanHosts; }
    const TOtTaskRepository& Repository() const { return FRepository; }
    // Every change the windows make goes through these. Each takes the tree
    // lock for its length; while a pass of another process (ottodo sync)
    // holds it, the window waits at most TreeLockWait and then refuses the
    // change with a message, rather than freezing for a whole pass.
    const TOtTaskOperations& Operations() const { return FOperations; }
    // Long enough for any command of ottodo and a short pass, short enough
    // that the window never looks hung.
    static constexpr std::chrono::milliseconds TreeLockWait{5000};
    // Called once when an operation starts to wait for another process
    // (the window says so on its status strip).
    void SetTreeWaitNotice(std::function<void()> ANotice) { FTreeWaitNotice = std::move(ANotice); }
    // The one settings object of the program: the windows and the login
    // worker write through it, so no write loses another.
    TOtSettingFile& SettingFile() { return *FSettingFile; }
    bool DatabaseExists() const;
    // Loads the classes and their items (creates the task data directory);
    // the items' remarks are read when first asked for, so a start reads
    // only the files of what it shows.
    void LoadTaskClassList(TOtTaskClassList& AList) const;

    // The values the sync thread and the engine read while they run.
    const std::shared_ptr<TSyncSettings>& SyncSettings() const { return FSyncSettings; }
    void ApplySyncSettings(const TAppSettings& ASettings);

    bool HasAccessToken() const;
    // Removes the bound account's access-token file.
    bool DeleteAuthFile() const;
    // The data consistency check; answers its log lines.
    std::vector<std::string> DoDataCheck(const std::function<void()>& AProcessEvents) const;

    // Binds an account on a worker thread (the network steps block), through
    // the engine; ADone gets the outcome on that thread. Only one login runs
    // at a time: false when one is under way (or there is no engine). Once
    // ACancelled is set no token is exchanged. The thread is waited for
    // before the engine is freed.
    bool StartKuaipanLogin(const std::string& AUsername, const std::string& AUserpwd,
                           std::shared_ptr<std::atomic<bool>> ACancelled,
                           std::function<void(const TKuaipanLoginResult&)> ADone);
    bool IsLoginRunning() const { return FLoginRunning; }

    // The sync thread (created suspended) and the engine on ATree.
    void CreateSyncObjects(TOtLocalTaskTree& ATree, std::shared_ptr<TSyncObserver> AObserver,
                           TSyncFlags& AFlags);
    TKuaipanSyncThread* KuaipanSyncThread() const { return FKuaipanSyncThread.get(); }
    TKuaipanSyncUtility* KuaipanSyncUtility() const { return FKuaipanSyncUtility.get(); }
    // Asks the thread to end and waits for it, running AWhileWaiting (the
    // window's event processing) meanwhile; then frees thread and engine.
    void FreeSyncObjects(const std::function<void()>& AWhileWaiting);

private:
    TAppPaths FPaths;
    TKuaipanHosts FKuaipanHosts;
    TOtTaskRepository FRepository;
    std::function<void()> FTreeWaitNotice;
    TOtTaskOperations FOperations;
    std::unique_ptr<TOtSettingFile> FSettingFile;
    std::shared_ptr<TSyncSettings> FSyncSettings;
    std::unique_ptr<TKuaipanSyncThread> FKuaipanSyncThread;
    std::unique_ptr<TKuaipanSyncUtility> FKuaipanSyncUtility;
    std::thread FLoginThread;
    std::atomic<bool> FLoginRunning{false};
};

} // namespace ot
