#pragma once
// The SyncQueue table: one row per task class or task item, saying what the
// synchronization engine still has to carry to the cloud for that object
// and which cloud file it is. TOtSyncQueueDB is one row,
// TOtSyncQueueDBUtility one connection through which all queue SQL runs.
//
// Every value reaches SQLite as a bound parameter. Queries raise
// ESyncQueueDBError; statements that change rows answer false on error.

#include "common/DateTime.h"
#include "syncqueue/SQLiteDB.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ot {

class TOtTaskItem;

// What changed locally since the object's cloud copy, as the SyncType column
// stores it.
enum TSyncType : std::int32_t {
    stNone = 0,                // nothing to push
    stRenamed = 1,             // a new name; the content is unchanged
    stRewritten = 2,           // the content rewritten under the same name
    stRenamedAndRewritten = 3, // both
    stPassedOver = 4,          // never written here; a pass passes such a row over silently
};

class TOtSyncQueueDB {
public:
    const std::string& TaskItemID() const { return FTaskItemID; }
    void SetTaskItemID(std::string v) { FTaskItemID = std::move(v); }
    // Item row: the item's FileName; class row: the class's DirName.
    const std::string& TaskItemPath() const { return FTaskItemPath; }
    void SetTaskItemPath(std::string v) { FTaskItemPath = std::move(v); }
    // Item row: the DirName of the item's class; empty for a class row.
    const std::string& TaskClassPath() const { return FTaskClassPath; }
    void SetTaskClassPath(std::string v) { FTaskClassPath = std::move(v); }
    // The name the cloud copy still has after a local rename not yet pushed.
    const std::string& TaskItemPath_Old() const { return FTaskItemPath_Old; }
    void SetTaskItemPath_Old(std::string v) { FTaskItemPath_Old = std::move(v); }
    const std::string& TaskClassPath_Old() const { return FTaskClassPath_Old; }
    void SetTaskClassPath_Old(std::string v) { FTaskClassPath_Old = std::move(v); }
    // Empty until the object exists in the cloud.
    const std::string& KuaipanFileID() const { return FKuaipanFileID; }
    void SetKuaipanFileID(std::string v) { FKuaipanFileID = std::move(v); }
    TDateTime KuaipanModifyTime() const { return FKuaipanModifyTime; }
    void SetKuaipanModifyTime(TDateTime v) { FKuaipanModifyTime = v; }
    TSyncType SyncType() const { return FSyncType; }
    void SetSyncType(TSyncType v) { FSyncType = v; }
    // 1 while a local deletion still has to reach the cloud.
    std::int32_t IsDelete() const { return FIsDelete; }
    void SetIsDelete(std::int32_t v) { FIsDelete = v; }
    TDateTime UpdateDateTime() const { return FUpdateDateTime; }
    void SetUpdateDateTime(TDateTime v) { FUpdateDateTime = v; }

private:
    std::string FTaskItemID;
    std::string FTaskItemPath;
    std::string FTaskClassPath;
    std::string FTaskItemPath_Old;
    std::string FTaskClassPath_Old;
    std::string FKuaipanFileID;
    TDateTime FKuaipanModifyTime = 0;
    TSyncType FSyncType = stNone;
    std::int32_t FIsDelete = 0;
    TDateTime FUpdateDateTime = 0;
};

using TOtSyncQueueList = std::vector<TOtSyncQueueDB>;

class TOtSyncQueueDBUtility {
public:
    // Opens the existing database file; raises ESyncQueueDBError when it is
    // missing or is not an SQLite database. Never creates a file.
    explicit TOtSyncQueueDBUtility(const std::string& DBFilename);
    ~TOtSyncQueueDBUtility();
    TOtSyncQueueDBUtility(const TOtSyncQueueDBUtility&) = delete;
    TOtSyncQueueDBUtility& operator=(const TOtSyncQueueDBUtility&) = delete;

    const std::string& FileName() const { return FSQLiteDB->FileName(); }
    // The message of the last statement that failed in ExeSQL or in one of
    // the updates; empty when none failed.
    const std::string& LastError() const { return FLastError; }

    // Runs one statement; false when it failed. RowsAffected gets the number
    // of rows it changed.
    bool ExeSQL(const std::string& SQLStr);
    bool ExeSQL(const std::string& SQLStr, int& RowsAffected);
    // The same with values bound to the "?" placeholders of SQLStr.
    bool ExeSQL(const std::string& SQLStr, const TSQLParams& Params, int* RowsAffected = nullptr);

