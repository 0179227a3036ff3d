#include "sync/OtSyncBase.h"

#include "syncqueue/SQLiteDB.h"

#include <utility>

namespace ot {

TOtSyncBase::TOtSyncBase(const std::string& ADBFileName) {
    try {
        auto db = std::make_unique<TSQLiteDB>(ADBFileName);
        // A base lost to a crash is only a base the engine does not trust
        // (it is checked against the queue row), so its writes need no flush.
        db->Execute("pragma synchronous = off");
        db->Execute("create table if not exists [SyncBase] ([TaskItemID] TEXT NOT NULL PRIMARY "
                    "KEY, [TaskClassPath] TEXT, [TaskItemPath] TEXT, [ContentHash] TEXT, "
                    "[KuaipanRev] TEXT, [KuaipanModifyTime] REAL)");
        db->Execute("create table if not exists [SyncState] ([Name] TEXT NOT NULL PRIMARY KEY, "
                    "[Value] TEXT)");
        TSQLiteStatement s(*db, "select [TaskItemID], [TaskClassPath], [TaskItemPath], "
                                "[ContentHash], [KuaipanRev], [KuaipanModifyTime] from [SyncBase]");
        while (s.Step()) {
            TSyncBaseRecord r;
            r.State.ClassPath = s.ColumnText(1);
            r.State.FileName = s.ColumnText(2);
            r.State.Hash = s.ColumnText(3);
            r.Rev = s.ColumnText(4);
            try {
                r.State.ModifyTime = std::stod(s.IsNull(5) ? "0" : s.ColumnText(5));
            } catch (const std::exception&) {
                r.State.ModifyTime = 0;
            }
            FCache.emplace(s.ColumnText(0), std::move(r));
        }
        FDB = std::move(db);
    } catch (const ESyncQueueDBError&) {
        FCache.clear();
    }
}

TOtSyncBase::~TOtSyncBase() {
    Flush();
}

std::optional<TSyncBaseRecord> TOtSyncBase::Find(const std::string& AID) const {
    auto it = FCache.find(AID);
    if (it == FCache.end())
        return std::nullopt;
    return it->second;
}

namespace {
constexpr std::size_t PendingWritesAtMost = 64;
}

bool TOtSyncBase::Record(const std::string& AID, const TSyncBaseRecord& ARecord) {
    if (!FDB)
        return false;
    FCache[AID] = ARecord;
    FPending[AID] = ARecord;
    return FPending.size() < PendingWritesAtMost || Flush();
}

bool TOtSyncBase::Forget(const std::string& AID) {
    FCache.erase(AID);
    if (!FDB)
        return false;
    FPending[AID] = std::nullopt;
    return FPending.size() < PendingWritesAtMost || Flush();
}

bool TOtSyncBase::Flush() {
    if (!FDB || FPending.empty())
        return true;
    auto pending = std::exchange(FPending, {});
    try {
        FDB->Execute("begin immediate");
        try {
            for (const auto& [id, record] : pending) {
                if (record)
                    FDB->Execute("insert or replace into [SyncBase] ([TaskItemID], "
                                 "[TaskClassPath], [TaskItemPath], [ContentHash], [KuaipanRev], "
                                 "[KuaipanModifyTime]) values (?, ?, ?, ?, ?, ?)",
                                 {id, record->State.ClassPath, record->State.FileName,
                                  record->State.Hash, record->Rev, record->State.ModifyTime});
                else
                    FDB->Execute("delete from [SyncBase] where [TaskItemID] = ?", {id});
            }
            FDB->Execute("commit");
        } catch (const ESyncQueueDBError&) {
            FDB->Execute("rollback");
            throw;
        }
    } catch (const ESyncQueueDBError&) {
        // Not written: this pass does not go on trusting them either.
        for (const auto& [id, record] : pending)
            if (record)
                FCache.erase(id);
        return false;
    }
    return true;
}

bool TOtSyncBase::RenameClassPath(const std::string& AFrom, const std::string& ATo) {
    for (auto& [id, record] : FCache)
        if (record.State.ClassPath == AFrom)
            record.State.ClassPath = ATo;
    if (!FDB)
        return false;
    // The gathered writes name the list as it was; made first, they follow
    // the rename below.
    Flush();
    try {
        FDB->Execute("update [SyncBase] set [TaskClassPath] = ? where [TaskClassPath] = ?",
                     {ATo, AFrom});
    } catch (const ESyncQueueDBError&) {
        return false;
    }
    return true;
}

std::map<std::string, TSyncBaseRecord> TOtSyncBase::All() const {
    return FCache;
}

std::string TOtSyncBase::Value(const std::string& AName) const {
    if (!FDB)
        return {};
    try {
        TSQLiteStatement s(*FDB, "select [Value] from [SyncState] where [Name] = ?", {AName});
        if (s.Step() && !s.IsNull(0))
            return s.ColumnText(0);
    } catch (const ESyncQueueDBError&) {
    }
    return {};
}

bool TOtSyncBase::SetValue(const std::string& AName, const std::string& AValue) {
    if (!FDB)
        return false;
    try {
        FDB->Execute("insert or replace into [SyncState] ([Name], [Value]) values (?, ?)",
                     {AName, AValue});
    } catch (const ESyncQueueDBError&) {
        return false;
    }
    return true;
}

} // namespace ot
