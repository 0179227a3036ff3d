#pragma once
// The task model: task classes (named task lists, one directory each) and
// task items (single tasks, one ".tsk" file each).
//
// Ownership
//   TOtTaskClassList (the program-wide list, or the sync engine's cloud copy)
//   owns its classes through TOtTaskClassPtr; a class's TaskList owns its items
//   through TOtTaskItemPtr. Anyone else that keeps an item or a class (pages,
//   the alert window, the engine) holds a shared pointer too, so a reference
//   never dangles. An item refers to its class and to its parent without
//   owning them (std::weak_ptr, so that item -> class -> item is no cycle):
//   TaskClass() and Parent() answer nullptr once the referred object is gone.
//   Items can only refer to classes and parents that are owned by a shared_ptr.
//
// Old-value snapshot
//   An item keeps, beside its twelve current values, the values they had at
//   the last ResetDirty. The repository derives from the two whether an edit
//   rewrites the file, renames it or moves it to another class directory.
//   Setting ID, Title, Remarks or Status first copies the CURRENT value into
//   the snapshot (so after two assignments the snapshot holds the first new
//   value, not the value of the last reset); every other setter leaves the
//   snapshot alone.

#include "common/DateTime.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

inline constexpr int MaxTaskTitleLength = 100;     // UTF-16 code units
inline constexpr int MaxTaskClassTitleLength = 50; // UTF-16 code units

enum TTaskStatus : std::uint8_t { tsNotCompleted = 0, tsCompleted = 1, tsCleared = 2 };
enum TTaskSortField : std::uint8_t { tsfCreateDateTime = 0, tsfPriority = 1 };
enum TSortOrder : std::uint8_t { soAsc = 0, soDesc = 1 };

class TOtTaskClass;
class TOtTaskItem;
using TOtTaskClassPtr = std::shared_ptr<TOtTaskClass>;
using TOtTaskItemPtr = std::shared_ptr<TOtTaskItem>;
using TOtTaskClassList = std::vector<TOtTaskClassPtr>;
using TOtTaskItemList = std::vector<TOtTaskItemPtr>;

// A fresh ID: the current local date-time packed as a FAT date-time, written
// as a signed 32-bit decimal ("-" becomes "N" from 2044 on), then one random
// capital letter and one random capital letter or digit. One process never
// answers the same ID twice (another process may, within the same two
// seconds, by a chance of 1 in 936).
std::string NewTaskID();
// The same for a given local date-time (NewTaskID uses the clock's Now()).
std::string NewTaskIDAt(TDateTime now);
// The packed FAT date-time of a local date-time; 0 before 1980 and after 2107.
std::uint32_t PackFatDateTime(TDateTime dt);

std::string TaskStatusToStr(TTaskStatus AStatus);
// "NotCompleted"/"0", "Completed"/"1", "Cleared"/"2", compared exactly;
// anything else reads as tsNotCompleted.
TTaskStatus StrToTaskStatus(const std::string& AText);

class TOtTaskClass {
public:
    // A class read from disk or from the cloud.
    TOtTaskClass(std::string AID, std::string ATitle);
    // A new class with a provisional ID from NewTaskID; the repository
    // replaces it with one from its unique draw when it stores the class.
    explicit TOtTaskClass(std::string ATitle);
    ~TOtTaskClass() = default;
    TOtTaskClass(const TOtTaskClass&) = delete;
    TOtTaskClass& operator=(const TOtTaskClass&) = delete;

    const std::string& ID() const { return FID; }
    const std::string& Title() const { return FTitle; }
    // A list renamed (its directory renamed by hand, or another computer's).
    void SetTitle(std::string v) { FTitle = std::move(v); }
    // Whether the ID is the constructor's provisional draw, and its
    // replacement (the only way a class's ID changes).
    bool IsIDProvisional() const { return FIDProvisional; }
    void ReplaceProvisionalID(std::string AID);
    TOtTaskItemList& TaskList() { return FTaskList; }
    const TOtTaskItemList& TaskList() const { return FTaskList; }
    bool IsLoadTaskList() const { return FIsLoadTaskList; }
    void SetIsLoadTaskList(bool v) { FIsLoadTaskList = v; }
    const std::string& TagString() const { return FTagString; }
    void SetTagString(std::string v) { FTagString = std::move(v); }
    TDateTime TagDateTime() const { return FTagDateTime; }
    void SetTagDateTime(TDateTime v) { FTagDateTime = v; }

