#pragma once
// Change recording: folds each change of the task tree into the SyncQueue
// row of the changed object.

#include <string>
#include <variant>
#include <vector>

namespace ot {

// One argument of a recorded change: a text, or the integer edit kind of code 3.
using TSyncQueueArg = std::variant<std::string, int>;

class TOtSyncQueueUtility {
public:
    // AOperation: 0 class created, 1 class deleted, 2 item created,
    // 3 item changed in place, 4 item deleted. Opens its own connection on
    // the queue database ADBFileName; raises when it cannot be opened or
    // queried.
    static bool WriteToSyncQueue(const std::string& ADBFileName, unsigned AOperation,
                                 const std::vector<TSyncQueueArg>& AArgs);
};

} // namespace ot
