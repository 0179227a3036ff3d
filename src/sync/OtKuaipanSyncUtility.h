#pragma once
// The synchronization engine. One pass (SyncToKuaipan) first pushes the
// queued local changes to the cloud folder (step 1) and then pulls the
// cloud's changes into the local task tree (step 2).
//
// Cloud layout below the application folder: one folder per task class,
// named by its DirName, holding one file per item, named by its FileName
// and ".tsk", with the bytes of the local file.
//
// The engine works in the program directory of its local tree
// (TOtLocalTaskTree::Paths): the task data, the queue database, and the
// access token file, read when the engine is created and again at the start
// of every pass: the file says which account is bound. A pass without it
// (the account was removed) sends nothing and raises
// TKuaipanAuthExpiredException, as on a computer never bound.

#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanException.h"
#include "cloud/Session.h"
#include "common/DateTime.h"
#include "sync/OtKuaipanSyncModel.h"
#include "sync/OtLocalTaskTree.h"
#include "sync/OtSyncPlanner.h"
#include "tasks/OtTask.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace ot {

class TOtSyncQueueDB;
class TOtSyncQueueDBUtility;
enum TSyncType : std::int32_t;

// Raised inside a pass that was asked to stop (the program is ending).
class ESyncStopped : public std::runtime_error {
public:
    ESyncStopped() : std::runtime_error("Synchronization was stopped.") {}
};

// Raised inside a pass when the cloud stopped answering: the rest of the
// pass would only pile up failures.
class ESyncServerUnreachable : public std::runtime_error {
public:
    ESyncServerUnreachable() : std::runtime_error("The Kuaipan server cannot be reached.") {}
};

// What the last pass did, for a one-line summary.
struct TSyncSummary {
    int Pushed = 0;  // creations, updates and deletions sent to the cloud
    int Pulled = 0;  // local creations and updates taken from the cloud
    int Deleted = 0; // local deletions taken from the cloud
    int Errors = 0;
    bool Unreachable = false;
    THeldBackDeletions HeldBack; // empty unless deletions were held back
};

struct TLocalCopy;

class TKuaipanSyncUtility {
public:
    // AKuaipanSyncThread receives log lines and status texts; it may be a
    // thread that is never started (the command line), or null (nothing is
    // shown). ALocalTree is the program's task tree; both must outlive the
    // engine. AHosts is where the installation's cloud lives (usually
    // TKuaipanHosts::FromProgramDir of its program directory); the engine's
    // session keeps them. ASettings may be null (defaults).
    TKuaipanSyncUtility(TKuaipanSyncThread* AKuaipanSyncThread, TOtLocalTaskTree& ALocalTree,
                        TKuaipanHosts AHosts,
                        std::shared_ptr<const TSyncSettings> ASettings = nullptr);
    ~TKuaipanSyncUtility();
    TKuaipanSyncUtility(const TKuaipanSyncUtility&) = delete;
    TKuaipanSyncUtility& operator=(const TKuaipanSyncUtility&) = delete;

    // One pass. True when both steps had the cloud class list and neither
    // counted an error. Exceptions of the cloud client and the queue
    // database end the pass and reach the caller. A cloud that stops
    // answering ends the pass early, counted as an error.
    bool SyncToKuaipan();
    // A pass of the desktop program: when it held back deletions the user
    // was not asked about yet, asks through the thread; on yes one more
    // pass applies exactly that set. A set the user declined is not asked
    // about again; a different one is.
    bool SyncToKuaipanConfirmingDeletions();
    // What the last pass did (complete also when it ended with an error).
    const TSyncSummary& LastSummary() const { return FSummary; }

    // The account-binding flow: the address of the authorise page (empty on
    // any failure), and the exchange of the verifier for an access token,
    // which is then saved to the access-token file (false on any failure).
    // A pass starting meanwhile leaves the session's token to the flow.
    std::string GetAuthorizeURL();
    bool SetVerifier(const std::string& AVerifier);
    // Set when the last of the two calls above failed because the server
    // refused this computer's clock.
    std::optional<TKuaipanClockSkewException> LastClockSkew() const { return FLastClockSkew; }