    // The row's cloud file ID; empty when there is no row. Raises on error.
    std::string GetKuaipanFileID(const std::string& TaskItemID);

    // The updates answer true only when exactly one row changed; each sets
    // UpdateDateTime to the current local time.
    bool SetKuaipanFileID(const std::string& TaskItemID, const std::string& KpFileID);
    bool SetKuaipanFileID(const std::string& TaskItemID, const std::string& KpFileID,
                          TDateTime KpModifyTime);
    bool SetSyncQueueItem(const std::string& TaskItemID, const std::string& TaskItemPath_Old,
                          const std::string& TaskClassPath_Old, const std::string& KuaipanFileID,
                          TDateTime KuaipanModifyTime, TSyncType SyncType);
    bool SetSyncQueueItem(const std::string& TaskItemID, const std::string& TaskItemPath,
                          const std::string& TaskItemPath_Old, const std::string& TaskClassPath_Old,
                          const std::string& KuaipanFileID, TDateTime KuaipanModifyTime,
                          TSyncType SyncType);

    // The row of TaskItemID; none when there is no row. Raises on error.
    std::optional<TOtSyncQueueDB> GetSyncQueueItem(const std::string& TaskItemID);

    // Replaces the content of ASyncQueueList by the rows matching the
    // condition ASQLWhereStr (every row when it is empty), oldest
    // UpdateDateTime first. Raises on error.
    bool ListSyncQueue(TOtSyncQueueList& ASyncQueueList, const std::string& ASQLWhereStr);
    // The same with values bound to the "?" placeholders of ASQLWhereStr,
    // e.g. ListSyncQueue(list, "[UpdateDateTime] >= ?", {watermark}).
    bool ListSyncQueue(TOtSyncQueueList& ASyncQueueList, const std::string& ASQLWhereStr,
                       const TSQLParams& AParams);

    bool DeleteSyncQueue(const std::string& TaskItemID);

    // ---- the engine's updates ----
    // Each answers true only when exactly one row changed (UnlinkRows: when
    // the statement ran); the conditions keep a row that changed meanwhile.

    // Rows changed at or after ASince; raises on error.
    void ListRowsChangedSince(TOtSyncQueueList& ARows, TDateTime ASince);
    // Rows linked to a cloud copy; raises on error.
    void ListLinkedRows(TOtSyncQueueList& ARows);
    // Links a row that has no cloud file yet.
    bool LinkNewRow(const std::string& AID, const std::string& AFileID);
    // Links a new item row still under AName, with the cloud copy's time.
    bool LinkUploadedItem(const std::string& AID, const std::string& AName,
                          const std::string& AFileID, TDateTime AModifyTime);
    // Links a new item row renamed while it was uploaded under AOldName: the
    // rename is left to push.
    bool LinkRenamedWhileUploading(const std::string& AID, const std::string& AOldName,
                                   const std::string& AFileID, TDateTime AModifyTime);
    // Settles the pushed change read from the row (its path, old path and
    // sync type), leaving ARemainingSyncType to push.
    bool SettlePushedRow(const std::string& AID, const std::string& AItemPath,
                         const std::string& AOldItemPath, TSyncType AReadSyncType,
                         const std::string& AFileID, TDateTime AModifyTime,
                         TSyncType ARemainingSyncType);
    // Marks the content of a linked, not deleted item as still to push (a
    // rename pending becomes a rename with new content): it changed while
    // its upload was under way.
    bool KeepContentPending(const std::string& AID);
    // Records an item taken from the cloud: AOldName (empty when the name is
    // the cloud's), its cloud file and time, and what is left to push.
    bool RecordPulledItem(const std::string& AID, const std::string& AOldName,
                          const std::string& AFileID, TDateTime AModifyTime, TSyncType ASyncType);
    // Settles a row with nothing to push on its cloud copy, renamed from
    // AFromName to AToName.
    bool SettleOnCloudCopy(const std::string& AID, const std::string& AFromName,
                           const std::string& AToName, const std::string& AFileID,
                           TDateTime AModifyTime);
    // Unlinks the rows of AIDs that are not deletions, so they go up as new.
    bool UnlinkRows(const std::vector<std::string>& AIDs);

    // Inserts a row for the item unless it has one; true when a row exists
    // afterwards. An item without a class gets no row.
    bool CheckSyncQueueItem(const TOtTaskItem* TaskItem);

private:
    bool UpdateOneRow(const std::string& SQLStr, const TSQLParams& Params);

    std::unique_ptr<TSQLiteDB> FSQLiteDB;
    std::string FLastError;
};

} // namespace ot
