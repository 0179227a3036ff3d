#include "sync/OtKuaipanSyncUtility.h"

#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanUtility.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <unordered_map>

namespace ot {

namespace fs = std::filesystem;

namespace {

// Cloud and queue times are compared as whole seconds: both come from texts
// without fractions, but through different conversions.
long long WholeSeconds(TDateTime dt) {
    return std::llround(dt * 86400.0);
}

bool SameRow(const TOtSyncQueueDB& a, const TOtSyncQueueDB& b) {
    return a.TaskItemID() == b.TaskItemID() && a.TaskItemPath() == b.TaskItemPath() &&
           a.TaskClassPath() == b.TaskClassPath() && a.TaskItemPath_Old() == b.TaskItemPath_Old() &&
           a.TaskClassPath_Old() == b.TaskClassPath_Old() &&
           a.KuaipanFileID() == b.KuaipanFileID() &&
           WholeSeconds(a.KuaipanModifyTime()) == WholeSeconds(b.KuaipanModifyTime()) &&
           a.SyncType() == b.SyncType() && a.IsDelete() == b.IsDelete() &&
           WholeSeconds(a.UpdateDateTime()) == WholeSeconds(b.UpdateDateTime());
}

// Linked to its cloud copy with nothing left to push.
bool IsSettled(const TOtSyncQueueDB& row) {
    return !row.KuaipanFileID().empty() && row.SyncType() == 0 && row.IsDelete() == 0;
}

// A name that can only stand for one entry of one directory.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The bytes of a file, or nullopt when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

std::string ItemCloudPath(const std::string& dirName, const std::string& fileName) {
    return "/" + dirName + "/" + fileName + ".tsk";
}

} // namespace

struct TKuaipanSyncUtility::TPass {
    std::unique_ptr<TOtSyncQueueDBUtility> DB;
    int Errors1 = 0;
    int Errors2 = 0;
    bool Step1ListLoaded = false;
    bool QueueRead = false;
    int R = 0;
    bool Step2ListLoaded = false;
    // A row was passed over without an error: the watermark must stay
    // below it.
    bool RowSkipped = false;
    long long OpsAfterListing = -1;
    TSyncSummary Summary;
};

TKuaipanSyncUtility::TKuaipanSyncUtility(TKuaipanSyncThread* AKuaipanSyncThread,
                                         TOtLocalTaskTree& ALocalTree,
                                         std::shared_ptr<const TSyncSettings> ASettings)
    : FSession(std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret)),
      FKuaipanAPI(std::make_unique<TKuaipanAPI>(FSession)), FKuaipanSyncThread(AKuaipanSyncThread),
      FLocalTree(ALocalTree),
      FSettings(ASettings ? std::move(ASettings) : std::make_shared<const TSyncSettings>()) {
    if (auto token = TKuaipanUtility::LoadAuthFile(Paths().AuthFileName))
        FSession->SetAuthToken(token->Key(), token->Secret());
}

TKuaipanSyncUtility::~TKuaipanSyncUtility() = default;

// ---- forwarding to the thread -------------------------------------------

void TKuaipanSyncUtility::_OutputSyncLog(const std::string& ALogStr) {
    if (!FKuaipanSyncThread)
        return;
    FKuaipanSyncThread->OutputSyncLog(ALogStr.empty() ? std::string(">> ")
                                                      : ">> " + ALogStr + "  [" +
                                                            DateTimeToRegionalStr(Now()) + "]");
}

void TKuaipanSyncUtility::_UpdateSyncStatusBar(int AIndex, int ACount, const std::string& AText) {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->UpdateSyncStatusBar(AIndex, ACount, AText);
}

void TKuaipanSyncUtility::_UpdateSyncStatusBar(const std::string& AText) {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->UpdateSyncStatusBar(AText);
}

void TKuaipanSyncUtility::_ShowLogForm() {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->ShowLogForm();
}

void TKuaipanSyncUtility::_HideLogForm() {
    if (FKuaipanSyncThread)
        FKuaipanSyncThread->HideLogForm();
}

// ---- account binding ------------------------------------------------------

std::string TKuaipanSyncUtility::GetAuthorizeURL() {
    try {
        return FKuaipanAPI->RequestToken();
    } catch (...) {
        return {};
    }
}

bool TKuaipanSyncUtility::SetVerifier(const std::string& AVerifier) {
    try {
        FKuaipanAPI->AccessToken(AVerifier);
        const auto token = FSession->Token();
        if (!TSession::IsAccessToken(token.get()))
            return false;
        return TKuaipanUtility::SaveAuthFile(TAccessToken(token->Key(), token->Secret()),
                                             Paths().AuthFileName);
    } catch (...) {
        return false;
    }
}

// ---- stopping and pacing --------------------------------------------------

bool TKuaipanSyncUtility::StopRequested() const {
    return FStopRequested || (FKuaipanSyncThread && FKuaipanSyncThread->Terminated());
}

void TKuaipanSyncUtility::CheckStop() const {
    if (StopRequested())
        throw ESyncStopped();
}

void TKuaipanSyncUtility::PauseAfterRow() {
    // Slices, so that a stop request is seen within a short time.
    using namespace std::chrono;
    const auto end = steady_clock::now() + FRowPause;
    while (!StopRequested()) {
        const auto now = steady_clock::now();
        if (now >= end)
            return;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, 50ms));
    }
}

// ---- names from the cloud -------------------------------------------------

TOtTaskClassPtr TKuaipanSyncUtility::ParseCloudTaskClass(const std::string& AName) {
    if (!IsPlainName(AName))
        return nullptr;
    auto taskClass = TOtTaskUtility::ParseTaskClass(AName);
    // A name this program would not have written (a foreign ID, a title that
    // is not escaped) would address another folder than the one listed.
    if (!taskClass || !TOtTaskUtility::IsWellFormedTaskID(taskClass->ID()) ||
        taskClass->DirName() != AName)
        return nullptr;
    return taskClass;
}

TOtTaskItemPtr TKuaipanSyncUtility::ParseCloudTaskItem(const TOtTaskClassPtr& ATaskClass,
                                                       const std::string& AName) {
    if (!IsPlainName(AName) || !EndsWith(AName, ".tsk"))
        return nullptr;
    auto item = TOtTaskUtility::ParseTaskItem(ATaskClass, Paths().TaskDataPath +
                                                              ATaskClass->DirName() + "/" + AName);
    if (!item || !TOtTaskUtility::IsWellFormedTaskID(item->ID()) ||
        item->FileName() + ".tsk" != AName)
        return nullptr;
    return item;
}

// ---- cloud operations -----------------------------------------------------

