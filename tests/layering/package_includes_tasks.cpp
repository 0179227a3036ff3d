// Compiled against ot_package only: the package installer reaching for the task
// model. Its build must fail, since the installer links nothing of the task list.
#include "package/OtUpgradeArchive.h"
#include "tasks/OtTask.h"

int PackageLayeringProbe() {
    return 0;
}
