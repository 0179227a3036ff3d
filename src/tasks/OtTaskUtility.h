#pragma once
// The task tree on disk: the name format of class directories and item files,
// the content of an item file, loading, and the list helpers. The operations
// that change the tree live in the repository (repository/OtTaskRepository.h).
//
// Below the task data directory (TAppPaths::TaskDataPath) each class is a directory
// named by its DirName, "<ID>#<escaped title>", and each item a file in it
// named by its FileName plus ".tsk":
//   <ID field>#<status>#<escaped title>#<priority>#<created yyyymmddhhnn>#
//   <due yyyymmdd>#<alert hhnn>#<finished yyyymmddhhnn>
// The last three fields are empty when the value is 0. The file holds only
// the remarks, as a four-line XML document with a UTF-8 byte order mark and
// CR LF line ends. The cloud copy uses the same names and the same bytes.

#include "tasks/OtTask.h"

#include <string>
#include <string_view>
#include <vector>

namespace ot {

// How much of the tree a load reads: the class directories only, the items'
// names as well (one listing per class, no item file opened), or the item
// files too, for their remarks.
// How much of the tree a load reads: the classes, their items from the file
// names alone, the items with their remarks, or the items with their remarks
// read from each file when first asked for (a start that shows one page).
enum class TTaskLoadDepth { tldClasses, tldItemNames, tldItems, tldItemsRemarksDeferred };

class TOtTaskUtility {
public:
    TOtTaskUtility() = delete;

    // ---- names ---------------------------------------------------------

    // Replaces the eighteen characters that may not appear in a name (space,
    // the separators "#" and "_", the single quote, and the characters file
    // names may not hold on some platforms) by bracketed tokens such as
    // "[SP]". Decoding turns every token back, so a title that contains a
    // token literally comes back with the token replaced by its character.
    static std::string EncodeSpecialChars(std::string_view AStr);
    static std::string DecodeSpecialChars(std::string_view AStr);

    // A class from the last path component "<ID>#<title>"; nullptr when the
    // name does not split into exactly two fields.
    static TOtTaskClassPtr ParseTaskClass(std::string_view APath);
    // An item of ATaskClass from the last path component of APath, with the
    // remarks read from the file APath when it exists. nullptr when the name
    // has fewer than five fields, has no item ID, or when its priority or a
    // date-time field does not convert (a file name that is not ours).
    static TOtTaskItemPtr ParseTaskItem(const TOtTaskClassPtr& ATaskClass, std::string_view APath);
    // The same from the name alone: the file is not opened and the remarks
    // stay empty (LoadFromFile reads them when they are needed).
    static TOtTaskItemPtr ParseTaskItemName(const TOtTaskClassPtr& ATaskClass,
                                            std::string_view APath);
    // Reads the remarks of an item loaded by name from its file on disk; the
    // item stays clean.
    static void LoadTaskItemRemarks(const TOtTaskItemPtr& ATaskItem,
                                    const std::string& ATaskDataPath);
    // One date-time field, decided by its length: 12 "yyyymmddhhnn",
    // 8 "yyyymmdd", 4 "hhnn", anything else 0. TryParseDateTime answers false
    // when a field of length 12, 8 or 4 does not form a valid date or time;
    // ParseDateTime then answers 0.
    static bool TryParseDateTime(std::string_view AStr, TDateTime& AResult);
    static TDateTime ParseDateTime(std::string_view AStr);

    // True for a non-empty text of digits and capital letters: the form of
    // every ID the program draws. Names that arrive from elsewhere (the cloud)
    // can be checked with it before they are used as paths.
    static bool IsWellFormedTaskID(std::string_view AID);
    // A directory or file name this program could have written: no leading
    // dot, no control character. Others (made by hand) are left alone: not
    // loaded, so never uploaded or deleted.
    static bool IsUsableEntryName(std::string_view AName);
    // The entries below the task data directory that are left alone (names
    // this program would not write, links), as "<dir>/<name>: <reason>"
    // lines for the data check's report.
    static std::vector<std::string> ListLeftAloneEntries(const std::string& ATaskDataPath);

    // ---- name limits ---------------------------------------------------

    // The longest class directory or item file name (".tsk" included), in
    // bytes, that can be stored: the file system's limit for the task data
    // directory, never more than 255, so that every installation and the
    // cloud can hold the names any of them writes.
    static std::size_t NameLimit(const std::string& ATaskDataPath);
    // Whether the item's file name, or the class's directory name, as its
    // current values make it fits NameLimit. The repository writes nothing
    // that does not fit; the windows and ottodo ask before they accept a
    // title, so the user learns that it is too long to be stored.
    static bool IsTaskItemStorable(const TOtTaskItem& ATaskItem, const std::string& ATaskDataPath);
    static bool IsTaskClassStorable(const TOtTaskClass& ATaskClass,
                                    const std::string& ATaskDataPath);

    // ---- file content --------------------------------------------------

    // The exact bytes of an item file holding ARemarks.
    static std::string TaskFileContent(std::string_view ARemarks);
    // Reads the remarks out of file content. False when it is not XML;
    // true with AFound false when it has no TaskItem/Remarks element.
    static bool ParseTaskFileContent(std::string_view AData, std::string& ARemarks, bool& AFound);

    // ---- loading -------------------------------------------------------

    // Empties AList and fills it with the classes below the task data
    // directory (created when missing), each with its items loaded. Classes
    // come sorted by directory name, so the page order is the same in every
    // run; directories whose names are not class names are skipped. ADepth
    // below tldItems leaves the item lists empty or the remarks unread.
    static void LoadTaskClassList(const std::string& ATaskDataPath, TOtTaskClassList& AList,
                                  TTaskLoadDepth ADepth = TTaskLoadDepth::tldItems);
    // Empties ATaskList and fills it with the items of ATaskClass's directory,
    // sorted by file name. Files whose names are not item names are skipped.
    // Without AReadRemarks no item file is opened; with ADeferRemarks each
    // item reads its remarks when they are first asked for.
    static void LoadTaskItemList(const std::string& ATaskDataPath,
                                 const TOtTaskClassPtr& ATaskClass, TOtTaskItemList& ATaskList,
                                 bool AReadRemarks = true, bool ADeferRemarks = false);

    // ---- lists ---------------------------------------------------------

    static void SortTaskItemList(TOtTaskItemList& ATaskList, TTaskSortField AField,
                                 TSortOrder AOrder);
    // The order SortTaskItemList sorts by: whether a comes before b.
    static bool SortsBefore(const TOtTaskItem& a, const TOtTaskItem& b, TTaskSortField AField,
                            TSortOrder AOrder);
    static int IndexOfTaskClassList(std::string_view ATaskClassID, const TOtTaskClassList& AList);
    static int IndexOfTaskItemList(std::string_view ATaskItemID, const TOtTaskItemList& AList);
    // Copies from TaskItem1 into TaskItem2: 0 every attribute but the
    // remarks, 1 the remarks, 3 both, anything else nothing; TaskItem2 is
    // clean afterwards.
    static void AssignTaskItem(const TOtTaskItemPtr& TaskItem1, const TOtTaskItemPtr& TaskItem2,
                               int AssignType);
    // No character is refused in a title, since names escape them.
    static bool IsContainIllegalChars(std::string_view AStr);
};

} // namespace ot
