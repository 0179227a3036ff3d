#include "syncqueue/OtSyncQueueDBModel.h"

#include "common/Text.h"
#include "tasks/OtTask.h"

#include <functional>

namespace ot {

namespace {

// How a column's declared type says its values read.
enum class TValueKind { Text, Integer, DateTime };

TValueKind KindOfDeclType(const std::string& declType) {
    std::string type = ToUpperAscii(Trim(declType));
    if (const auto paren = type.find('('); paren != std::string::npos)
        type = Trim(type.substr(0, paren));
    if (type == "INTEGER" || type == "BOOLEAN")
        return TValueKind::Integer;
    if (type == "DATETIME" || type == "DATE")
        return TValueKind::DateTime;
    return TValueKind::Text;
}

// One column value, converted as its declared type says.
struct TColumnValue {
    TValueKind Kind = TValueKind::Text;
    bool IsNull = false;
    std::string Text;
    std::int64_t Integer = 0;
    TDateTime DateTime = 0;

    std::string AsText() const {
        if (IsNull)
            return {};
        switch (Kind) {
        case TValueKind::Integer:
            return std::to_string(Integer);
        case TValueKind::DateTime:
            return DateTime == 0 ? std::string() : FormatIsoDateTime(DateTime);
        case TValueKind::Text:
            break;
        }
        return Text;
    }
    std::int32_t AsInt32() const {
        if (Kind == TValueKind::Integer)
            return static_cast<std::int32_t>(Integer);
        if (Kind == TValueKind::Text)
            return ParseInt32(Trim(Text)).value_or(0);
        return 0;
    }
    TDateTime AsDateTime() const {
        if (Kind == TValueKind::DateTime)
            return DateTime;
        TDateTime dt = 0;
        if (Kind == TValueKind::Text && TryParseIsoDateTime(Text, dt))
            return dt;
        return 0;
    }
};

TColumnValue ReadColumn(const TSQLiteStatement& st, int i) {
    TColumnValue v;
    v.Kind = KindOfDeclType(st.ColumnDeclType(i));
    v.IsNull = st.IsNull(i);
    if (v.IsNull)
        return v; // empty text, 0
    switch (v.Kind) {
    case TValueKind::Integer:
        v.Integer = st.ColumnInt64(i);
        break;
    case TValueKind::DateTime:
        if (!TryParseIsoDateTime(st.ColumnText(i), v.DateTime))
            v.DateTime = 0; // a value that is not a date-time reads as none
        break;
    case TValueKind::Text:
        v.Text = st.ColumnText(i);
        break;
    }
    return v;
}

using TSetter = std::function<void(TOtSyncQueueDB&, const TColumnValue&)>;

struct TProperty {
    const char* Name;
    TSetter Set;
};

const std::vector<TProperty>& Properties() {
    static const std::vector<TProperty> props = {
        {"TaskItemID", [](auto& r, const auto& v) { r.SetTaskItemID(v.AsText()); }},
        {"TaskItemPath", [](auto& r, const auto& v) { r.SetTaskItemPath(v.AsText()); }},
        {"TaskClassPath", [](auto& r, const auto& v) { r.SetTaskClassPath(v.AsText()); }},
        {"TaskItemPath_Old", [](auto& r, const auto& v) { r.SetTaskItemPath_Old(v.AsText()); }},
        {"TaskClassPath_Old", [](auto& r, const auto& v) { r.SetTaskClassPath_Old(v.AsText()); }},
        {"KuaipanFileID", [](auto& r, const auto& v) { r.SetKuaipanFileID(v.AsText()); }},
        {"KuaipanModifyTime",
         [](auto& r, const auto& v) { r.SetKuaipanModifyTime(v.AsDateTime()); }},
        {"SyncType",
         [](auto& r, const auto& v) { r.SetSyncType(static_cast<TSyncType>(v.AsInt32())); }},
        {"IsDelete", [](auto& r, const auto& v) { r.SetIsDelete(v.AsInt32()); }},
        {"UpdateDateTime", [](auto& r, const auto& v) { r.SetUpdateDateTime(v.AsDateTime()); }},
    };
    return props;
}

// Maps the result columns onto the row's properties by name, ignoring
// letter case; properties without a column keep their initial value.
std::vector<const TSetter*> MapColumns(const TSQLiteStatement& st) {
    std::vector<const TSetter*> setters(static_cast<std::size_t>(st.ColumnCount()), nullptr);
    for (int i = 0; i < st.ColumnCount(); ++i) {
        const std::string name = ToLowerAscii(st.ColumnName(i));
        for (const auto& p : Properties())
            if (ToLowerAscii(p.Name) == name) {
                setters[static_cast<std::size_t>(i)] = &p.Set;
                break;
            }
    }
    return setters;
}

void ReadRows(TSQLiteStatement& st, TOtSyncQueueList& rows) {
    std::vector<const TSetter*> setters;
    bool mapped = false;
    while (st.Step()) {
        if (!mapped) {
            setters = MapColumns(st);
            mapped = true;
        }
        TOtSyncQueueDB row;
        for (std::size_t i = 0; i < setters.size(); ++i)
            if (setters[i] != nullptr)
                (*setters[i])(row, ReadColumn(st, static_cast<int>(i)));
        rows.push_back(std::move(row));
    }
}

} // namespace

TOtSyncQueueDBUtility::TOtSyncQueueDBUtility(const std::string& DBFilename)
    : FSQLiteDB(std::make_unique<TSQLiteDB>(DBFilename)) {}

TOtSyncQueueDBUtility::~TOtSyncQueueDBUtility() = default;

bool TOtSyncQueueDBUtility::ExeSQL(const std::string& SQLStr) {
    return ExeSQL(SQLStr, {}, nullptr);
}

bool TOtSyncQueueDBUtility::ExeSQL(const std::string& SQLStr, int& RowsAffected) {
    return ExeSQL(SQLStr, {}, &RowsAffected);
}

bool TOtSyncQueueDBUtility::ExeSQL(const std::string& SQLStr, const TSQLParams& Params,
                                   int* RowsAffected) {
    if (RowsAffected)
        *RowsAffected = 0;
    try {
        const int changed = FSQLiteDB->Execute(SQLStr, Params);
        if (RowsAffected)
            *RowsAffected = changed;
        return true;
    } catch (const ESyncQueueDBError& e) {
        FLastError = e.what();
        return false;
    }
}

bool TOtSyncQueueDBUtility::UpdateOneRow(const std::string& SQLStr, const TSQLParams& Params) {
    int rows = 0;
    return ExeSQL(SQLStr, Params, &rows) && rows == 1;
}

// ---- the engine's updates ---------------------------------------------------

void TOtSyncQueueDBUtility::ListRowsChangedSince(TOtSyncQueueList& ARows, TDateTime ASince) {
    ListSyncQueue(ARows, "[UpdateDateTime] >= ?", {FormatIsoDateTime(ASince)});
}

void TOtSyncQueueDBUtility::ListLinkedRows(TOtSyncQueueList& ARows) {
    ListSyncQueue(ARows, "ifnull([KuaipanFileID], '') <> ''", TSQLParams{});
}

bool TOtSyncQueueDBUtility::LinkNewRow(const std::string& AID, const std::string& AFileID) {
    return UpdateOneRow("update [SyncQueue] set [KuaipanFileID] = ?, [UpdateDateTime] = "
                        "(datetime('now','localtime')) where [TaskItemID] = ? and "
                        "ifnull([KuaipanFileID], '') = ''",
                        {AFileID, AID});
}

bool TOtSyncQueueDBUtility::LinkUploadedItem(const std::string& AID, const std::string& AName,
                                             const std::string& AFileID, TDateTime AModifyTime) {
    return UpdateOneRow("update [SyncQueue] set [KuaipanFileID] = ?, [KuaipanModifyTime] = ?, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ? "
                        "and [TaskItemPath] = ? and ifnull([KuaipanFileID], '') = ''",
                        {AFileID, FormatIsoDateTime(AModifyTime), AID, AName});
}

bool TOtSyncQueueDBUtility::LinkRenamedWhileUploading(const std::string& AID,
                                                      const std::string& AOldName,
                                                      const std::string& AFileID,
                                                      TDateTime AModifyTime) {
    return UpdateOneRow("update [SyncQueue] set [TaskItemPath_Old] = ?, [KuaipanFileID] = ?, "
                        "[KuaipanModifyTime] = ?, [SyncType] = 3, [UpdateDateTime] = "
                        "(datetime('now','localtime')) where [TaskItemID] = ? and "
                        "ifnull([KuaipanFileID], '') = ''",
                        {AOldName, AFileID, FormatIsoDateTime(AModifyTime), AID});
}

bool TOtSyncQueueDBUtility::SettlePushedRow(const std::string& AID, const std::string& AItemPath,
                                            const std::string& AOldItemPath,
                                            TSyncType AReadSyncType, const std::string& AFileID,
                                            TDateTime AModifyTime, TSyncType ARemainingSyncType) {
    return UpdateOneRow("update [SyncQueue] set [TaskItemPath_Old] = '', [TaskClassPath_Old] = '', "
                        "[KuaipanFileID] = ?, [KuaipanModifyTime] = ?, [SyncType] = ?, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ? "
                        "and [TaskItemPath] = ? and ifnull([TaskItemPath_Old], '') = ? and "
                        "ifnull([SyncType], 0) = ? and ifnull([IsDelete], 0) = 0",
                        {AFileID, FormatIsoDateTime(AModifyTime), std::int64_t{ARemainingSyncType},
                         AID, AItemPath, AOldItemPath, std::int64_t{AReadSyncType}});
}

bool TOtSyncQueueDBUtility::KeepContentPending(const std::string& AID) {
    return UpdateOneRow("update [SyncQueue] set [SyncType] = case ifnull([SyncType], 0) "
                        "when 0 then 2 when 1 then 3 else [SyncType] end, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ? "
                        "and ifnull([KuaipanFileID], '') <> '' and ifnull([IsDelete], 0) = 0",
                        {AID});
}

bool TOtSyncQueueDBUtility::RecordPulledItem(const std::string& AID, const std::string& AOldName,
                                             const std::string& AFileID, TDateTime AModifyTime,
                                             TSyncType ASyncType) {
    return UpdateOneRow(
        "update [SyncQueue] set [TaskItemPath_Old] = ?, [KuaipanFileID] = ?, "
        "[KuaipanModifyTime] = ?, [SyncType] = ?, [IsDelete] = 0, "
        "[UpdateDateTime] = (datetime('now','localtime')) where "
        "[TaskItemID] = ?",
        {AOldName, AFileID, FormatIsoDateTime(AModifyTime), std::int64_t{ASyncType}, AID});
}

bool TOtSyncQueueDBUtility::SettleOnCloudCopy(const std::string& AID, const std::string& AFromName,
                                              const std::string& AToName,
                                              const std::string& AFileID, TDateTime AModifyTime) {
    return UpdateOneRow("update [SyncQueue] set [TaskItemPath] = ?, [TaskItemPath_Old] = '', "
                        "[TaskClassPath_Old] = '', [KuaipanFileID] = ?, [KuaipanModifyTime] = ?, "
                        "[SyncType] = 0, [UpdateDateTime] = (datetime('now','localtime')) where "
                        "[TaskItemID] = ? and [TaskItemPath] = ? and ifnull([SyncType], 0) = 0 and "
                        "ifnull([IsDelete], 0) = 0",
                        {AToName, AFileID, FormatIsoDateTime(AModifyTime), AID, AFromName});
}

bool TOtSyncQueueDBUtility::UnlinkRows(const std::vector<std::string>& AIDs) {
    if (AIDs.empty())
        return true;
    std::string marks = "?";
    TSQLParams params{AIDs.front()};
    for (std::size_t i = 1; i < AIDs.size(); ++i) {
        marks += ", ?";
        params.push_back(AIDs[i]);
    }
    return ExeSQL("update [SyncQueue] set [KuaipanFileID] = '', "
                  "[TaskItemPath_Old] = '', [TaskClassPath_Old] = '', [SyncType] = 0, "
                  "[UpdateDateTime] = (datetime('now','localtime')) where "
                  "[TaskItemID] in (" +
                      marks + ") and ifnull([IsDelete], 0) = 0",
                  params);
}

std::string TOtSyncQueueDBUtility::GetKuaipanFileID(const std::string& TaskItemID) {
    TSQLiteStatement st(
        *FSQLiteDB, "select [KuaipanFileID] from [SyncQueue] where [TaskItemID] = ?", {TaskItemID});
    std::string first;
    int count = 0;
    while (st.Step()) {
        if (count++ == 0)
            first = ReadColumn(st, 0).AsText();
    }
    return count == 1 ? first : std::string();
}

bool TOtSyncQueueDBUtility::SetKuaipanFileID(const std::string& TaskItemID,
                                             const std::string& KpFileID) {
    return UpdateOneRow("update [SyncQueue] set [KuaipanFileID] = ?, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ?",
                        {KpFileID, TaskItemID});
}

bool TOtSyncQueueDBUtility::SetKuaipanFileID(const std::string& TaskItemID,
                                             const std::string& KpFileID, TDateTime KpModifyTime) {
    return UpdateOneRow("update [SyncQueue] set [KuaipanFileID] = ?, [KuaipanModifyTime] = ?, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ?",
                        {KpFileID, FormatIsoDateTime(KpModifyTime), TaskItemID});
}

bool TOtSyncQueueDBUtility::SetSyncQueueItem(const std::string& TaskItemID,
                                             const std::string& TaskItemPath_Old,
                                             const std::string& TaskClassPath_Old,
                                             const std::string& KuaipanFileID,
                                             TDateTime KuaipanModifyTime, TSyncType SyncType) {
    return UpdateOneRow("update [SyncQueue] set [TaskItemPath_Old] = ?, [TaskClassPath_Old] = ?, "
                        "[KuaipanFileID] = ?, [KuaipanModifyTime] = ?, [SyncType] = ?, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ?",
                        {TaskItemPath_Old, TaskClassPath_Old, KuaipanFileID,
                         FormatIsoDateTime(KuaipanModifyTime), std::int64_t{SyncType}, TaskItemID});
}

bool TOtSyncQueueDBUtility::SetSyncQueueItem(const std::string& TaskItemID,
                                             const std::string& TaskItemPath,
                                             const std::string& TaskItemPath_Old,
                                             const std::string& TaskClassPath_Old,
                                             const std::string& KuaipanFileID,
                                             TDateTime KuaipanModifyTime, TSyncType SyncType) {
    return UpdateOneRow(
        "update [SyncQueue] set [TaskItemPath] = ?, [TaskItemPath_Old] = ?, "
        "[TaskClassPath_Old] = ?, [KuaipanFileID] = ?, [KuaipanModifyTime] = ?, [SyncType] = ?, "
        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ?",
        {TaskItemPath, TaskItemPath_Old, TaskClassPath_Old, KuaipanFileID,
         FormatIsoDateTime(KuaipanModifyTime), std::int64_t{SyncType}, TaskItemID});
}

std::optional<TOtSyncQueueDB>
TOtSyncQueueDBUtility::GetSyncQueueItem(const std::string& TaskItemID) {
    TOtSyncQueueList rows;
    {
        TSQLiteStatement st(*FSQLiteDB, "select * from [SyncQueue] where [TaskItemID] = ?",
                            {TaskItemID});
        ReadRows(st, rows);
    }
    if (rows.size() != 1)
        return std::nullopt;
    return std::move(rows.front());
}

bool TOtSyncQueueDBUtility::ListSyncQueue(TOtSyncQueueList& ASyncQueueList,
                                          const std::string& ASQLWhereStr) {
    return ListSyncQueue(ASyncQueueList, ASQLWhereStr, {});
}

bool TOtSyncQueueDBUtility::ListSyncQueue(TOtSyncQueueList& ASyncQueueList,
                                          const std::string& ASQLWhereStr,
                                          const TSQLParams& AParams) {
    ASyncQueueList.clear();
    TOtSyncQueueList rows;
    const std::string sql =
        ASQLWhereStr.empty()
            ? std::string("select * from [SyncQueue] order by [UpdateDateTime] asc")
            : "select * from [SyncQueue] where " + ASQLWhereStr + " order by [UpdateDateTime] asc";
    TSQLiteStatement st(*FSQLiteDB, sql, AParams);
    ReadRows(st, rows);
    ASyncQueueList = std::move(rows);
    return true;
}

bool TOtSyncQueueDBUtility::DeleteSyncQueue(const std::string& TaskItemID) {
    return UpdateOneRow("delete from [SyncQueue] where [TaskItemID] = ?", {TaskItemID});
}

bool TOtSyncQueueDBUtility::CheckSyncQueueItem(const TOtTaskItem* TaskItem) {
    if (TaskItem == nullptr)
        return false;
    if (GetSyncQueueItem(TaskItem->ID()))
        return true;
    const auto taskClass = TaskItem->TaskClass();
    if (!taskClass)
        return false;
    int rows = 0;
    return ExeSQL("insert into [SyncQueue] ([TaskItemID], [TaskItemPath], [TaskClassPath]) "
                  "values (?, ?, ?)",
                  {TaskItem->ID(), TaskItem->FileName(), taskClass->DirName()}, &rows) &&
           rows == 1;
}

} // namespace ot
