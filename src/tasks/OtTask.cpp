#include "tasks/OtTask.h"

#include "common/Clock.h"
#include "common/Random.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

namespace ot {

namespace {

// Same object, compared by identity even after the object is gone.
template <typename T> bool SameObject(const std::weak_ptr<T>& a, const std::weak_ptr<T>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

const char* const kCRLF = "\r\n";

} // namespace

// ---- IDs and status texts ---------------------------------------------------

std::uint32_t PackFatDateTime(TDateTime dt) {
    const DateTimeParts p = DecodeDateTime(dt);
    if (p.Year < 1980 || p.Year > 2107)
        return 0;
    return (static_cast<std::uint32_t>(p.Year - 1980) << 25) |
           (static_cast<std::uint32_t>(p.Month) << 21) | (static_cast<std::uint32_t>(p.Day) << 16) |
           (static_cast<std::uint32_t>(p.Hour) << 11) |
           (static_cast<std::uint32_t>(p.Minute) << 5) | static_cast<std::uint32_t>(p.Second / 2);
}

std::string NewTaskIDAt(TDateTime now) {
    const std::uint32_t packed = PackFatDateTime(now);
    std::string prefix = std::to_string(static_cast<std::int32_t>(packed));
    if (!prefix.empty() && prefix[0] == '-')
        for (char& c : prefix)
            if (c == '-')
                c = 'N';

    // Two IDs drawn within the same two seconds share the packed time and
    // differ only in the two random characters (1 in 936). This process never
    // hands out the same ID twice: it remembers the suffixes it drew for the
    // current packed time and draws again on a repeat.
    static std::mutex mutex;
    static std::uint32_t lastPacked = 0;
    static std::set<std::string> drawn;
    std::lock_guard lock(mutex);
    if (packed != lastPacked) {
        lastPacked = packed;
        drawn.clear();
    }
    // Once every suffix of these two seconds is taken, a repeat cannot be
    // avoided: draw once instead of spinning (the repository's check against
    // the tree and the queue still rejects an ID in use).
    constexpr std::size_t kSuffixes = 26 * 36;
    std::string suffix;
    do {
        suffix = RandomString("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 1) +
                 RandomString("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", 1);
    } while (drawn.size() < kSuffixes && !drawn.insert(suffix).second);
    return prefix + suffix;
}

std::string NewTaskID() {
    return NewTaskIDAt(Now());
}

std::string TaskStatusToStr(TTaskStatus AStatus) {
    switch (AStatus) {
    case tsCompleted:
        return "Completed";
    case tsCleared:
        return "Cleared";
    default:
        return "NotCompleted";
    }
}

TTaskStatus StrToTaskStatus(const std::string& AText) {
    if (AText == "Completed" || AText == "1")
        return tsCompleted;
    if (AText == "Cleared" || AText == "2")
        return tsCleared;
    return tsNotCompleted;
}

// ---- TOtTaskClass -----------------------------------------------------------

TOtTaskClass::TOtTaskClass(std::string AID, std::string ATitle)
    : FID(std::move(AID)), FTitle(std::move(ATitle)) {}

TOtTaskClass::TOtTaskClass(std::string ATitle)
    : FID(NewTaskID()), FTitle(std::move(ATitle)), FIDProvisional(true) {}

void TOtTaskClass::ReplaceProvisionalID(std::string AID) {
    if (!FIDProvisional)
        return;
    FID = std::move(AID);
    FIDProvisional = false;
}

std::string TOtTaskClass::DirName() const {
    return FID + "#" + TOtTaskUtility::EncodeSpecialChars(FTitle);
}

std::string TOtTaskClass::Path() const {
    return DiskDirName() + "/";
}

std::string TOtTaskClass::ToString() const {
    return "ID=" + FID + "Title=" + FTitle + "Path=" + Path() +
           "TaskListCount=" + std::to_string(FTaskList.size());
}

// ---- TOtTaskItem ------------------------------------------------------------

TOtTaskItem::TOtTaskItem(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& AParent)
    : TOtTaskItem("", "", tsNotCompleted, 0, 0, ATaskClass, AParent) {}

TOtTaskItem::TOtTaskItem(std::string ATitle, const TOtTaskClassPtr& ATaskClass,
                         const TOtTaskItemPtr& AParent)
    : TOtTaskItem(std::move(ATitle), "", tsNotCompleted, 0, 0, ATaskClass, AParent) {}

TOtTaskItem::TOtTaskItem(std::string ATitle, std::string ARemarks, TTaskStatus AStatus,
                         TDateTime AExpirationDate, TDateTime AAlertTime,
                         const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& AParent)
    : FID(NewTaskID()), FTitle(std::move(ATitle)), FRemarks(std::move(ARemarks)), FStatus(AStatus),
      FExpirationDate(AExpirationDate), FAlertTime(AAlertTime), FCreateDateTime(Now()),
      FFinishDateTime(0), FTaskClass(ATaskClass), FParent(AParent), FLevel(1), FPriority(5),
      FIDProvisional(true) {
    ResetDirty();
}

TOtTaskItem::TOtTaskItem(ParsedTag, const TOtTaskClassPtr& ATaskClass) : FTaskClass(ATaskClass) {}

void TOtTaskItem::SetID(std::string v) {
    FID_Old = std::move(FID);
    FID = std::move(v);
    FIDProvisional = false;
}

void TOtTaskItem::SetTitle(std::string v) {
    FTitle_Old = std::move(FTitle);
    FTitle = std::move(v);
}

void TOtTaskItem::SetRemarks(std::string v) {
    // The snapshot must hold what the file holds, not what was never read.
    if (!RemarksRead())
        ReadDeferredRemarks();
    FRemarks_Old = std::move(FRemarks);
    FRemarks = std::move(v);
}

void TOtTaskItem::SetStatus(TTaskStatus v) {
    FStatus_Old = FStatus;
    FStatus = v;
}

std::string TOtTaskItem::BuildFileName(const std::string& id, TTaskStatus status,
                                       const std::string& title, std::int32_t priority,
                                       TDateTime create, TDateTime expiration, TDateTime alert,
                                       TDateTime finish,
                                       const std::weak_ptr<TOtTaskItem>& parent) const {
    if (id.empty())
        return {};
    // Ancestors first, the parent first and the root last, each followed by
    // "_". A parent chain that loops is cut where it comes back.
    std::string name;
    if (TOtTaskItemPtr p = parent.lock()) {
        std::vector<const TOtTaskItem*> seen{this};
        for (; p && std::find(seen.begin(), seen.end(), p.get()) == seen.end(); p = p->Parent()) {
            seen.push_back(p.get());
            name += p->ID();
            name += '_';
        }
    }
    name += id;
    name += '#';
    name += std::to_string(static_cast<int>(status));
    name += '#';
    name += TOtTaskUtility::EncodeSpecialChars(title);
    name += '#';
    name += std::to_string(priority);
    name += '#';
    name += FormatDateTime("yyyymmddhhnn", create);
    name += '#';
    if (expiration != 0)
        name += FormatDateTime("yyyymmdd", expiration);
    name += '#';
    if (alert != 0)
        name += FormatDateTime("hhnn", alert);
    name += '#';
    if (finish != 0)
        name += FormatDateTime("yyyymmddhhnn", finish);
    return name;
}

std::string TOtTaskItem::FileNameWithID(const std::string& AID) const {
    return BuildFileName(AID, FStatus, FTitle, FPriority, FCreateDateTime, FExpirationDate,
                         FAlertTime, FFinishDateTime, FParent);
}

std::string TOtTaskItem::FileName() const {
    return FileNameWithID(FID);
}

std::string TOtTaskItem::OldFileName() const {
    return BuildFileName(FID_Old, FStatus_Old, FTitle_Old, FPriority_Old, FCreateDateTime_Old,
                         FExpirationDate_Old, FAlertTime_Old, FFinishDateTime_Old, FParent_Old);
}

std::string TOtTaskItem::Path() const {
    std::string name = FileName();
    if (name.empty())
        return {};
    const TOtTaskClassPtr cls = TaskClass();
    return (cls ? cls->Path() : std::string()) + name + ".tsk";
}

std::string TOtTaskItem::OldPath() const {
    std::string name = OldFileName();
    if (name.empty())
        return {};
    const TOtTaskClassPtr cls = OldTaskClass();
    return (cls ? cls->Path() : std::string()) + name + ".tsk";
}

std::string TOtTaskItem::DiskPath() const {
    if (FDiskFileName.empty())
        return {};
    const TOtTaskClassPtr cls = OldTaskClass();
    return (cls ? cls->DiskDirName() + "/" : std::string()) + FDiskFileName + ".tsk";
}

std::string TOtTaskItem::KuaipanPath() const {
    const TOtTaskClassPtr cls = TaskClass();
    std::string path = "/";
    if (cls)
        path += cls->DirName();
    path += '/';
    path += FileName();
    path += ".tsk";
    return path;
}

bool TOtTaskItem::IsDirty() const {
    return FID_Old != FID || FTitle_Old != FTitle || FRemarks_Old != FRemarks ||
           FStatus_Old != FStatus || FExpirationDate_Old != FExpirationDate ||
           FAlertTime_Old != FAlertTime || FCreateDateTime_Old != FCreateDateTime ||
           FFinishDateTime_Old != FFinishDateTime || !SameObject(FTaskClass_Old, FTaskClass) ||
           !SameObject(FParent_Old, FParent) || FLevel_Old != FLevel || FPriority_Old != FPriority;
}

bool TOtTaskItem::IsTaskClassChange() const {
    return !SameObject(FTaskClass_Old, FTaskClass);
}

void TOtTaskItem::ResetDirty() {
    SnapshotValues();
    FDiskFileName = FileName();
}

void TOtTaskItem::SnapshotValues() {
    FID_Old = FID;
    FTitle_Old = FTitle;
    FRemarks_Old = FRemarks;
    FStatus_Old = FStatus;
    FExpirationDate_Old = FExpirationDate;
    FAlertTime_Old = FAlertTime;
    FCreateDateTime_Old = FCreateDateTime;
    FFinishDateTime_Old = FFinishDateTime;
    FTaskClass_Old = FTaskClass;
    FParent_Old = FParent;
    FLevel_Old = FLevel;
    FPriority_Old = FPriority;
}

std::string TOtTaskItem::ToString() const {
    std::string s;
    s += "ID=" + FID + kCRLF;
    s += "Title=" + FTitle + kCRLF;
    s += "Remarks=" + Remarks() + kCRLF;
    s += "Status=" + TaskStatusToStr(FStatus) + kCRLF;
    s += "ExpirationDate=" + DateTimeToRegionalStr(FExpirationDate) + kCRLF;
    s += "AlertTime=" + DateTimeToRegionalStr(FAlertTime) + kCRLF;
    s += "CreateDateTime=" + DateTimeToRegionalStr(FCreateDateTime) + kCRLF;
    s += "FinishDateTime=" + DateTimeToRegionalStr(FFinishDateTime) + kCRLF;
    s += "Path=" + Path() + kCRLF;
    if (const TOtTaskClassPtr cls = TaskClass())
        s += "TaskClass=" + cls->Path() + kCRLF;
    if (const TOtTaskItemPtr parent = Parent())
        s += "Parent=" + parent->Path() + kCRLF;
    return s;
}

} // namespace ot