namespace {

// Calls the cloud up to tryCount times in a row, stopping at the first reply
// that names a file; answers the last reply.
template <typename Call> TKuaipanFile UntilFileID(int tryCount, Call call) {
    TKuaipanFile reply;
    for (int i = 0; i < tryCount; ++i) {
        reply = call();
        if (!reply.file_id.empty())
            break;
    }
    return reply;
}

// The same for operations that succeed with status 200.
template <typename Call> bool UntilStatus200(int tryCount, Call call) {
    for (int i = 0; i < tryCount; ++i)
        if (call().Code == 200)
            return true;
    return false;
}

} // namespace

bool TKuaipanSyncUtility::NoteCloudResult(bool ok) {
    ++FCloudOps;
    if (ok) {
        FFailuresInARow = 0;
        return true;
    }
    if (++FFailuresInARow < UnreachableAfterFailures)
        return false;
    // Failures of single files come and go; a root that does not list either
    // means the server is gone, and every further row would only fail too.
    if (FKuaipanAPI->Metadata("/", false).file_id.empty())
        throw ESyncServerUnreachable();
    FFailuresInARow = 0;
    return false;
}

bool TKuaipanSyncUtility::LoadKuaipanTaskItemList(const std::string& APath,
                                                  const TOtTaskClassPtr& ATaskClass,
                                                  TOtTaskItemList& ATaskList) {
    const TKuaipanFile folder =
        UntilFileID(FKuaipanOpTryCount, [&] { return FKuaipanAPI->Metadata(APath, true); });
    if (!NoteCloudResult(!folder.file_id.empty()))
        return false;
    ATaskList.clear();
    for (const auto& entry : folder.files) {
        if (entry.ftype != "file")
            continue;
        if (auto item = ParseCloudTaskItem(ATaskClass, entry.name)) {
            item->SetTagString(entry.file_id);
            item->SetTagDateTime(entry.modify_time);
            ATaskList.push_back(std::move(item));
        }
    }
    return true;
}

bool TKuaipanSyncUtility::LoadKuaipanTaskClassList() {
    const TKuaipanFile root =
        UntilFileID(FKuaipanOpTryCount, [&] { return FKuaipanAPI->Metadata("/", true); });
    if (!NoteCloudResult(!root.file_id.empty()))
        return false;
    FKuaipanTaskClassList.clear();
    for (const auto& entry : root.files) {
        if (entry.ftype != "folder")
            continue;
        auto taskClass = ParseCloudTaskClass(entry.name);
        if (!taskClass)
            continue;
        CheckStop();
        taskClass->SetTagString(entry.file_id);
        taskClass->SetTagDateTime(entry.modify_time);
        FKuaipanTaskClassList.push_back(taskClass);
        taskClass->SetIsLoadTaskList(
            LoadKuaipanTaskItemList("/" + entry.name, taskClass, taskClass->TaskList()));
    }
    return true;
}

bool TKuaipanSyncUtility::CreateKuaipanTaskClass(const std::string& ADirName, std::string& AFileID,
                                                 TOtTaskClassPtr& ATaskClass) {
    const TKuaipanFile folder =
        UntilFileID(FKuaipanOpTryCount, [&] { return FKuaipanAPI->CreateFolder(ADirName); });
    if (!NoteCloudResult(!folder.file_id.empty()))
        return false;
    AFileID = folder.file_id;
    ATaskClass = TOtTaskUtility::ParseTaskClass(ADirName);
    return ATaskClass != nullptr;
}

bool TKuaipanSyncUtility::CreateKuaipanTaskItem(const std::string& AFileName,
                                                const TOtTaskClassPtr& ATaskClass,
                                                TOtTaskItemPtr& ATaskItem) {
    const std::string localFile =
        Paths().TaskDataPath + ATaskClass->DirName() + "/" + AFileName + ".tsk";
    auto item = TOtTaskUtility::ParseTaskItem(ATaskClass, localFile);
    std::error_code ec;
    if (!item || !fs::is_regular_file(localFile, ec))
        return false;
    std::string fileID;
    if (!UploadKuaipanFile(localFile, item->KuaipanPath(), fileID))
        return false;
    item->SetTagString(fileID);
    ATaskItem = std::move(item);
    return true;
}

bool TKuaipanSyncUtility::DeleteKuaipanPath(const std::string& APath) {
    return NoteCloudResult(
        UntilStatus200(FKuaipanOpTryCount, [&] { return FKuaipanAPI->Delete(APath, true); }));
}

bool TKuaipanSyncUtility::MoveKuaipanFile(const std::string& AFromPath,
                                          const std::string& AToPath) {
    return NoteCloudResult(
        UntilStatus200(FKuaipanOpTryCount, [&] { return FKuaipanAPI->Move(AFromPath, AToPath); }));
}

TKuaipanFile TKuaipanSyncUtility::GetKuaipanFileInfo(const std::string& APath) {
    TKuaipanFile info =
        UntilFileID(FKuaipanOpTryCount, [&] { return FKuaipanAPI->Metadata(APath, true); });
    NoteCloudResult(!info.file_id.empty());
    return info;
}

bool TKuaipanSyncUtility::UploadKuaipanFile(const std::string& ALocalFile, const std::string& APath,
                                            std::string& AFileID) {
    // A file that vanished behind the program's back fails this push instead
    // of raising out of the whole pass.
    std::error_code ec;
    if (!fs::is_regular_file(ALocalFile, ec))
        return false;
    const TKuaipanFile stored = UntilFileID(FKuaipanOpTryCount, [&] {
        return FKuaipanAPI->UploadFile(APath, ALocalFile, true, nullptr);
    });
    AFileID = stored.file_id;
    return NoteCloudResult(!AFileID.empty());
}

std::optional<std::string> TKuaipanSyncUtility::DownloadKuaipanFile(const std::string& ALocalFile,
                                                                    const std::string& APath) {
    // The local file is replaced only by a complete copy (by the caller,
    // with a rename), so a failed transfer leaves it as it was.
    const std::string temp = TempNameBeside(ALocalFile).string();
    std::error_code ec;
    for (int i = 0; i < FKuaipanOpTryCount; ++i) {
        if (const int err = FileFault(TFileOp::Create, temp)) {
            errno = err;
            break;
        }
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            break;
        const auto response = FKuaipanAPI->DownloadFile(APath, out, nullptr);
        out.close();
        // On disk before it is renamed over the local file.
        if (response.Code == 200 && out && FsyncFile(temp)) {
            NoteCloudResult(true);
            return temp;
        }
    }
    fs::remove(temp, ec);
    NoteCloudResult(false);
    return std::nullopt;
}

// ---- the pass ---------------------------------------------------------------

