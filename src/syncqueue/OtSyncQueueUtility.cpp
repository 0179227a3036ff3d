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
    int SyncType;
    bool ReplaceOldPath;
};

TFold FoldSyncType(int current, int kind) {
    switch (current) {
    case 0:
        return {kind, true};
    case 1:
        return {kind == 1 ? 1 : 3, false};
    case 2:
        return {kind == 2 ? 2 : 3, true};
    case 3:
        return {3, false};
    default:
        return {kind, true};
    }
}

bool ClassCreated(const std::string& dbFile, const TArgs& a) {
    TOtSyncQueueDBUtility db(dbFile);
    return db.ExeSQL("insert into [SyncQueue] ([TaskItemID], [TaskItemPath]) values (?, ?)",
                     {a.Text(0), a.Text(1)});
}

bool ItemCreated(const std::string& dbFile, const TArgs& a) {
    TOtSyncQueueDBUtility db(dbFile);
    return db.ExeSQL(
        "insert into [SyncQueue] ([TaskItemID], [TaskItemPath], [TaskClassPath]) values (?, ?, ?)",
        {a.Text(0), a.Text(1), a.Text(2)});
}

bool ClassDeleted(const std::string& dbFile, const TArgs& a) {
    const std::string& id = a.Text(0);
    TOtSyncQueueDBUtility db(dbFile);
    const std::string fileID = db.GetKuaipanFileID(id);
    // The items of the class: their directory names begin with the class ID.
    if (!db.ExeSQL("delete from [SyncQueue] where [TaskClassPath] like ? escape '\\'",
                   {LikePrefix(id)}))
        return false;
    if (fileID.empty())
        return db.ExeSQL("delete from [SyncQueue] where [TaskItemID] = ?", {id});
    return db.ExeSQL(std::string("update [SyncQueue] set [IsDelete] = 1, [UpdateDateTime] = ") +
                         kNow + " where [TaskItemID] = ?",
                     {id});
}

bool ItemChanged(const std::string& dbFile, const TArgs& a) {
    const std::string& fileName = a.Text(0);
    const std::string& dirName = a.Text(1);
    const std::string& oldFileName = a.Text(2);
    const std::string& oldDirName = a.Text(3);
    const int kind = a.Int(4);
    const std::string& id = a.Text(5);

    TOtSyncQueueDBUtility db(dbFile);
    const auto row = db.GetSyncQueueItem(id);
    if (!row)
        return false;
    if (row->KuaipanFileID().empty()) // never uploaded: it goes up as new under its new name
        return db.ExeSQL(std::string("update [SyncQueue] set [TaskItemPath] = ?, "
                                     "[TaskClassPath] = ?, [UpdateDateTime] = ") +
                             kNow + " where [TaskItemID] = ?",
                         {fileName, dirName, id});
    const TFold fold = FoldSyncType(row->SyncType(), kind);
    if (!fold.ReplaceOldPath)
        return db.ExeSQL(std::string("update [SyncQueue] set [TaskItemPath] = ?, "
                                     "[TaskClassPath] = ?, [TaskClassPath_Old] = ?, "
                                     "[SyncType] = ?, [UpdateDateTime] = ") +
                             kNow + " where [TaskItemID] = ?",
                         {fileName, dirName, oldDirName, std::int64_t{fold.SyncType}, id});
    return db.ExeSQL(std::string("update [SyncQueue] set [TaskItemPath] = ?, [TaskClassPath] = ?, "
                                 "[TaskItemPath_Old] = ?, [TaskClassPath_Old] = ?, "
                                 "[SyncType] = ?, [UpdateDateTime] = ") +
                         kNow + " where [TaskItemID] = ?",
                     {fileName, dirName, oldFileName, oldDirName, std::int64_t{fold.SyncType}, id});
}

bool ItemDeleted(const std::string& dbFile, const TArgs& a) {
    const std::string& id = a.Text(0);
    TOtSyncQueueDBUtility db(dbFile);
    const auto row = db.GetSyncQueueItem(id);
    if (!row)
        return false;
    if (row->KuaipanFileID().empty()) // never reached the cloud: forget it
        return db.ExeSQL("delete from [SyncQueue] where [TaskItemID] = ?", {id});
    // The row takes back the name of the cloud copy, so that the engine
    // deletes the right file.
    const bool prepared =
        row->TaskItemPath_Old().empty()
            ? db.ExeSQL("update [SyncQueue] set [SyncType] = 0 where [TaskItemID] = ?", {id})
            : db.ExeSQL("update [SyncQueue] set [TaskItemPath] = ?, [SyncType] = 0 "
                        "where [TaskItemID] = ?",
                        {row->TaskItemPath_Old(), id});
    if (!prepared)
        return false;
    return db.ExeSQL(std::string("update [SyncQueue] set [IsDelete] = 1, [UpdateDateTime] = ") +
                         kNow + " where [TaskItemID] = ?",
                     {id});
}

} // namespace

bool TOtSyncQueueUtility::WriteToSyncQueue(const std::string& ADBFileName, unsigned AOperation,
                                           const std::vector<TSyncQueueArg>& AArgs) {
    const TArgs a(AArgs);
    switch (AOperation) {
    case 0:
        return a.HasShape({true, true}) && ClassCreated(ADBFileName, a);
    case 1:
        return a.HasShape({true}) && ClassDeleted(ADBFileName, a);
    case 2:
        return a.HasShape({true, true, true}) && ItemCreated(ADBFileName, a);
    case 3:
        // An edit kind outside 1..3 would leave a SyncType the engine does
        // not know; such a call records nothing.
        return a.HasShape({true, true, true, true, false, true}) && a.Int(4) >= 1 &&
               a.Int(4) <= 3 && ItemChanged(ADBFileName, a);
    case 4:
        return a.HasShape({true}) && ItemDeleted(ADBFileName, a);
    default:
        return false;
    }
}

} // namespace ot