    TOauthSession& Session() { return *FSession; }
    TKuaipanAPI& KuaipanAPI() { return *FKuaipanAPI; }
    // The engine's picture of the cloud folder, as of the last listing.
    const TOtTaskClassList& KuaipanTaskClassList() const { return FKuaipanTaskClassList; }

    int KuaipanOpTryCount() const { return FKuaipanOpTryCount; }
    void SetKuaipanOpTryCount(int count) { FKuaipanOpTryCount = count < 1 ? 1 : count; }

    // The watermark: queue rows changed at or after it are pushed. 0 at the
    // start of every run; a pass without error moves it to the time the pass
    // started.
    TDateTime LastDateTimeSyncSuccess() const { return FLastDateTimeSyncSuccess.load(); }
    void SetLastDateTimeSyncSuccess(TDateTime value) { FLastDateTimeSyncSuccess = value; }

    // The pause after each queue row of step 1 that sent a request to the
    // cloud, spreading the requests of a long queue over time: the cloud
    // hosts' (500 ms unless they say otherwise; none for our own server).
    std::chrono::milliseconds RowPause() const { return FRowPause; }
    void SetRowPause(std::chrono::milliseconds pause) { FRowPause = pause; }

    // Makes a pass under way stop between two rows or two cloud items
    // (raising ESyncStopped). The pass also stops when its thread is asked
    // to terminate. ClearStop allows passes again.
    void RequestStop() { FStopRequested = true; }
    void ClearStop() { FStopRequested = false; }

    // A local deletion pulled from the cloud is refused when it would remove
    // more than half of the linked local items and more than this many.
    static constexpr int MassDeletionThreshold = 5;
    // In a small tree, this many deletions are held back already when they
    // are more than half of it.
    static constexpr int SmallTreeDeletionThreshold = 3;
    // Lets the next pass apply deletions that the guard above would hold
    // back (the user confirmed them); used by one pass only. Given the Key
    // of a held-back set, only that very set is applied; another one is
    // held back again.
    void AllowMassDeletionsOnce(std::string AHeldBackKey = {}) {
        FAllowMassDeletions = true;
        FAllowedDeletionsKey = std::move(AHeldBackKey);
    }

    // Runs in every pass right after step 1 has listed the cloud: a test puts
    // another computer's pass there, so that it lands between this pass's
    // listing and its pushes.
    void SetAfterListingHook(std::function<void()> AHook) { FAfterListing = std::move(AHook); }

    // Cloud operations in a row that may fail (each after its retries)
    // before the pass checks whether the server answers at all.
    static constexpr int UnreachableAfterFailures = 3;

    // Forwarding to the thread.
    void _OutputSyncLog(const std::string& ALogStr);
    void _UpdateSyncStatusBar(int AIndex, int ACount, const std::string& AText);
    void _UpdateSyncStatusBar(const std::string& AText);
    void _ShowLogForm();
    void _HideLogForm();

private:
    struct TPass;