bool TKuaipanSyncUtility::SyncToKuaipan() {
    TPass pass;
    // The watermark this pass earns: its start, to the second. A row changed
    // while the pass runs has a later or equal time and is read next time.
    const TDateTime passStart = std::floor(Now() * 86400.0) / 86400.0;

    pass.DB = std::make_unique<TOtSyncQueueDBUtility>(Paths().DBFileName);
    if (FSettings->IsShowAppLogFormOnSyncing)
        _ShowLogForm();

    FFailuresInARow = 0;
    bool unreachable = false;
    try {
        Step1(pass);
        Step2(pass);
    } catch (const ESyncServerUnreachable&) {
        unreachable = true;
        ++pass.Errors2;
        _OutputSyncLog(Format("The Kuaipan server cannot be reached: synchronization stopped "
                              "after %d failed operations in a row.",
                              UnreachableAfterFailures));
    } catch (...) {
        FAllowMassDeletions = false;
        FSummary = pass.Summary;
        FSummary.Errors = pass.Errors1 + pass.Errors2 + 1;
        throw;
    }
    FAllowMassDeletions = false;

    const int errors = pass.Errors1 + pass.Errors2;
    FSummary = pass.Summary;
    FSummary.Errors = errors;
    FSummary.Unreachable = unreachable;
    if (errors == 0) {
        _UpdateSyncStatusBar(
            Format("Synchronization finished. [%s]", DateTimeToRegionalStr(Now()).c_str()));
        // A pass that could not read the queue pushed nothing: its rows must
        // still be read next time.
        if (pass.QueueRead && !pass.RowSkipped)
            FLastDateTimeSyncSuccess = passStart;
    } else {
        _UpdateSyncStatusBar(Format("Synchronization finished with %d error(s).", errors));
    }
    return pass.Step1ListLoaded && pass.Errors1 == 0 && pass.Step2ListLoaded && pass.Errors2 == 0;
}

void TKuaipanSyncUtility::RememberRow(TPass& pass, const std::string& ATaskItemID) {
    if (auto row = pass.DB->GetSyncQueueItem(ATaskItemID); row && IsSettled(*row))
        FRowsLeft[ATaskItemID] = std::make_unique<TOtSyncQueueDB>(std::move(*row));
    else
        FRowsLeft.erase(ATaskItemID);
}

void TKuaipanSyncUtility::Step1(TPass& pass) {
    _OutputSyncLog("Step 1:");
    _OutputSyncLog("Loading Kuaipan task class ...");
    _UpdateSyncStatusBar("Synchronizing - Step 1");
    if (!LoadKuaipanTaskClassList()) {
        _OutputSyncLog("Load Kuaipan task class failed!");
        return;
    }
    pass.Step1ListLoaded = true;
    pass.OpsAfterListing = FCloudOps;
    _OutputSyncLog("Load Kuaipan task class successfully!");

    TOtSyncQueueList rows;
    try {
        pass.DB->ListSyncQueue(rows, "[UpdateDateTime] >= ?",
                               {FormatIsoDateTime(FLastDateTimeSyncSuccess.load())});
        pass.QueueRead = true;
    } catch (const ESyncQueueDBError&) {
        // Nothing was pushed: the watermark must stay.
        ++pass.Errors1;
    }
    if (pass.QueueRead) {
        // The watermark is the start of the last pass, so the rows that pass
        // wrote itself come back; those nobody touched since need nothing.
        std::erase_if(rows, [this](const TOtSyncQueueDB& row) {
            auto it = FRowsLeft.find(row.TaskItemID());
            if (it == FRowsLeft.end())
                return false;
            if (IsSettled(row) && SameRow(row, *it->second))
                return true;
            FRowsLeft.erase(it);
            return false;
        });
        // Class rows first, so that the items of a class created in this
        // pass find their folder whatever the order of equal times.
        std::stable_partition(rows.begin(), rows.end(), [](const TOtSyncQueueDB& row) {
            return row.TaskClassPath().empty();
        });
        pass.R = static_cast<int>(rows.size());
        _OutputSyncLog(Format("Sync queue contains %d records!", pass.R));
        for (int i = 0; i < pass.R; ++i) {
            CheckStop();
            _UpdateSyncStatusBar(i + 1, pass.R, "Synchronizing - Step 1");
            const long long opsBefore = FCloudOps;
            if (rows[i].TaskClassPath().empty())
                PushClassRow(pass, rows[i]);
            else
                PushItemRow(pass, rows[i]);
            // Rows that needed no request need no pause either: a queue of
            // settled rows is read through at once.
            if (FCloudOps != opsBefore && i + 1 < pass.R)
                PauseAfterRow();
        }
    }
    if (pass.Errors1 == 0)
        _OutputSyncLog("Step 1 finished.");
    else
        _OutputSyncLog(Format("Step 1 finished with %d error(s).", pass.Errors1));
}

void TKuaipanSyncUtility::PushClassRow(TPass& pass, const TOtSyncQueueDB& row) {
    const std::string& id = row.TaskItemID();
    const char* path = row.TaskItemPath().c_str();
    const int index = TOtTaskUtility::IndexOfTaskClassList(id, FKuaipanTaskClassList);
    const bool listed = index >= 0;
    const bool linked = !row.KuaipanFileID().empty();

    if (!linked && row.IsDelete() == 0) {
        if (listed) {
            // Created by an earlier pass that could not record it: link it.
            const auto& cloudClass = FKuaipanTaskClassList[index];
            int changed = 0;
            if (pass.DB->ExeSQL("update [SyncQueue] set [KuaipanFileID] = ?, [UpdateDateTime] = "
                                "(datetime('now','localtime')) where [TaskItemID] = ? and "
                                "ifnull([KuaipanFileID], '') = ''",
                                {cloudClass->TagString(), id}, &changed) &&
                changed == 1)
                RememberRow(pass, id);
            else
                ++pass.Errors1;
            return;
        }
        std::string fileID;
        TOtTaskClassPtr created;
        bool ok = CreateKuaipanTaskClass(row.TaskItemPath(), fileID, created);
        if (created) {
            created->SetTagString(fileID);
            created->SetIsLoadTaskList(true);
            FKuaipanTaskClassList.push_back(created);
        }
        if (ok && !pass.DB->SetKuaipanFileID(id, fileID)) {
            if (pass.DB->GetSyncQueueItem(id)) {
                ok = false;
            } else {
                // The class was deleted here while its folder was being made:
                // the folder goes too, or the next pull would bring it back.
                ok = DeleteKuaipanPath("/" + row.TaskItemPath());
                if (ok)
                    std::erase(FKuaipanTaskClassList, created);
            }
        }
        if (ok) {
            RememberRow(pass, id);
            ++pass.Summary.Pushed;
            _OutputSyncLog(Format("Create task class \"%s\" in Kuaipan successfully!", path));
        } else {
            ++pass.Errors1;
            _OutputSyncLog(Format("Create task class \"%s\" in Kuaipan failed!", path));
        }
    } else if (linked && row.IsDelete() == 1) {
        if (!listed) {
            // Gone on both sides: the row has served its purpose.
            if (!pass.DB->DeleteSyncQueue(id))
                ++pass.Errors1;
            return;
        }
        const auto cloudClass = FKuaipanTaskClassList[index];
        if (DeleteKuaipanPath("/" + cloudClass->DirName())) {
            // What the folder held goes with it, also what another computer
            // changed meanwhile: each is named.
            for (const auto& item : cloudClass->TaskList())
                _OutputSyncLog(Format("Task item \"%s\" in Kuaipan was deleted with its task "
                                      "class \"%s\".",
                                      item->FileName().c_str(), path));
            FKuaipanTaskClassList.erase(FKuaipanTaskClassList.begin() + index);
            ++pass.Summary.Pushed;
            if (pass.DB->DeleteSyncQueue(id)) {
                _OutputSyncLog(Format("Delete task class \"%s\" in Kuaipan successfully!", path));
            } else {
                ++pass.Errors1;
                _OutputSyncLog(Format(
                    "Delete task class \"%s\" in Kuaipan: its queue record could not be removed.",
                    path));
            }
        } else {
            ++pass.Errors1;
            _OutputSyncLog(Format("Delete task class \"%s\" in Kuaipan failed!", path));
        }
    } else {
        _OutputSyncLog(Format("Task class \"%s\" does not require sync.", path));
    }
}

