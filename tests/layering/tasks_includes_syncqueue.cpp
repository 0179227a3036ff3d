// Compiled as part of ot_tasks's users only: a file of the tasks layer that
// reaches for a header of the queue above it. Its build must fail, since the
// tasks library does not publish the queue's headers.
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTask.h"

int LayeringProbe() {
    return 0;
}