    // Cloud operations, each tried up to KuaipanOpTryCount times.
    bool LoadKuaipanTaskClassList();
    bool LoadKuaipanTaskItemList(const std::string& APath, const TOtTaskClassPtr& ATaskClass,
                                 TOtTaskItemList& ATaskList);
    bool CreateKuaipanTaskClass(const std::string& ADirName, std::string& AFileID,
                                TOtTaskClassPtr& ATaskClass);
    // Uploads ABytes, the item's local file as read; AStored is the
    // service's record of the stored file.
    bool CreateKuaipanTaskItem(const std::string& AFileName, const TOtTaskClassPtr& ATaskClass,
                               const std::string& ABytes, TOtTaskItemPtr& ATaskItem,
                               TKuaipanFile& AStored);
    // AIfRev, when not empty, makes the call conditional on the cloud file
    // still having that revision; AConflict then tells a refusal (the file
    // changed meanwhile) from a failure.
    bool DeleteKuaipanPath(const std::string& APath, const std::string& AIfRev = {},
                           bool* AConflict = nullptr);
    // AMoved, when given, gets the service's record of the moved file as
    // its reply names it (empty when the reply does not).
    bool MoveKuaipanFile(const std::string& AFromPath, const std::string& AToPath,
                         const std::string& AIfRev = {}, bool* AConflict = nullptr,
                         TKuaipanFile* AMoved = nullptr);
    TKuaipanFile GetKuaipanFileInfo(const std::string& APath);
    bool UploadKuaipanFile(const std::string& ALocalFile, const std::string& APath,
                           std::string& AFileID, const std::string& AIfRev = {},
                           bool* AConflict = nullptr);
    // The same with the bytes already read; AStored is the reply's record.
    bool UploadKuaipanBytes(const std::string& ABytes, const std::string& APath,
                            TKuaipanFile& AStored, const std::string& AIfRev = {},
                            bool* AConflict = nullptr);
    // The record of APath just stored or moved: the reply's own when it
    // names the file, its revision and time (our server's replies do), else
    // asked for.
    TKuaipanFile StoredFileInfo(const std::string& APath, const TKuaipanFile& AReply);
    // The revision and hash of cloud files as last listed or stored, by path.
    void NoteCloudVersion(const std::string& APath, const TKuaipanFile& AInfo);
    std::string CloudRev(const std::string& APath) const;
    std::string CloudHash(const std::string& APath) const;
    // Downloads into a new temporary file beside ALocalFile (which is not
    // touched) and answers its name, or nullopt when no complete copy came.
    std::optional<std::string> DownloadKuaipanFile(const std::string& ALocalFile,
                                                   const std::string& APath);

    // Names from the cloud listing, accepted only when this program would
    // have written them.
    static TOtTaskClassPtr ParseCloudTaskClass(const std::string& AName);
    TOtTaskItemPtr ParseCloudTaskItem(const TOtTaskClassPtr& ATaskClass, const std::string& AName);

