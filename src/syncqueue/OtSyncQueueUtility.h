#pragma once
// Change recording: folds each change of the task tree into the SyncQueue
// row of the changed object.

#include <string>
#include <variant>
#include <vector>

namespace ot {

// One argument of a recorded change: a text, or the integer edit kind of code 3.
using TSyncQueueArg = std::variant<std::string, int>;

// One change for RecordChanges.
struct TSyncQueueChange {
    unsigned Operation;
    std::vector<TSyncQueueArg> Args;
};

class TOtSyncQueueUtility {
public:
    // AOperation: 0 class created, 1 class deleted, 2 item created,
    // 3 item changed in place, 4 item deleted. Opens its own connection on
    // the queue database ADBFileName; raises when it cannot be opened or
    // queried.
    static bool WriteToSyncQueue(const std::string& ADBFileName, unsigned AOperation,
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
