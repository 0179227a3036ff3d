#pragma once
// Change recording: folds each change of the task tree into the SyncQueue
// row of the changed object.

#include <string>
#include <variant>
#include <vector>

namespace ot {

// One argument of a recorded change: a text, or the edit kind of
// sqItemChanged.
using TSyncQueueArg = std::variant<std::string, int>;

// The changes of the task tree the recorder takes; the values are the
// operation codes.
enum TSyncQueueOp : unsigned {
    sqClassCreated = 0, // class ID, class DirName
    sqClassDeleted = 1, // class ID
    sqItemCreated = 2,  // item ID, item FileName, class DirName
    // new FileName, class DirName, old FileName or empty, old class directory
    // (empty), edit kind, item ID
    sqItemChanged = 3,
    sqItemDeleted = 4, // item ID
};

// What an in-place change of an item did (sqItemChanged's edit kind).
enum TEditKind : int {
    ekRenamed = 1,             // a new name; the content is unchanged
    ekRewritten = 2,           // the content rewritten under the same name
    ekRenamedAndRewritten = 3, // both
};

// One change for RecordChanges.
struct TSyncQueueChange {
    TSyncQueueOp Operation;
    std::vector<TSyncQueueArg> Args;
};

class TOtSyncQueueUtility {
public:
    // Opens its own connection on the queue database ADBFileName; raises when
    // it cannot be opened or queried. A code outside TSyncQueueOp, or
    // arguments that do not fit it, record nothing.
    static bool WriteToSyncQueue(const std::string& ADBFileName, TSyncQueueOp AOperation,
                                 const std::vector<TSyncQueueArg>& AArgs);
    // Records the changes of one operation in one transaction: all of them
    // or none. False, with the reason in AError, when a statement fails (a
    // full disk, a read-only file); raises when the database cannot be opened
    // or read, and the transaction is then rolled back. A change that finds no row to fold into (an
    // item never recorded, so nothing to mark) is no failure: the data check adds the missing row.
    static bool RecordChanges(const std::string& ADBFileName,
                              const std::vector<TSyncQueueChange>& AChanges,
                              std::string* AError = nullptr);
};

} // namespace ot