    // ID + "#" + escaped title: the name this program gives the directory
    // below the task data directory, the folder in the cloud and the class's
    // name in the sync queue.
    std::string DirName() const;
    // DiskDirName + "/": the class directory relative to the task data
    // directory, where its item files really are.
    std::string Path() const;
    // The name the class directory really has: the name it was loaded from,
    // which may differ from DirName when the directory was made by hand
    // (an unescaped blank in the title); DirName otherwise.
    std::string DiskDirName() const { return FDiskDirName.empty() ? DirName() : FDiskDirName; }
    void SetDiskDirName(std::string v) { FDiskDirName = std::move(v); }

    std::string ToString() const;

private:
    std::string FID;
    std::string FTitle;
    TOtTaskItemList FTaskList;
    bool FIsLoadTaskList = false;
    std::string FTagString;     // cloud file ID of the folder (sync engine only)
    TDateTime FTagDateTime = 0; // cloud modification time (sync engine only)
    std::string FDiskDirName;
    bool FIDProvisional = false;
};

class TOtTaskItem {
public:
    // A new item: creation time now, priority 5, level 1, clean, and a
    // provisional ID from NewTaskID, which the repository replaces with one
    // from its unique draw when it stores the item (unless an ID was set).
    explicit TOtTaskItem(const TOtTaskClassPtr& ATaskClass,
                         const TOtTaskItemPtr& AParent = nullptr);
    TOtTaskItem(std::string ATitle, const TOtTaskClassPtr& ATaskClass,
                const TOtTaskItemPtr& AParent = nullptr);
    TOtTaskItem(std::string ATitle, std::string ARemarks, TTaskStatus AStatus,
                TDateTime AExpirationDate, TDateTime AAlertTime, const TOtTaskClassPtr& ATaskClass,
                const TOtTaskItemPtr& AParent);
    TOtTaskItem(const TOtTaskItem&) = delete;
    TOtTaskItem& operator=(const TOtTaskItem&) = delete;

    // Setting these copies the current value into the snapshot first.
    const std::string& ID() const { return FID; }
    void SetID(std::string v);
    bool IsIDProvisional() const { return FIDProvisional; }
    const std::string& Title() const { return FTitle; }
    void SetTitle(std::string v);
    // An item loaded with its remarks deferred reads them from its file the
    // first time they are asked for (on the thread that owns the tree, as
    // every access of an item).
    const std::string& Remarks() const {
        if (!FRemarksRoot.empty())
            ReadDeferredRemarks();
        return FRemarks;
    }
    // Whether the remarks are in memory, not still to be read from the file.
    bool RemarksRead() const { return FRemarksRoot.empty(); }
    void SetRemarks(std::string v);
    TTaskStatus Status() const { return FStatus; }
    void SetStatus(TTaskStatus v);

    // Plain values; setting them leaves the snapshot alone.
    TDateTime ExpirationDate() const { return FExpirationDate; }
    void SetExpirationDate(TDateTime v) { FExpirationDate = v; }
    TDateTime AlertTime() const { return FAlertTime; }
    void SetAlertTime(TDateTime v) { FAlertTime = v; }
    TDateTime CreateDateTime() const { return FCreateDateTime; }
    void SetCreateDateTime(TDateTime v) { FCreateDateTime = v; }
    TDateTime FinishDateTime() const { return FFinishDateTime; }
    void SetFinishDateTime(TDateTime v) { FFinishDateTime = v; }
    TOtTaskClassPtr TaskClass() const { return FTaskClass.lock(); }
    void SetTaskClass(const TOtTaskClassPtr& v) { FTaskClass = v; }
    TOtTaskItemPtr Parent() const { return FParent.lock(); }
    void SetParent(const TOtTaskItemPtr& v) { FParent = v; }
    std::int32_t Level() const { return FLevel; }
    void SetLevel(std::int32_t v) { FLevel = v; }
    std::int32_t Priority() const { return FPriority; }
    void SetPriority(std::int32_t v) { FPriority = v; }
    const std::string& TagString() const { return FTagString; }
    void SetTagString(std::string v) { FTagString = std::move(v); }
    TDateTime TagDateTime() const { return FTagDateTime; }
    void SetTagDateTime(TDateTime v) { FTagDateTime = v; }

    TOtTaskClassPtr OldTaskClass() const { return FTaskClass_Old.lock(); }

