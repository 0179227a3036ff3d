#pragma once
// Simulated computers for synchronization tests. Each TSyncSide has its own
// program directory (task tree, queue database, access-token file), its own
// class list, local task tree, engine and recording observer, and syncs with
// a real otCloudServer.
//
// A side's engine carries its program directory and the hosts of its
// server, so sides of different servers live side by side in one process.
//
// State() describes a side completely and in a canonical order: one line per
// class ("C <DirName>") and per item ("I <DirName>/<FileName> | <remarks>"),
// sorted. The same text is made from the files on disk (DiskState) and from
// the cloud folder (CloudState), so converged sides compare equal as text.

#include "RecordingObserver.h"

#include "cloud/KuaipanAPI.h"
#include "support/CloudServerProcess.h"
#include "support/QueueTestDir.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "syncqueue/OtSyncQueueDBModel.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ot::test {

// IDs made from a counter, for objects a test writes by hand; the sides'
// own changes draw theirs as the programs do (the unique draw).
std::string UniqueTaskID();

// The files of a cloud folder, with their content, as the engine sees them.
struct TCloudEntry {
    std::string FileID;
    TDateTime ModifyTime = 0;
};

// The plain tree, with its Access open to the tests: a change made by a test
// goes through it as the windows' changes go through the user-interface
// thread, so a change from another thread never meets a call of the engine
// half-way.
class TTestTaskTree : public TOtLocalTaskTree {
public:
    using TOtLocalTaskTree::TOtLocalTaskTree;
    void Locked(const std::function<void()>& fn) { Inspect(fn); }
};

class TSyncSide {
public:
    // A new computer of `user` on `server`, with an access token of its own.
    TSyncSide(const std::string& name, CloudServerProcess& server, const std::string& user);
    ~TSyncSide();

    // One pass of the engine in this side's program directory.
    bool Sync();
    // One pass that must not raise; false when it counted errors.
    bool SyncClean();

    // Local changes as the windows make them: through the task operations,
    // which keep the lists in step.
    TOtTaskClassPtr AddClass(const std::string& title);
    TOtTaskItemPtr AddItem(const TOtTaskClassPtr& cls, const std::string& title, int priority = 5,
                           const std::string& remarks = "");
    // change edits the item's fields; a change of class moves it between
    // the lists as the page does.
    void EditItem(const TOtTaskItemPtr& item, const std::function<void(TOtTaskItem&)>& change);
    void DeleteItem(const TOtTaskItemPtr& item);
    void DeleteClass(const TOtTaskClassPtr& cls);

    TOtTaskClassPtr FindClass(const std::string& title) const;
    TOtTaskItemPtr FindItem(const std::string& title) const;

    std::string State() const;     // the lists in memory
    std::string DiskState() const; // the task data directory
    // What a user sees, without IDs: "<class title>/<item title> s<status>
    // p<priority> | <remarks>" and "<class title>/" lines, sorted.
    std::string UserState() const;
    TOtSyncQueueList Queue() const;

    TOtTaskClassList Classes;
    std::shared_ptr<TRecordingObserver> Observer = std::make_shared<TRecordingObserver>();
    std::shared_ptr<TSyncSettings> Settings = std::make_shared<TSyncSettings>();

    // The program directory copied to / restored from another directory, as
    // a user's backup would. Restoring reloads the lists from disk and
    // starts a new engine (as the next program start would).
    void SaveCopy(const std::filesystem::path& ATo) const;
    void RestoreCopy(const std::filesystem::path& AFrom, CloudServerProcess& server);
    // The lists read again from disk with a new engine: the next program start.
    void Restart(CloudServerProcess& server);

    TKuaipanSyncUtility& Engine() { return *FEngine; }
    TKuaipanSyncThread& Thread() { return *FThread; }
    TTestTaskTree& Tree() { return *FTree; }
    const TQueueTestDir& Dir() const { return FDir; }

private:
    TQueueTestDir FDir;
    std::unique_ptr<TTestTaskTree> FTree;
    std::unique_ptr<TKuaipanSyncThread> FThread;
    std::unique_ptr<TKuaipanSyncUtility> FEngine;
};

// The cloud folder of `user` as State() lines, read through the client with a
// token of its own; entries (by cloud path "/Dir/File.tsk") when asked.
std::string CloudState(CloudServerProcess& server, const std::string& user,
                       std::map<std::string, TCloudEntry>* entries = nullptr);
std::string CloudUserState(CloudServerProcess& server, const std::string& user);

// A client of the cloud folder of `user`, with a token of its own.
std::unique_ptr<TKuaipanAPI> CloudClient(CloudServerProcess& server, const std::string& user);
// Empties the cloud folder of `user`.
void WipeCloud(CloudServerProcess& server, const std::string& user);

// Every local object of the side has exactly one settled row (linked to its
// cloud copy by file ID, nothing pending), and there are no other rows.
void ExpectQueueSettled(TSyncSide& side, const std::map<std::string, TCloudEntry>& cloud);

// Both sides and the cloud hold the same tree, in memory and on disk, and
// every row of both queues is settled.
void ExpectConverged(CloudServerProcess& server, const std::string& user, TSyncSide& a,
                     TSyncSide& b);

// The log lines of the observer with the time stamps of engine lines
// replaced by "[T]", from the first line that starts with `from` on.
std::vector<std::string> LogLines(TRecordingObserver& observer);

// One process-wide server for the test program, started on first use.
CloudServerProcess& SharedServer();
// A fresh user of the shared server: an empty cloud folder of its own.
std::string FreshUser();

} // namespace ot::test
