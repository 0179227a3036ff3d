#pragma once
// Everything the desktop program builds of the core, in one place: the
// program directory's layout, the repository, the settings file, the
// synchronization settings, the sync thread and the engine. The windows only
// use it; it outlives them.

#include "app/AppContext.h"
#include "app/AppSettings.h"
#include "app/OtSettingFile.h"
#include "cloud/KuaipanHosts.h"
#include "repository/OtTaskRepository.h"
#include "sync/OtKuaipanAccountBinding.h"
#include "sync/OtKuaipanSyncModel.h"
#include "sync/OtLocalTaskTree.h"
#include "tasks/OtTask.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ot {

class TKuaipanSyncUtility;

class TOtAppCore {
public:
    // The program working in AProgramDir; the cloud hosts are read from
    // that directory too.
    explicit TOtAppCore(const std::string& AProgramDir);
    ~TOtAppCore();
    TOtAppCore(const TOtAppCore&) = delete;
    TOtAppCore& operator=(const TOtAppCore&) = delete;

    const TAppPaths& Paths() const { return FPaths; }
    // Where the installation's cloud lives, read once at start.
    const TKuaipanHosts& KuaipanHosts() const { return FKuaipanHosts; }
    // Every change of the task tree goes through it.
    const TOtTaskRepository& Repository() const { return FRepository; }
    // The one settings object of the program: the windows and the login
    // worker write through it, so no write loses another.
    TOtSettingFile& SettingFile() { return *FSettingFile; }
    bool DatabaseExists() const;
    // Loads the classes and their items (creates the task data directory).
    void LoadTaskClassList(TOtTaskClassList& AList) const;
    // Creates and stores a new class (its directory and queue row).
    TOtTaskClassPtr CreateTaskClass(const std::string& ATitle) const;

    // The values the sync thread and the engine read while they run.
    const std::shared_ptr<TSyncSettings>& SyncSettings() const { return FSyncSettings; }
    void ApplySyncSettings(const TAppSettings& ASettings);

    bool HasAccessToken() const;
    // Deletes a class with its items (directory and queue rows).
    bool DeleteTaskClass(const TOtTaskClassPtr& ATaskClass) const;
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
    std::unique_ptr<TOtSettingFile> FSettingFile;
    std::shared_ptr<TSyncSettings> FSyncSettings;
    std::unique_ptr<TKuaipanSyncThread> FKuaipanSyncThread;
    std::unique_ptr<TKuaipanSyncUtility> FKuaipanSyncUtility;
    std::thread FLoginThread;
    std::atomic<bool> FLoginRunning{false};
};

} // namespace ot