    // File name without ".tsk" from the current values / from the snapshot;
    // empty when the (old) ID is empty.
    std::string FileName() const;
    // The file name the item's current values give under another ID (a move
    // to another class draws one).
    std::string FileNameWithID(const std::string& AID) const;
    std::string OldFileName() const;
    // Class Path + FileName + ".tsk", relative to the task data directory;
    // empty when FileName is empty. OldPath likewise from the snapshot.
    std::string Path() const;
    std::string OldPath() const;
    // The name (without ".tsk") the item's file really has: the name it was
    // loaded from, which may differ from the name its values build (a status
    // written as a word, five or nine fields), or else FileName at the last
    // ResetDirty. Renames, deletions and the data check use it, so a file is
    // always addressed where it lies.
    const std::string& DiskFileName() const { return FDiskFileName; }
    void SetDiskFileName(std::string v) { FDiskFileName = std::move(v); }
    // The old class's DiskDirName + "/" + DiskFileName + ".tsk", relative to
    // the task data directory; empty when DiskFileName is.
    std::string DiskPath() const;
    // "/" + class DirName + "/" + FileName + ".tsk": the file in the cloud.
    std::string KuaipanPath() const;

    bool IsDirty() const;
    bool IsTaskClassChange() const;
    bool IsTaskRemarksChange() const { return RemarksRead() && FRemarks_Old != FRemarks; }
    bool IsTaskPriorityChange() const { return FPriority_Old != FPriority; }

    // Makes the snapshot equal to the current values.
    void ResetDirty();

    // Diagnostics: one "Name=value" line per field, each ending with CR LF.
    std::string ToString() const;

    // The file content (the remarks); see TOtTaskUtility for the format.
    bool SaveToFile(const std::string& AFileName) const;
    bool LoadFromFile(const std::string& AFileName);

private:
    friend class TOtTaskUtility;
    struct ParsedTag {};
    // The remarks out of file content already read (LoadFromFile's second half).
    bool LoadRemarksFrom(std::string_view data);
    // The remarks are read when first asked for, from the item's file below
    // the task data directory ATaskDataPath (ending with "/") where it lies
    // then (DiskPath), so a rename meanwhile is followed.
    void DeferRemarks(std::string ATaskDataPath) { FRemarksRoot = std::move(ATaskDataPath); }
    void ReadDeferredRemarks() const;
    // ResetDirty without building the file name: a loaded item is given the
    // name it was read under.
    void SnapshotValues();

public:
    // Only the parser can name the tag: an item whose every field is about to
    // be set from a file name, so no ID is drawn and the clock is not read.
    TOtTaskItem(ParsedTag, const TOtTaskClassPtr& ATaskClass);

private:
    std::string BuildFileName(const std::string& id, TTaskStatus status, const std::string& title,
                              std::int32_t priority, TDateTime create, TDateTime expiration,
                              TDateTime alert, TDateTime finish,
                              const std::weak_ptr<TOtTaskItem>& parent) const;

    std::string FID_Old;
    std::string FTitle_Old;
    mutable std::string FRemarks_Old;
    TTaskStatus FStatus_Old = tsNotCompleted;
    TDateTime FExpirationDate_Old = 0;
    TDateTime FAlertTime_Old = 0;
    TDateTime FCreateDateTime_Old = 0;
    TDateTime FFinishDateTime_Old = 0;
    std::weak_ptr<TOtTaskClass> FTaskClass_Old;
    std::weak_ptr<TOtTaskItem> FParent_Old;
    std::int32_t FLevel_Old = 1;
    std::int32_t FPriority_Old = 5;

    std::string FID;
    std::string FTitle;
    mutable std::string FRemarks;
    // Set while the remarks are still to be read: the task data directory.
    mutable std::string FRemarksRoot;
    TTaskStatus FStatus = tsNotCompleted;
    TDateTime FExpirationDate = 0;
    TDateTime FAlertTime = 0;
    TDateTime FCreateDateTime = 0;
    TDateTime FFinishDateTime = 0;
    std::weak_ptr<TOtTaskClass> FTaskClass;
    std::weak_ptr<TOtTaskItem> FParent;
    std::int32_t FLevel = 1;
    std::int32_t FPriority = 5;

    std::string FTagString;
    TDateTime FTagDateTime = 0;
    std::string FDiskFileName;
    bool FIDProvisional = false;
};

} // namespace ot
