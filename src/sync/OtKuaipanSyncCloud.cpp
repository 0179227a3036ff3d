// The engine's cloud helpers: names from the cloud, retried operations, listings
// and transfers.

#include "sync/OtKuaipanSyncSteps.h"

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
    // From the name alone: what the cloud file holds is known only once it
    // is downloaded, and a local file of the same name is not it.
    auto item = TOtTaskUtility::ParseTaskItemName(
        ATaskClass, Paths().TaskDataPath + ATaskClass->DirName() + "/" + AName);
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
            NoteCloudVersion(item->KuaipanPath(), entry);
            ATaskList.push_back(std::move(item));
        }
    }
    // One file per task: a second file with the same ID (left by a pass that
    // raced another computer's change) is set aside for the pass to fold into
    // the newer one, and the rest of the pass sees only that one.
    std::unordered_map<std::string, std::size_t> byID;
    TOtTaskItemList kept;
    for (auto& item : ATaskList) {
        auto [it, fresh] = byID.emplace(item->ID(), kept.size());
        if (fresh) {
            kept.push_back(item);
            continue;
        }
        auto& other = kept[it->second];
        if (WholeSeconds(item->TagDateTime()) > WholeSeconds(other->TagDateTime()) ||
            (WholeSeconds(item->TagDateTime()) == WholeSeconds(other->TagDateTime()) &&
             item->FileName() > other->FileName()))
            std::swap(item, other);
        FCloudDuplicates.push_back({ATaskClass, other, item});
    }
    ATaskList = std::move(kept);
    return true;
}

bool TKuaipanSyncUtility::LoadKuaipanTaskClassList() {
    const TKuaipanFile root =
        UntilFileID(FKuaipanOpTryCount, [&] { return FKuaipanAPI->Metadata("/", true); });
    if (!NoteCloudResult(!root.file_id.empty()))
        return false;
    FCloudFingerprint = root.data_fingerprint;
    FCloudDuplicates.clear();
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
                                                const std::string& ABytes,
                                                TOtTaskItemPtr& ATaskItem, TKuaipanFile& AStored) {
    const std::string localFile = Paths().TaskDataPath +
                                  FLocalTree.DiskDirName(ATaskClass->DirName()) + "/" + AFileName +
                                  ".tsk";
    // The cloud's picture of the item: its name; the bytes went up as read.
    auto item = TOtTaskUtility::ParseTaskItemName(ATaskClass, localFile);
    if (!item || !UploadKuaipanBytes(ABytes, item->KuaipanPath(), AStored))
        return false;
    item->SetTagString(AStored.file_id);
    ATaskItem = std::move(item);
    return true;
}

void TKuaipanSyncUtility::NoteCloudVersion(const std::string& APath, const TKuaipanFile& AInfo) {
    if (!AInfo.file_id.empty())
        FCloudVersions[APath] = {AInfo.rev, AInfo.hash};
}

std::string TKuaipanSyncUtility::CloudRev(const std::string& APath) const {
    auto it = FCloudVersions.find(APath);
    return it == FCloudVersions.end() ? std::string() : it->second.Rev;
}

std::string TKuaipanSyncUtility::CloudHash(const std::string& APath) const {
    auto it = FCloudVersions.find(APath);
    return it == FCloudVersions.end() ? std::string() : it->second.Hash;
}

namespace {

// A conditional call the service refused: the file is not the version the
// call was based on. Trying again changes nothing.
template <typename Call> bool UntilStatus200Or409(int tryCount, Call call, bool* AConflict) {
    for (int i = 0; i < tryCount; ++i) {
        const int code = call().Code;
        if (code == 200)
            return true;
        if (code == 409) {
            if (AConflict)
                *AConflict = true;
            return false;
        }
    }
    return false;
}

} // namespace

bool TKuaipanSyncUtility::DeleteKuaipanPath(const std::string& APath, const std::string& AIfRev,
                                            bool* AConflict) {
    bool conflict = false;
    const bool ok = UntilStatus200Or409(
        FKuaipanOpTryCount, [&] { return FKuaipanAPI->Delete(APath, true, AIfRev); }, &conflict);
    if (AConflict)
        *AConflict = conflict;
    if (ok)
        FCloudVersions.erase(APath);
    return NoteCloudResult(ok || conflict) && ok;
}

bool TKuaipanSyncUtility::MoveKuaipanFile(const std::string& AFromPath, const std::string& AToPath,
                                          const std::string& AIfRev, bool* AConflict,
                                          TKuaipanFile* AMoved) {
    bool conflict = false;
    std::string replyText;
    const bool ok = UntilStatus200Or409(
        FKuaipanOpTryCount,
        [&] {
            auto reply = FKuaipanAPI->Move(AFromPath, AToPath, AIfRev);
            replyText = std::move(reply.Content);
            return reply;
        },
        &conflict);
    if (AConflict)
        *AConflict = conflict;
    if (ok) {
        auto it = FCloudVersions.find(AFromPath);
        if (it != FCloudVersions.end()) {
            FCloudVersions[AToPath] = it->second;
            FCloudVersions.erase(AFromPath);
        }
        if (AMoved) {
            // A reply that is no record is no failure of the move: the
            // record is asked for instead.
            try {
                *AMoved = TKuaipanFile::FromReply(replyText);
            } catch (const TKuaipanIOException&) {
                *AMoved = TKuaipanFile();
            }
        }
    }
    return NoteCloudResult(ok || conflict) && ok;
}

TKuaipanFile TKuaipanSyncUtility::GetKuaipanFileInfo(const std::string& APath) {
    TKuaipanFile info =
        UntilFileID(FKuaipanOpTryCount, [&] { return FKuaipanAPI->Metadata(APath, true); });
    NoteCloudResult(!info.file_id.empty());
    NoteCloudVersion(APath, info);
    return info;
}

bool TKuaipanSyncUtility::UploadKuaipanFile(const std::string& ALocalFile, const std::string& APath,
                                            std::string& AFileID, const std::string& AIfRev,
                                            bool* AConflict) {
    // A file that vanished behind the program's back fails this push instead
    // of raising out of the whole pass; a link is never followed.
    std::error_code ec;
    if (fs::is_symlink(ALocalFile, ec) || !fs::is_regular_file(ALocalFile, ec))
        return false;
    const auto bytes = ReadFileBytes(ALocalFile);
    TKuaipanFile stored;
    if (!bytes || !UploadKuaipanBytes(*bytes, APath, stored, AIfRev, AConflict))
        return false;
    AFileID = stored.file_id;
    return true;
}

bool TKuaipanSyncUtility::UploadKuaipanBytes(const std::string& ABytes, const std::string& APath,
                                             TKuaipanFile& AStored, const std::string& AIfRev,
                                             bool* AConflict) {
    bool conflict = false;
    for (int i = 0; i < FKuaipanOpTryCount && !conflict; ++i) {
        AStored = FKuaipanAPI->UploadData(APath, ABytes, true, AIfRev);
        conflict = AStored.conflict;
        if (!AStored.file_id.empty())
            break;
    }
    if (AConflict)
        *AConflict = conflict;
    NoteCloudVersion(APath, AStored);
    return NoteCloudResult(!AStored.file_id.empty() || conflict) && !AStored.file_id.empty();
}

TKuaipanFile TKuaipanSyncUtility::StoredFileInfo(const std::string& APath,
                                                 const TKuaipanFile& AReply) {
    if (!AReply.file_id.empty() && !AReply.rev.empty() && AReply.modify_time != 0) {
        NoteCloudVersion(APath, AReply);
        return AReply;
    }
    return GetKuaipanFileInfo(APath);
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

} // namespace ot
