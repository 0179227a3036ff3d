#include "syncqueue/OtSyncQueueUtility.h"

#include "syncqueue/OtSyncQueueDBModel.h"

#include <optional>

namespace ot {

namespace {

// Arguments of one call, checked against the count and kinds its code takes.
class TArgs {
public:
    explicit TArgs(const std::vector<TSyncQueueArg>& args) : FArgs(args) {}
    bool HasShape(std::initializer_list<bool> isText) const {
        if (FArgs.size() != isText.size())
            return false;
        std::size_t i = 0;
        for (bool text : isText)
            if (std::holds_alternative<std::string>(FArgs[i++]) != text)
                return false;
        return true;
    }
    const std::string& Text(std::size_t i) const { return std::get<std::string>(FArgs[i]); }
    int Int(std::size_t i) const { return std::get<int>(FArgs[i]); }

private:
    const std::vector<TSyncQueueArg>& FArgs;
};

constexpr const char* kNow = "(datetime('now','localtime'))";

// Escapes LIKE's wildcards so that a prefix matches literally.
std::string LikePrefix(const std::string& prefix) {
    std::string out;
    for (char c : prefix) {
        if (c == '\\' || c == '%' || c == '_')
            out += '\\';
        out += c;
    }
    return out + '%';
}

// The SyncType after an in-place change of the given kind, and whether the
// row's old name is replaced by the name before this change. A pending
// rename keeps the name of the cloud copy however often the item is renamed.
struct TFold {
    TSyncType SyncType;
    bool ReplaceOldPath;
};

TFold FoldSyncType(TSyncType current, TEditKind kind) {
    // The edit kinds and the sync types share their values.
    const auto asType = static_cast<TSyncType>(kind);
    switch (current) {
    case stNone:
        return {asType, true};
    case stRenamed:
        return {kind == ekRenamed ? stRenamed : stRenamedAndRewritten, false};
    case stRewritten:
        return {kind == ekRewritten ? stRewritten : stRenamedAndRewritten, true};
    case stRenamedAndRewritten:
        return {stRenamedAndRewritten, false};
    default:
        return {asType, true};
    }
}

// What one change did: its statements ran, it found no row to fold into, or
// a statement failed.
enum class TRecorded { Done, NoRow, Failed };

TRecorded Ran(bool ok) {
    return ok ? TRecorded::Done : TRecorded::Failed;
}

TRecorded ClassCreated(TOtSyncQueueDBUtility& db, const TArgs& a) {
    return Ran(db.ExeSQL("insert into [SyncQueue] ([TaskItemID], [TaskItemPath]) values (?, ?)",
                         {a.Text(0), a.Text(1)}));
}

TRecorded ItemCreated(TOtSyncQueueDBUtility& db, const TArgs& a) {
    return Ran(db.ExeSQL(
        "insert into [SyncQueue] ([TaskItemID], [TaskItemPath], [TaskClassPath]) values (?, ?, ?)",
        {a.Text(0), a.Text(1), a.Text(2)}));
}

TRecorded ClassDeleted(TOtSyncQueueDBUtility& db, const TArgs& a) {
    const std::string& id = a.Text(0);
    const std::string fileID = db.GetKuaipanFileID(id);
    // The items of the class: their directory names begin with the class ID.
    if (!db.ExeSQL("delete from [SyncQueue] where [TaskClassPath] like ? escape '\\'",
                   {LikePrefix(id)}))
        return TRecorded::Failed;
    if (fileID.empty())
        return Ran(db.ExeSQL("delete from [SyncQueue] where [TaskItemID] = ?", {id}));
    return Ran(db.ExeSQL(std::string("update [SyncQueue] set [IsDelete] = 1, [UpdateDateTime] = ") +
                             kNow + " where [TaskItemID] = ?",
                         {id}));
}

TRecorded ItemChanged(TOtSyncQueueDBUtility& db, const TArgs& a) {
    const std::string& fileName = a.Text(0);
    const std::string& dirName = a.Text(1);
    const std::string& oldFileName = a.Text(2);
    const std::string& oldDirName = a.Text(3);
    const auto kind = static_cast<TEditKind>(a.Int(4));
    const std::string& id = a.Text(5);

    const auto row = db.GetSyncQueueItem(id);
    if (!row)
        return TRecorded::NoRow;
    if (row->KuaipanFileID().empty()) // never uploaded: it goes up as new under its new name
        return Ran(db.ExeSQL(std::string("update [SyncQueue] set [TaskItemPath] = ?, "
                                         "[TaskClassPath] = ?, [UpdateDateTime] = ") +
                                 kNow + " where [TaskItemID] = ?",
                             {fileName, dirName, id}));
    const TFold fold = FoldSyncType(row->SyncType(), kind);
    if (!fold.ReplaceOldPath)
        return Ran(db.ExeSQL(std::string("update [SyncQueue] set [TaskItemPath] = ?, "
                                         "[TaskClassPath] = ?, [TaskClassPath_Old] = ?, "
                                         "[SyncType] = ?, [UpdateDateTime] = ") +
                                 kNow + " where [TaskItemID] = ?",
                             {fileName, dirName, oldDirName, std::int64_t{fold.SyncType}, id}));
    return Ran(
        db.ExeSQL(std::string("update [SyncQueue] set [TaskItemPath] = ?, [TaskClassPath] = ?, "
                              "[TaskItemPath_Old] = ?, [TaskClassPath_Old] = ?, "
                              "[SyncType] = ?, [UpdateDateTime] = ") +
                      kNow + " where [TaskItemID] = ?",
                  {fileName, dirName, oldFileName, oldDirName, std::int64_t{fold.SyncType}, id}));
}

TRecorded ItemDeleted(TOtSyncQueueDBUtility& db, const TArgs& a) {
    const std::string& id = a.Text(0);
    const auto row = db.GetSyncQueueItem(id);
    if (!row)
        return TRecorded::NoRow;
    if (row->KuaipanFileID().empty()) // never reached the cloud: forget it
        return Ran(db.ExeSQL("delete from [SyncQueue] where [TaskItemID] = ?", {id}));
    // The row takes back the name of the cloud copy, so that the engine
    // deletes the right file.
    const bool prepared =
        row->TaskItemPath_Old().empty()
            ? db.ExeSQL("update [SyncQueue] set [SyncType] = 0 where [TaskItemID] = ?", {id})
            : db.ExeSQL("update [SyncQueue] set [TaskItemPath] = ?, [SyncType] = 0 "
                        "where [TaskItemID] = ?",
                        {row->TaskItemPath_Old(), id});
    if (!prepared)
        return TRecorded::Failed;
    return Ran(db.ExeSQL(std::string("update [SyncQueue] set [IsDelete] = 1, [UpdateDateTime] = ") +
                             kNow + " where [TaskItemID] = ?",
                         {id}));
}

// Runs one change on db; a call whose arguments do not fit its code records
// nothing and counts as failed.
TRecorded Record(TOtSyncQueueDBUtility& db, TSyncQueueOp AOperation,
                 const std::vector<TSyncQueueArg>& AArgs) {
    const TArgs a(AArgs);
    switch (AOperation) {
    case sqClassCreated:
        return a.HasShape({true, true}) ? ClassCreated(db, a) : TRecorded::Failed;
    case sqClassDeleted:
        return a.HasShape({true}) ? ClassDeleted(db, a) : TRecorded::Failed;
    case sqItemCreated:
        return a.HasShape({true, true, true}) ? ItemCreated(db, a) : TRecorded::Failed;
    case sqItemChanged:
        // An edit kind outside 1..3 would leave a SyncType the engine does
        // not know; such a call records nothing.
        return a.HasShape({true, true, true, true, false, true}) && a.Int(4) >= ekRenamed &&
                       a.Int(4) <= ekRenamedAndRewritten
                   ? ItemChanged(db, a)
                   : TRecorded::Failed;
    case sqItemDeleted:
        return a.HasShape({true}) ? ItemDeleted(db, a) : TRecorded::Failed;
    default:
        return TRecorded::Failed;
    }
}

} // namespace

bool TOtSyncQueueUtility::WriteToSyncQueue(const std::string& ADBFileName, TSyncQueueOp AOperation,
                                           const std::vector<TSyncQueueArg>& AArgs) {
    TOtSyncQueueDBUtility db(ADBFileName);
    return Record(db, AOperation, AArgs) == TRecorded::Done;
}

bool TOtSyncQueueUtility::RecordChanges(const std::string& ADBFileName,
                                        const std::vector<TSyncQueueChange>& AChanges,
                                        std::string* AError) {
    auto fail = [&](const std::string& detail) {
        if (AError)
            *AError = detail;
        return false;
    };
    {
        TOtSyncQueueDBUtility db(ADBFileName);
        // All or nothing: a change of the tree is undone when its record
        // fails, so no half of it may stay in the queue.
        if (!db.ExeSQL("begin immediate"))
            return fail(db.LastError());
        for (const auto& change : AChanges) {
            if (Record(db, change.Operation, change.Args) == TRecorded::Failed) {
                const std::string error =
                    db.LastError().empty() ? "the change does not fit its code" : db.LastError();
                db.ExeSQL("rollback");
                return fail(error);
            }
        }
        if (!db.ExeSQL("commit")) {
            const std::string error = db.LastError();
            db.ExeSQL("rollback");
            return fail(error);
        }
        return true;
    }
}

} // namespace ot