bool TKuaipanSyncUtility::RecordPush(TPass& pass, const TOtSyncQueueDB& row,
                                     const std::string& cloudPath, const std::string& itemPath,
                                     int remainingSyncType, std::optional<TDateTime> modifyTime) {
    const TKuaipanFile info = GetKuaipanFileInfo(cloudPath);
    if (info.file_id.empty())
        return false;
    // Only the change that was read is settled: when the item changed again
    // meanwhile, the row keeps what the next pass has to push.
    int changed = 0;
    const bool ok =
        pass.DB->ExeSQL("update [SyncQueue] set [TaskItemPath_Old] = '', [TaskClassPath_Old] = '', "
                        "[KuaipanFileID] = ?, [KuaipanModifyTime] = ?, [SyncType] = ?, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ? "
                        "and [TaskItemPath] = ? and ifnull([TaskItemPath_Old], '') = ? and "
                        "ifnull([SyncType], 0) = ? and ifnull([IsDelete], 0) = 0",
                        {info.file_id, FormatIsoDateTime(modifyTime.value_or(info.modify_time)),
                         std::int64_t{remainingSyncType}, row.TaskItemID(), itemPath,
                         row.TaskItemPath_Old(), std::int64_t{row.SyncType()}},
                        &changed) &&
        changed == 1;
    if (ok)
        RememberRow(pass, row.TaskItemID());
    return ok;
}

bool TKuaipanSyncUtility::LinkCreatedItem(TPass& pass, const std::string& id,
                                          const std::string& classPath, const std::string& name,
                                          const TKuaipanFile& info) {
    int changed = 0;
    const std::string modifyTime = FormatIsoDateTime(info.modify_time);
    if (pass.DB->ExeSQL("update [SyncQueue] set [KuaipanFileID] = ?, [KuaipanModifyTime] = ?, "
                        "[UpdateDateTime] = (datetime('now','localtime')) where [TaskItemID] = ? "
                        "and [TaskItemPath] = ? and ifnull([KuaipanFileID], '') = ''",
                        {info.file_id, modifyTime, id, name}, &changed) &&
        changed == 1) {
        RememberRow(pass, id);
        return true;
    }
    const auto row = pass.DB->GetSyncQueueItem(id);
    if (!row) {
        // Deleted here while it was being uploaded: the cloud copy goes too,
        // or the next pull would bring the item back.
        return DeleteKuaipanPath(ItemCloudPath(classPath, name));
    }
    if (!row->KuaipanFileID().empty() || row->TaskItemPath() == name)
        return false;
    // Renamed (and perhaps rewritten) here while it was being uploaded: the
    // cloud copy has the old name, which the next pass moves and rewrites.
    return pass.DB->ExeSQL("update [SyncQueue] set [TaskItemPath_Old] = ?, [KuaipanFileID] = ?, "
                           "[KuaipanModifyTime] = ?, [SyncType] = 3, [UpdateDateTime] = "
                           "(datetime('now','localtime')) where [TaskItemID] = ? and "
                           "ifnull([KuaipanFileID], '') = ''",
                           {name, info.file_id, modifyTime, id}, &changed) &&
           changed == 1;
}

bool TKuaipanSyncUtility::TakeMovedCopy(TPass& pass, const TOtSyncQueueDB& row,
                                        const TOtTaskClassPtr& cloudClass,
                                        const std::string& localFile) {
    // A move gives the task a new ID in its new class. The copy there is
    // unknown here and has the title and creation time the task had when this
    // side last synchronized it.
    const std::string syncedName =
        row.TaskItemPath_Old().empty() ? row.TaskItemPath() : row.TaskItemPath_Old();
    const auto synced = TOtTaskUtility::ParseTaskItem(cloudClass, syncedName + ".tsk");
    if (!synced)
        return false;
    TOtTaskItemPtr moved;
    for (const auto& c : FKuaipanTaskClassList) {
        if (c == cloudClass || !c->IsLoadTaskList())
            continue;
        for (const auto& item : c->TaskList())
            if (item->Title() == synced->Title() &&
                WholeSeconds(item->CreateDateTime()) == WholeSeconds(synced->CreateDateTime()) &&
                !pass.DB->GetSyncQueueItem(item->ID())) {
                if (moved)
                    return false; // not one copy: nothing to go by
                moved = item;
            }
    }
    if (!moved)
        return false;

    // The move wins; new content written here goes to the moved copy.
    bool ok = true;
    if (row.SyncType() != 1) {
        std::string fileID;
        ok = UploadKuaipanFile(localFile, moved->KuaipanPath(), fileID);
    }
    const auto tree = FLocalTree.Snapshot();
    for (const auto& c : tree)
        for (const auto& item : c.Items)
            if (item.ID == row.TaskItemID())
                ok = ok && FLocalTree.DeleteTaskItem(c.Class, item.Item);
    FRowsLeft.erase(row.TaskItemID());
    const char* name = row.TaskItemPath().c_str();
    const auto movedClass = moved->TaskClass();
    const std::string to = movedClass ? movedClass->Title() : std::string();
    if (ok) {
        ++pass.Summary.Pushed;
        _OutputSyncLog(Format(row.SyncType() == 1
                                  ? "Task item \"%s\" was moved to task class \"%s\" by another "
                                    "computer; the move wins over the local change."
                                  : "Task item \"%s\" was moved to task class \"%s\" by another "
                                    "computer; the move wins, the local remarks go with it.",
                              name, to.c_str()));
    } else {
        ++pass.Errors1;
        _OutputSyncLog(Format("Update task item \"%s\" in Kuaipan failed! (moved)", name));
    }
    return true;
}