    void Step1(TPass& pass);
    // A list deleted in the cloud by another computer while this one has
    // work in it that was never synchronized comes back in the cloud at
    // once, so the other computer's next pass has that work.
    void ReviveClassesDeletedThere(TPass& pass);
    // A list whose directory was renamed here (by hand) is renamed in the
    // cloud: its folder is moved, and the rows follow.
    void PushRenamedClasses(TPass& pass);
    // The rows (and bases) of a list and its items follow its new name.
    bool RecordClassRename(TPass& pass, const std::string& AID, const std::string& AFrom,
                           const std::string& ATo);
    // The list renamed on another computer takes the cloud's name here
    // (unless it was renamed here too); false when the local rename failed.
    bool TakeClassRename(TPass& pass, const TOtTaskClassPtr& cloudClass);
    void PushClassRow(TPass& pass, const TOtSyncQueueDB& row);
    // False (and logged) for a row whose names this program would not write.
    bool IsOwnName(const TOtSyncQueueDB& row);
    void PushItemRow(TPass& pass, const TOtSyncQueueDB& row);
    void LookAgainAfterConflict(TPass& pass, const TOtSyncQueueDB& row);
    // Links the row of an item just uploaded as new to its cloud copy, also
    // when the item was renamed or deleted here meanwhile.
    bool LinkCreatedItem(TPass& pass, const std::string& id, const std::string& classPath,
                         const std::string& name, const TKuaipanFile& info);
    // Settles what the row asked for (leaving remainingSyncType pending),
    // unless the item changed again since the row was read. modifyTime, when
    // given, is recorded instead of the cloud copy's (its content is still
    // to be pulled).
    // AReply: the record the upload or move returned, when there was one.
    bool RecordPush(TPass& pass, const TOtSyncQueueDB& row, const std::string& cloudPath,
                    const std::string& itemPath, TSyncType remainingSyncType,
                    const TKuaipanFile* AReply = nullptr);
    // The item of row, changed here, was moved to another class elsewhere
    // (its copy there has a new ID): the move wins, content written here goes
    // to that copy, and the item here goes. False when no such copy is found.
    bool TakeMovedCopy(TPass& pass, const TOtSyncQueueDB& row, const TOtTaskClassPtr& cloudClass,
                       const std::string& localFile);
    // The copy another computer's move of row's item made, found by the title
    // and creation time the item had here; nullptr when there is not exactly one.
    TOtTaskItemPtr FindMovedCopy(TPass& pass, const TOtSyncQueueDB& row,
                                 const TOtTaskClassPtr& cloudClass);
    // row is the deletion a move made here; when another computer moved the
    // item too, its copy is deleted in the cloud. False when that failed.
    bool DropOtherMovedCopy(TPass& pass, const TOtSyncQueueDB& row,
                            const TOtTaskClassPtr& cloudClass);
    // ---- what both sides changed ----
    // The state the task of a linked row was last synchronized in: its base,
    // or, for a row settled before bases were kept, what the row tells.
    TSyncTaskState BaseState(TPass& pass, const TOtSyncQueueDB& row);
    std::string BaseRev(TPass& pass, const std::string& AID);
    // The three states of a row's task for the planner; listed is its cloud
    // copy (null when not listed), localBytes its local file's content.
    TSyncPlanInput PlanInputFor(TPass& pass, const TOtSyncQueueDB& row,
                                const TOtTaskItemPtr& listed,
                                const std::optional<std::string>& localBytes);
    // The task of row changed here and in the cloud (listed, in ACloudClass):
    // merges both field by field, writes the merged task here and pushes it,
    // each push conditional on the version merged with. With ATarget (the
    // copy another computer's move made in ATargetClass) the merged task
    // goes there instead, and the caller removes the local one. False when
    // something failed; nothing is then settled.
    bool MergeWithCloud(TPass& pass, const TOtSyncQueueDB& row, const TOtTaskClassPtr& ACloudClass,
                        const TOtTaskItemPtr& listed, const TOtTaskClassPtr& ATargetClass = nullptr,
                        const TOtTaskItemPtr& ATarget = nullptr);
    // row is the deletion a move made here, and listed its cloud copy, which
    // another computer changed since: what that computer changed goes into
    // the moved copy here (not yet uploaded), which its own row then pushes.
    // False when there is no such copy.
    bool MergeIntoMovedCopy(TPass& pass, const TOtSyncQueueDB& row, const TOtTaskItemPtr& listed);
    void ReportMerge(const std::string& ATitle, const TMergeResult& AMerged);
    // Two cloud files with one ID (set aside by the listing) become one.
    void RepairCloudDuplicates(TPass& pass, int& AErrors);
    struct TCloudDuplicate;
    // Two files with one ID that are two tasks (this computer's, linked to
    // its row, and one under another title): the other is given a new ID.
    // False when they are versions of one task, for RepairCloudDuplicates.
    bool KeepCollidingTasksApart(TPass& pass, const TCloudDuplicate& d, int& AErrors);
    // Compares the cloud's data fingerprint with the one seen last.
    void CheckCloudFingerprint(TPass& pass);
    void SaveCloudFingerprint(TPass& pass);
    void Step2(TPass& pass);
    void PullClass(TPass& pass, const TOtTaskClassPtr& cloudClass);
    void PullItem(TPass& pass, const TOtTaskClassPtr& cloudClass, const TOtTaskClassPtr& localClass,
                  const TOtTaskItemPtr& cloudItem, const TLocalTaskItemInfo* localItem);
    // A task of another class here holds the ID of a cloud task new to this class (two
    // computers drew one ID): true when the cloud task is not to be pulled now.
    // `row` is the queue's row of the cloud task's ID.
    bool TakeIDHeldInAnotherClass(TPass& pass, const TOtTaskClassPtr& cloudClass,
                                  const TOtTaskClassPtr& localClass,
                                  const TOtTaskItemPtr& cloudItem, const TOtSyncQueueDB& row);
    void PruneLocal(TPass& pass);
    // One local file per task ID, at the start and at the end of every pass.
    void EnsureOneLocalFilePerID(TPass& pass);
    // Local objects without a queue row, not in the cloud, get one as new.
    void RecordObjectsWithoutRow(TPass& pass);
    void RecordObjectsWithoutRow(TPass& pass,
                                 const std::unordered_map<std::string, TOtTaskClassPtr>& cloudByID);
    // A local deletion of the object is still to be pushed.
    static bool IsDeletionPending(TPass& pass, const std::string& AID);

