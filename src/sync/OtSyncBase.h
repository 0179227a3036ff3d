#pragma once
// What the engine remembers between passes beside the queue, in two tables
// of the queue database that only the engine uses:
//
// - [SyncBase]: per synchronized task, the state both sides last agreed on
//   (its list directory, file name, a hash of its content, and the cloud
//   file's revision and time). A pass tells from it which side changed what,
//   and makes every push conditional on the cloud version it is based on.
// - [SyncState]: a few named values, such as the cloud's data fingerprint
//   last seen.
//
// Both tables are made on first use. A database that cannot take them (read
// only) leaves the engine without a base: it then decides from the queue
// alone, as before the tables existed.

#include "sync/OtSyncPlanner.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ot {

class TSQLiteDB;

struct TSyncBaseRecord {
    TSyncTaskState State;
    std::string Rev; // the cloud file's revision; empty when not known
};

class TOtSyncBase {
public:
    explicit TOtSyncBase(const std::string& ADBFileName);
    ~TOtSyncBase();
    TOtSyncBase(const TOtSyncBase&) = delete;
    TOtSyncBase& operator=(const TOtSyncBase&) = delete;

    // False when the tables could not be made or read: nothing is recorded.
    bool Available() const { return FDB != nullptr; }

    std::optional<TSyncBaseRecord> Find(const std::string& AID) const;
    // Records (or replaces) the base of a task. The writes are gathered and
    // made a few dozen at a time in one transaction (and at Flush or the
    // end of the object): a pass records one base per task it moves, and a
    // transaction each would cost more than the rest of the bookkeeping.
    // Answers false on a database error: the next pass then decides from
    // the queue, which is safe; so is a base lost to a crash before it was
    // written.
    bool Record(const std::string& AID, const TSyncBaseRecord& ARecord);
    bool Forget(const std::string& AID);
    bool Flush();
    // A list renamed: its tasks' bases follow it.
    bool RenameClassPath(const std::string& AFrom, const std::string& ATo);
    // Every task with a base, by ID.
    std::map<std::string, TSyncBaseRecord> All() const;

    std::string Value(const std::string& AName) const;
    bool SetValue(const std::string& AName, const std::string& AValue);

private:
    std::unique_ptr<TSQLiteDB> FDB;
    // Read at once: a pass asks for many tasks.
    std::map<std::string, TSyncBaseRecord> FCache;
    // Writes not made yet, by task: a record, or nothing for a deletion.
    std::map<std::string, std::optional<TSyncBaseRecord>> FPending;
};

} // namespace ot