void TKuaipanSyncUtility::PushItemRow(TPass& pass, const TOtSyncQueueDB& readRow) {
    const char* classPath = readRow.TaskClassPath().c_str();
    const auto parsedClass = TOtTaskUtility::ParseTaskClass(readRow.TaskClassPath());
    const int classIndex =
        parsedClass ? TOtTaskUtility::IndexOfTaskClassList(parsedClass->ID(), FKuaipanTaskClassList)
                    : -1;
    if (classIndex < 0) {
        if (readRow.IsDelete() != 0) {
            // Deleted here, its class gone there: nothing is left to push.
            if (!pass.DB->DeleteSyncQueue(readRow.TaskItemID()))
                ++pass.Errors1;
            return;
        }
        if (IsSettled(readRow))
            return; // nothing to push; the pull decides about it
        // Its class is not in the cloud (deleted on another computer): the
        // pull keeps the class for this item and the next pass pushes both.
        // Until then the watermark must not pass this row.
        pass.RowSkipped = true;
        _OutputSyncLog(Format("Task item \"%s\" waits for its task class \"%s\" in Kuaipan.",
                              readRow.TaskItemPath().c_str(), classPath));
        return;
    }
    const TOtTaskClassPtr cloudClass = FKuaipanTaskClassList[classIndex];
    if (!cloudClass->IsLoadTaskList()) {
        if (LoadKuaipanTaskItemList("/" + readRow.TaskClassPath(), cloudClass,
                                    cloudClass->TaskList())) {
            cloudClass->SetIsLoadTaskList(true);
            _OutputSyncLog(Format("Load task list \"%s\" in Kuaipan successfully!", classPath));
        } else {
            // The row was not pushed: the pass must not count as a success.
            ++pass.Errors1;
            _OutputSyncLog(Format("Load task list \"%s\" in Kuaipan failed!", classPath));
            return;
        }
    }

    TOtSyncQueueDB row = readRow;
    const std::string& id = row.TaskItemID();
    const std::string name = row.TaskItemPath();
    auto& cloudItems = cloudClass->TaskList();
    const int itemIndex = TOtTaskUtility::IndexOfTaskItemList(id, cloudItems);
    const TOtTaskItemPtr listed = itemIndex >= 0 ? cloudItems[itemIndex] : nullptr;
    const std::string F = ItemCloudPath(row.TaskClassPath(), name);
    const std::string L = Paths().TaskDataPath + row.TaskClassPath() + "/" + name + ".tsk";

    if (row.KuaipanFileID().empty() && row.IsDelete() == 0) {
        if (!listed) {
            TOtTaskItemPtr created;
            bool ok = CreateKuaipanTaskItem(name, cloudClass, created);
            if (ok) {
                const TKuaipanFile info = GetKuaipanFileInfo(F);
                created->SetTagDateTime(info.modify_time);
                cloudItems.push_back(created);
                ok = !info.file_id.empty() &&
                     LinkCreatedItem(pass, id, row.TaskClassPath(), name, info);
            }
            if (ok) {
                ++pass.Summary.Pushed;
                _OutputSyncLog(
                    Format("Create task item \"%s\" in Kuaipan successfully!", name.c_str()));
            } else {
                ++pass.Errors1;
                _OutputSyncLog(Format("Create task item \"%s\" in Kuaipan failed!", name.c_str()));
            }
            return;
        }
        // On the cloud already but not linked here (an earlier pass stopped
        // after the upload, or its download failed): step 2 links it to the
        // cloud copy.
        return;
    }

    if (!row.KuaipanFileID().empty() && row.IsDelete() == 1) {
        if (!listed) {
            // Gone on both sides: the row has served its purpose.
            if (!pass.DB->DeleteSyncQueue(id))
                ++pass.Errors1;
            return;
        }
        // The cloud copy is deleted under the name it has there, which an
        // other computer may have changed.
        const bool changedThere =
            listed->FileName() !=
                (row.TaskItemPath_Old().empty() ? name : row.TaskItemPath_Old()) ||
            WholeSeconds(listed->TagDateTime()) > WholeSeconds(row.KuaipanModifyTime());
        if (changedThere)
            _OutputSyncLog(Format("Task item \"%s\" was changed in Kuaipan by another computer; "
                                  "the local deletion wins.",
                                  name.c_str()));
        if (DeleteKuaipanPath(listed->KuaipanPath())) {
            cloudItems.erase(cloudItems.begin() + itemIndex);
            FRowsLeft.erase(id);
            ++pass.Summary.Pushed;
            if (pass.DB->DeleteSyncQueue(id)) {
                _OutputSyncLog(
                    Format("Delete task item \"%s\" in Kuaipan successfully!", name.c_str()));
            } else {
                ++pass.Errors1;
                _OutputSyncLog(Format("Delete task item \"%s\" in Kuaipan: its queue record "
                                      "could not be removed.",
                                      name.c_str()));
            }
        } else {
            ++pass.Errors1;
            _OutputSyncLog(Format("Delete task item \"%s\" in Kuaipan failed!", name.c_str()));
        }
        return;
    }

    if (row.KuaipanFileID().empty() || row.IsDelete() != 0) {
        _OutputSyncLog(Format("Task item \"%s\" does not require sync.", name.c_str()));
        return;
    }

    // Linked, not deleted: carry a rename and/or a rewrite. Failures count,
    // so the watermark stays and the next pass tries again.
    auto report = [&](bool ok, const char* tag) {
        _OutputSyncLog(Format(ok ? "Update task item \"%s\" in Kuaipan successfully! (%s)"
                                 : "Update task item \"%s\" in Kuaipan failed! (%s)",
                              name.c_str(), tag));
        if (ok)
            ++pass.Summary.Pushed;
        else
            ++pass.Errors1;
        return ok;
    };

    const bool pending = row.SyncType() >= 1 && row.SyncType() <= 3;
    if (!pending) {
        if (row.SyncType() != 4)
            _OutputSyncLog(Format("Task item \"%s\" does not require sync.", name.c_str()));
        return;
    }
    if (!listed) {
        if (TakeMovedCopy(pass, row, cloudClass, L))
            return;
        // Deleted on another computer while changed here: the change made
        // here wins and the item goes up again, which settles the conflict.
        std::string fileID;
        const bool ok = UploadKuaipanFile(L, F, fileID) && RecordPush(pass, row, F, name, 0);
        if (ok)
            _OutputSyncLog(Format("Task item \"%s\" was deleted in Kuaipan by another computer; "
                                  "the local change wins and it is uploaded again.",
                                  name.c_str()));
        report(ok, "new");
        return;
    }
    // Changed on another computer since this side last had it: say who won.
    const bool renamedThere =
        listed->FileName() != (row.TaskItemPath_Old().empty() ? name : row.TaskItemPath_Old());
    if (renamedThere || WholeSeconds(listed->TagDateTime()) > WholeSeconds(row.KuaipanModifyTime()))
        _OutputSyncLog(Format("Task item \"%s\" was also changed in Kuaipan by another computer; "
                              "the local change wins.",
                              name.c_str()));
    bool atName = listed->FileName() == name;
    auto move = [&](const char* tag) {
        // The cloud copy is moved from the name it has there, which another
        // computer may have changed.
        bool ok = atName || MoveKuaipanFile(listed->KuaipanPath(), F);
        atName = ok;
        // After the move of a rename with new content, the content is still
        // to go: the row says so until the upload has been recorded too.
        const int remaining = row.SyncType() == 3 ? 2 : 0;
        // Content written there since this side's copy stays the newer one,
        // so the pull brings it here.
        const bool contentThere = remaining == 0 && WholeSeconds(listed->TagDateTime()) >
                                                        WholeSeconds(row.KuaipanModifyTime());
        ok = ok && RecordPush(pass, row, F, name, remaining,
                              contentThere ? std::optional(row.KuaipanModifyTime()) : std::nullopt);
        if (ok) {
            row.SetTaskItemPath_Old("");
            row.SetSyncType(remaining);
        }
        return report(ok, tag);
    };
    auto upload = [&](const char* tag) {
        // Renamed there: the copy goes to the name pushed from here first, so
        // that one file per ID remains.
        bool ok = atName || MoveKuaipanFile(listed->KuaipanPath(), F);
        atName = ok;
        std::string fileID;
        ok = ok && UploadKuaipanFile(L, F, fileID) && RecordPush(pass, row, F, name, 0);
        return report(ok, tag);
    };
    switch (row.SyncType()) {
    case 1:
        move("1");
        break;
    case 2:
        upload("2");
        break;
    case 3:
    default:
        if (move("3-a"))
            upload("3-b");
        break;
    }
}