    // Gives the session the token of the access-token file, or no access
    // token when the file holds none (a login's request token stays). False
    // when no account is bound.
    bool TakeAccountFromAuthFile();

    // Counts a cloud operation and its outcome; after a run of failures
    // asks the server whether it answers at all, and ends the pass if not.
    bool NoteCloudResult(bool ok);
    bool StopRequested() const;
    void CheckStop() const;
    void PauseAfterRow();
    // Waits, cut short by a stop request; whether the whole pause passed.
    bool PauseFor(std::chrono::milliseconds pause);
    // Notes the state a row was left in by this engine, so that the next
    // pass passes over it while nobody changed it.
    void RememberRow(TPass& pass, const std::string& ATaskItemID);
    // The bytes of a local file, read inside Access.
    std::optional<std::string> LocalFileBytes(const std::string& APath);
    // Its bytes and stamp, read together inside Access.
    TLocalCopy LocalCopy(const std::string& APath);
    // After an upload of ABefore, read from AFile: when the file was written
    // again since, an edit came while the upload was under way and did not
    // go with it, so the row keeps the content to push.
    void KeepContentIfChanged(TPass& pass, const std::string& ATaskItemID, const std::string& AName,
                              const std::string& AFile, const TLocalCopy& ABefore);

    std::shared_ptr<TOauthSession> FSession;
    // Held while the session's token and the access-token file may differ:
    // from a token exchange until its file is saved.
    std::mutex FAccountMutex;
    std::unique_ptr<TKuaipanAPI> FKuaipanAPI;
    TOtTaskClassList FKuaipanTaskClassList;
    int FKuaipanOpTryCount = 3;
    TKuaipanSyncThread* FKuaipanSyncThread;
    // The program directory of the local tree.
    const TAppPaths& Paths() const { return FLocalTree.Paths(); }

    TOtLocalTaskTree& FLocalTree;
    std::shared_ptr<const TSyncSettings> FSettings;
    std::atomic<TDateTime> FLastDateTimeSyncSuccess{0};
    std::chrono::milliseconds FRowPause{500};
    std::atomic<bool> FStopRequested{false};
    // Rows as this engine last wrote them, by ID (see RememberRow).
    std::map<std::string, std::unique_ptr<TOtSyncQueueDB>> FRowsLeft;
    long long FCloudOps = 0;
    int FFailuresInARow = 0;
    bool FAllowMassDeletions = false;
    std::string FAllowedDeletionsKey;
    // The held-back set the user last declined.
    std::string FDeclinedDeletionsKey;
    TSyncSummary FSummary;
    std::function<void()> FAfterListing;
    std::optional<TKuaipanClockSkewException> FLastClockSkew;
    struct TCloudVersion {
        std::string Rev;
        std::string Hash;
    };
    std::map<std::string, TCloudVersion> FCloudVersions;
    // Second cloud files of one task ID found by the listings: the file kept
    // in the listing, and the other one, to be folded into it.
    struct TCloudDuplicate {
        TOtTaskClassPtr Class;
        TOtTaskItemPtr Kept;
        TOtTaskItemPtr Other;
    };
    std::vector<TCloudDuplicate> FCloudDuplicates;
    // The cloud's data fingerprint of the last listing of its root.
    std::string FCloudFingerprint;
};

} // namespace ot
