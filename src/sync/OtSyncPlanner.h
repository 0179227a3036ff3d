#pragma once
// What a pass does with one task, decided from three states: the task as it
// was when both sides last agreed on it (the base), the task here now, and
// the task in the cloud now. Plain rules, no cloud and no disk: the engine
// gathers the states, asks here, and carries the answer out.
//
// A change is what differs from the base. A side that changed nothing takes
// the other side's change; when both changed the task, the two versions are
// merged field by field (MergeTaskItems), never simply overwritten.

#include "common/DateTime.h"
#include "tasks/OtTask.h"

#include <optional>
#include <string>
#include <vector>

namespace ot {

// One side's copy of a task, or the base: where it lies and what it holds.
struct TSyncTaskState {
    std::string ClassPath; // the list's directory name
    std::string FileName;  // without ".tsk"
    // SHA-1 of the file's bytes, lower-case hex; empty when not known.
    std::string Hash;
    // The cloud's modification time of the file (cloud side and base only).
    TDateTime ModifyTime = 0;
};

struct TSyncPlanInput {
    // Absent: the task was never synchronized.
    std::optional<TSyncTaskState> Base;
    // Absent: no file here.
    std::optional<TSyncTaskState> Local;
    // Absent: the cloud listing does not hold it.
    std::optional<TSyncTaskState> Cloud;
    // The queue says a change made here is still to push (a rename, new
    // content, or a deletion); without a base this is all there is to go by.
    bool LocalNamePending = false;
    bool LocalContentPending = false;
    bool LocalDeletePending = false;
    // The cloud's data was restored from an older copy: what it lacks was
    // not deleted by anyone.
    bool CloudRestored = false;
};

enum class TSyncAction {
    Nothing,      // both sides agree, or nothing is known to have changed
    Link,         // both sides hold the same task but no base records it
    PushNew,      // only here: upload it
    Push,         // changed here only: carry the change to the cloud
    PullNew,      // only in the cloud: take it here
    Pull,         // changed in the cloud only: take the change here
    Merge,        // changed on both sides: merge field by field, then push
    DeleteCloud,  // deleted here: delete the cloud copy
    DeleteLocal,  // deleted in the cloud, unchanged here: delete it here
    UploadAgain,  // gone from the cloud but changed here (or restored): upload it again
    Forget,       // gone on both sides: drop what is remembered of it
    RenewLocalID, // another task in the cloud has this task's ID: give it a new one
};

// The text of an action for log lines and test tables.
const char* SyncActionName(TSyncAction AAction);

struct TSyncPlan {
    TSyncAction Action = TSyncAction::Nothing;
    // The local side's deletion won over a change made in the cloud: the
    // engine names what was lost.
    bool DeletionWinsOverChange = false;
};

// Which side changed what, from the base.
bool LocalChanged(const TSyncPlanInput& AIn);
bool CloudChanged(const TSyncPlanInput& AIn);

TSyncPlan PlanTask(const TSyncPlanInput& AIn);

// ---- field-by-field merge --------------------------------------------------

// One version of a task for a merge: its fields (the item's attributes and
// remarks), the list it is in, and when that version was made.
struct TMergeSide {
    TOtTaskItemPtr Item;
    std::string ClassPath;
    TDateTime ChangeTime = 0;
    // The remarks differ from the base's (known from the content hash, or
    // from the queue when the base's hash is not known).
    bool RemarksChanged = false;
};

struct TMergeResult {
    // The merged fields, on a new item object of Local's class; its ID is
    // Local's.
    TOtTaskItemPtr Item;
    // The list the merged task belongs in.
    std::string ClassPath;
    // Each field both sides changed to different values: "<field>: \"<value
    // that lost>\"", for the log line that names the task.
    std::vector<std::string> Lost;
    // Both sides rewrote the remarks: the merged remarks hold both texts.
    bool RemarksJoined = false;
};

// The line that separates the two texts of remarks written on both sides.
inline constexpr const char* MergedRemarksMarker = "----- also written on another computer -----";

// ABase may be null (no base known: every field that differs counts as
// changed on both sides). Fields changed on one side take that side's value;
// changed on both to different values, the later change wins (this side's on
// a tie) and the other value is named in Lost; remarks rewritten on both
// sides keep both texts, the later one first, the other after the marker.
TMergeResult MergeTaskItems(const TOtTaskItem* ABase, const std::string& ABaseClassPath,
                            const TMergeSide& ALocal, const TMergeSide& ACloud);

// SHA-1 of bytes, lower-case hex: the hash the cloud lists for a file.
std::string ContentHash(const std::string& ABytes);

} // namespace ot