// ---- step 2 -----------------------------------------------------------------

void TKuaipanSyncUtility::Step2(TPass& pass) {
    _OutputSyncLog("");
    _OutputSyncLog("Step 2:");
    _OutputSyncLog("Loading Kuaipan task class ...");
    _UpdateSyncStatusBar("Synchronizing - Step 2");
    // Step 1's listing still holds when step 1 sent nothing to the cloud.
    const bool listingHolds = pass.Step1ListLoaded && FCloudOps == pass.OpsAfterListing;
    if (!listingHolds && !LoadKuaipanTaskClassList()) {
        _OutputSyncLog("Load Kuaipan task class failed!");
        return;
    }
    pass.Step2ListLoaded = true;
    _OutputSyncLog("Load Kuaipan task class successfully!");

    // The list may change below (nothing in step 2 changes the cloud), so
    // walk a copy of the pointers.
    const TOtTaskClassList cloudClasses = FKuaipanTaskClassList;
    const int count = static_cast<int>(cloudClasses.size());
    for (int i = 0; i < count; ++i) {
        CheckStop();
        _UpdateSyncStatusBar(i + 1, count, "Synchronizing - Step 2");
        PullClass(pass, cloudClasses[i]);
    }
    PruneLocal(pass);

    if (pass.Errors2 == 0)
        _OutputSyncLog("Step 2 finished.");
    else
        _OutputSyncLog(Format("Step 2 finished with %d error(s).", pass.Errors2));
}

bool TKuaipanSyncUtility::IsDeletionPending(TPass& pass, const std::string& AID) {
    const auto row = pass.DB->GetSyncQueueItem(AID);
    return row && row->IsDelete() != 0;
}

void TKuaipanSyncUtility::PullClass(TPass& pass, const TOtTaskClassPtr& cloudClass) {
    auto findLocal = [&](std::vector<TLocalTaskClassInfo>& tree) -> TLocalTaskClassInfo* {
        for (auto& c : tree)
            if (c.ID == cloudClass->ID())
                return &c;
        return nullptr;
    };
    auto tree = FLocalTree.Snapshot();
    TLocalTaskClassInfo* local = findLocal(tree);
    if (!local) {
        // Deleted here, and the deletion not yet pushed: the local change wins.
        if (IsDeletionPending(pass, cloudClass->ID()))
            return;
        const char* title = cloudClass->Title().c_str();
        if (FLocalTree.AddTaskClass(cloudClass->ID(), cloudClass->Title())) {
            if (pass.DB->SetKuaipanFileID(cloudClass->ID(), cloudClass->TagString()))
                RememberRow(pass, cloudClass->ID());
            else
                ++pass.Errors2;
            ++pass.Summary.Pulled;
            _OutputSyncLog(Format("Create local task class \"%s\" successfully!", title));
        } else {
            ++pass.Errors2;
            _OutputSyncLog(Format("Create local task class \"%s\" failed!", title));
        }
        tree = FLocalTree.Snapshot();
        local = findLocal(tree);
        if (!local)
            return;
    }
    // A class whose listing failed has an empty list only because of the
    // failure: pulling it would find nothing, and nothing may be taken from
    // it.
    if (!cloudClass->IsLoadTaskList())
        return;

    std::unordered_map<std::string, const TLocalTaskItemInfo*> localItems;
    for (const auto& item : local->Items)
        localItems.emplace(item.ID, &item);
    const TOtTaskItemList cloudItems = cloudClass->TaskList();
    for (const auto& cloudItem : cloudItems) {
        CheckStop();
        auto it = localItems.find(cloudItem->ID());
        PullItem(pass, cloudClass, local->Class, cloudItem,
                 it == localItems.end() ? nullptr : it->second);
    }
}

void TKuaipanSyncUtility::PullItem(TPass& pass, const TOtTaskClassPtr& cloudClass,
                                   const TOtTaskClassPtr& localClass,
                                   const TOtTaskItemPtr& cloudItem,
                                   const TLocalTaskItemInfo* localItem) {
    const char* title = cloudItem->Title().c_str();
    const char* classTitle = cloudClass->Title().c_str();

    if (!localItem) {
        if (IsDeletionPending(pass, cloudItem->ID()))
            return;
        auto item = std::make_shared<TOtTaskItem>(localClass);
        TOtTaskUtility::AssignTaskItem(cloudItem, item, 0);
        item->SetTaskClass(localClass);
        item->SetParent(nullptr);
        item->ResetDirty();
        const std::string fileName = item->FileName();
        const std::string localFile = Paths().TaskDataPath + item->Path();
        if (!FLocalTree.AddTaskItem(localClass, item)) {
            ++pass.Errors2;
            _OutputSyncLog(
                Format("Create local task item \"%s\" in class \"%s\" failed!", title, classTitle));
            return;
        }
        const auto temp = DownloadKuaipanFile(localFile, cloudItem->KuaipanPath());
        if (temp && FLocalTree.ReplaceTaskItemFile(localClass, item, fileName, *temp)) {
            if (pass.DB->SetKuaipanFileID(cloudItem->ID(), cloudItem->TagString(),
                                          cloudItem->TagDateTime()))
                RememberRow(pass, cloudItem->ID());
            else
                ++pass.Errors2;
            ++pass.Summary.Pulled;
            _OutputSyncLog(Format("Create local task item \"%s\" in class \"%s\" successfully!",
                                  title, classTitle));
        } else {
            ++pass.Errors2;
            _OutputSyncLog(Format("Create local task item \"%s\" in class \"%s\" failed! (dl)",
                                  title, classTitle));
        }
        return;
    }

    const std::string& id = localItem->ID;
    auto row = pass.DB->GetSyncQueueItem(id);
    if (!row) {
        // An item without a row (its recording failed) may hold an edit that
        // was never recorded: the local copy wins and goes up next pass.
        const bool renamed = localItem->FileName != cloudItem->FileName();
        bool same = !renamed;
        if (same) {
            const std::string localFile = Paths().TaskDataPath + localItem->Path;
            const auto temp = DownloadKuaipanFile(localFile, cloudItem->KuaipanPath());
            same = temp && ReadFileBytes(*temp) == ReadFileBytes(localFile);
            std::error_code ec;
            if (temp)
                fs::remove(*temp, ec);
        }
        const int syncType = same ? 0 : renamed ? 3 : 2;
        int changed = 0;
        bool recorded = false;
        FLocalTree.Inspect([&] { recorded = pass.DB->CheckSyncQueueItem(localItem->Item.get()); });
        if (!recorded ||
            !pass.DB->ExeSQL("update [SyncQueue] set [TaskItemPath_Old] = ?, [KuaipanFileID] = ?, "
                             "[KuaipanModifyTime] = ?, [SyncType] = ?, [IsDelete] = 0, "
                             "[UpdateDateTime] = (datetime('now','localtime')) where "
                             "[TaskItemID] = ?",
                             {renamed ? cloudItem->FileName() : std::string(),
                              cloudItem->TagString(), FormatIsoDateTime(cloudItem->TagDateTime()),
                              std::int64_t{syncType}, id},
                             &changed) ||
            changed != 1) {
            ++pass.Errors2;
            _OutputSyncLog(Format("Record local task item \"%s\" in class \"%s\" failed!",
                                  localItem->Title.c_str(), classTitle));
            return;
        }
        FRowsLeft.erase(id);
        if (same)
            RememberRow(pass, id);
        else
            _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" had no queue record: "
                                  "the local copy wins and will be uploaded.",
                                  localItem->Title.c_str(), classTitle));
        return;
    }
    if (row->SyncType() != 0 || row->IsDelete() != 0) {
        _OutputSyncLog(Format("Does not require to update local task item \"%s\" in class \"%s\".",
                              title, classTitle));
        return;
    }

    // Settles the row on the cloud copy, unless the item changed meanwhile.
    auto link = [&](const std::string& fromName, const std::string& toName, TDateTime modifyTime) {
        int changed = 0;
        return pass.DB->ExeSQL(
                   "update [SyncQueue] set [TaskItemPath] = ?, [TaskItemPath_Old] = '', "
                   "[TaskClassPath_Old] = '', [KuaipanFileID] = ?, [KuaipanModifyTime] = ?, "
                   "[SyncType] = 0, [UpdateDateTime] = (datetime('now','localtime')) where "
                   "[TaskItemID] = ? and [TaskItemPath] = ? and ifnull([SyncType], 0) = 0 and "
                   "ifnull([IsDelete], 0) = 0",
                   {toName, cloudItem->TagString(), FormatIsoDateTime(modifyTime), id, fromName},
                   &changed) &&
               changed == 1;
    };

    const bool contentNewer =
        WholeSeconds(row->KuaipanModifyTime()) < WholeSeconds(cloudItem->TagDateTime());
    std::string currentName = localItem->FileName;
    std::string rowName = row->TaskItemPath();
    if (localItem->FileName != cloudItem->FileName()) {
        // Until the content has come too, the row keeps the old time, so a
        // failed download is repeated.
        if (FLocalTree.RenameTaskItem(localClass, localItem->Item, localItem->FileName,
                                      cloudItem) &&
            link(rowName, cloudItem->FileName(),
                 contentNewer ? row->KuaipanModifyTime() : cloudItem->TagDateTime())) {
            currentName = rowName = cloudItem->FileName();
            ++pass.Summary.Pulled;
            RememberRow(pass, id);
            _OutputSyncLog(Format("Update local task item \"%s\" in class \"%s\" successfully!",
                                  title, classTitle));
        } else {
            ++pass.Errors2;
            _OutputSyncLog(
                Format("Update local task item \"%s\" in class \"%s\" failed!", title, classTitle));
        }
    }

    if (!contentNewer) {
        _OutputSyncLog(Format("Does not require to update local task item \"%s\" in class \"%s\".",
                              title, classTitle));
        return;
    }
    const std::string localFile = Paths().TaskDataPath + localClass->Path() + currentName + ".tsk";
    const auto before = ReadFileBytes(localFile);
    const auto temp = DownloadKuaipanFile(localFile, cloudItem->KuaipanPath());
    // Checked again at the moment of the replace: an edit made here while the
    // copy came down wins, and the next pass pushes it.
    bool editedMeanwhile = false;
    const auto unchanged = [&] {
        const auto now = pass.DB->GetSyncQueueItem(id);
        editedMeanwhile = !now || now->SyncType() != 0 || now->IsDelete() != 0 ||
                          now->TaskItemPath() != currentName || ReadFileBytes(localFile) != before;
        return !editedMeanwhile;
    };
    if (temp &&
        FLocalTree.ReplaceTaskItemFile(localClass, localItem->Item, currentName, *temp,
                                       unchanged) &&
        link(rowName, currentName, cloudItem->TagDateTime())) {
        ++pass.Summary.Pulled;
        RememberRow(pass, id);
        _OutputSyncLog(Format("Update local task item \"%s\" remarks in class \"%s\" successfully!",
                              title, classTitle));
    } else if (editedMeanwhile) {
        _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" was changed during the "
                              "download: the local change wins.",
                              title, classTitle));
    } else {
        ++pass.Errors2;
        _OutputSyncLog(Format("Update local task item \"%s\" remarks in class \"%s\" failed!",
                              title, classTitle));
    }
}

void TKuaipanSyncUtility::PruneLocal(TPass& pass) {
    const auto tree = FLocalTree.Snapshot();

    // Linked objects may be deleted by the pull, but only those with
    // nothing pending here: a change still to push wins over the deletion.
    std::set<std::string> linked;
    std::set<std::string> settled;
    {
        TOtSyncQueueList rows;
        pass.DB->ListSyncQueue(rows, "ifnull([KuaipanFileID], '') <> ''", TSQLParams{});
        for (const auto& row : rows) {
            linked.insert(row.TaskItemID());
            if (IsSettled(row))
                settled.insert(row.TaskItemID());
        }
    }
    std::unordered_map<std::string, TOtTaskClassPtr> cloudByID;
    for (const auto& c : FKuaipanTaskClassList)
        cloudByID.emplace(c->ID(), c);

    // What the cloud listing asks to delete.
    struct TPlan {
        const TLocalTaskClassInfo* Class;
        bool DeleteClass = false;
        std::vector<const TLocalTaskItemInfo*> Items;
        // Items of a class deleted there that exist only here or changed
        // here: the class is kept for them and pushed again.
        std::vector<const TLocalTaskItemInfo*> Kept;
    };
    std::vector<TPlan> plan;
    int linkedItems = 0;
    int toDelete = 0;
    bool anyLinkedClass = false;
    for (const auto& local : tree) {
        for (const auto& item : local.Items)
            linkedItems += linked.count(item.ID) ? 1 : 0;
        const bool classLinked = linked.count(local.ID) > 0;
        anyLinkedClass = anyLinkedClass || classLinked;
        auto cloud = cloudByID.find(local.ID);
        if (cloud == cloudByID.end()) {
            if (classLinked) {
                TPlan entry{&local, true, {}, {}};
                for (const auto& item : local.Items)
                    (settled.count(item.ID) ? entry.Items : entry.Kept).push_back(&item);
                entry.DeleteClass = entry.Kept.empty();
                toDelete += static_cast<int>(entry.Items.size());
                plan.push_back(std::move(entry));
            }
            continue;
        }
        if (!cloud->second->IsLoadTaskList())
            continue; // its listing failed: nothing is known to be gone
        TPlan entry{&local, false, {}, {}};
        for (const auto& item : local.Items)
            if (settled.count(item.ID) &&
                TOtTaskUtility::IndexOfTaskItemList(item.ID, cloud->second->TaskList()) < 0)
                entry.Items.push_back(&item);
        toDelete += static_cast<int>(entry.Items.size());
        if (!entry.Items.empty())
            plan.push_back(std::move(entry));
    }

    // Keeping is no deletion: it happens whatever the guards below decide.
    for (const auto& entry : plan) {
        const auto& local = *entry.Class;
        if (!entry.Kept.empty()) {
            // Unlinked, the class and the kept items go up as new next pass.
            CheckStop();
            std::string ids = "?";
            TSQLParams params{local.ID};
            for (const auto* item : entry.Kept) {
                ids += ", ?";
                params.push_back(item->ID);
                FRowsLeft.erase(item->ID);
            }
            FRowsLeft.erase(local.ID);
            if (pass.DB->ExeSQL(
                    "update [SyncQueue] set [KuaipanFileID] = '', "
                    "[TaskItemPath_Old] = '', [TaskClassPath_Old] = '', [SyncType] = 0, "
                    "[UpdateDateTime] = (datetime('now','localtime')) where "
                    "[TaskItemID] in (" +
                        ids + ") and ifnull([IsDelete], 0) = 0",
                    params)) {
                _OutputSyncLog(Format("Task class \"%s\" was deleted in Kuaipan by another "
                                      "computer; it is kept for %d local task item(s) that are "
                                      "not synchronized and will be uploaded again.",
                                      local.Title.c_str(), static_cast<int>(entry.Kept.size())));
            } else {
                ++pass.Errors2;
                _OutputSyncLog(Format("Keep local task class \"%s\" failed!", local.Title.c_str()));
            }
        }
    }

    // A wiped or swapped server must not empty the task tree.
    if (FKuaipanTaskClassList.empty() && anyLinkedClass) {
        ++pass.Errors2;
        _OutputSyncLog("Local deletions were not applied: the Kuaipan folder lists no task class.");
        return;
    }
    if (toDelete > MassDeletionThreshold && toDelete * 2 > linkedItems) {
        if (!FAllowMassDeletions) {
            ++pass.Errors2;
            _OutputSyncLog(Format("Local deletions were not applied: %d of %d synchronized local "
                                  "task items would be deleted.",
                                  toDelete, linkedItems));
            std::string lists;
            for (const auto& entry : plan)
                if (!entry.Items.empty() || entry.DeleteClass)
                    lists += (lists.empty() ? "\"" : ", \"") + entry.Class->Title + "\"";
            _OutputSyncLog(Format("Held back: %d task item(s) in %s; confirm to apply them.",
                                  toDelete, lists.c_str()));
            return;
        }
        _OutputSyncLog(Format("Local deletions confirmed: %d of %d synchronized local task items "
                              "are deleted.",
                              toDelete, linkedItems));
    }

    for (const auto& entry : plan) {
        const auto& local = *entry.Class;
        if (entry.DeleteClass) {
            CheckStop();
            if (FLocalTree.DeleteTaskClass(local.Class)) {
                for (const auto& item : local.Items)
                    FRowsLeft.erase(item.ID);
                FRowsLeft.erase(local.ID);
                pass.Summary.Deleted += 1 + static_cast<int>(local.Items.size());
                if (pass.DB->DeleteSyncQueue(local.ID)) {
                    _OutputSyncLog(Format("Delete local task class \"%s\" successfully!",
                                          local.Title.c_str()));
                } else {
                    ++pass.Errors2;
                    _OutputSyncLog(Format("Delete local task class \"%s\": its queue record "
                                          "could not be removed.",
                                          local.Title.c_str()));
                }
            } else {
                ++pass.Errors2;
                _OutputSyncLog(
                    Format("Delete local task class \"%s\" failed!", local.Title.c_str()));
            }
            continue;
        }
        for (const auto* item : entry.Items) {
            CheckStop();
            if (FLocalTree.DeleteTaskItem(local.Class, item->Item)) {
                FRowsLeft.erase(item->ID);
                ++pass.Summary.Deleted;
                if (pass.DB->DeleteSyncQueue(item->ID)) {
                    _OutputSyncLog(
                        Format("Delete local task item \"%s\" in class \"%s\" successfully!",
                               item->Title.c_str(), local.Title.c_str()));
                } else {
                    ++pass.Errors2;
                    _OutputSyncLog(Format("Delete local task item \"%s\" in class \"%s\": its "
                                          "queue record could not be removed.",
                                          item->Title.c_str(), local.Title.c_str()));
                }
            } else {
                ++pass.Errors2;
                _OutputSyncLog(Format("Delete local task item \"%s\" in class \"%s\" failed!",
                                      item->Title.c_str(), local.Title.c_str()));
            }
        }
    }
}

} // namespace ot
