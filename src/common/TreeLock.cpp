#include "common/TreeLock.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace ot {

namespace {

struct THeldLock {
    int Fd = -1;
    int Count = 0;
    pid_t Pid = 0; // a child made by fork inherits the map, not the turn
};

std::mutex gMutex;
std::map<std::string, THeldLock>& HeldLocks() {
    static std::map<std::string, THeldLock> locks;
    return locks;
}

int LockFile(const std::string& name, const std::function<void()>& onWait) {
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    int rc = ::flock(fd, LOCK_EX | LOCK_NB);
    if (rc != 0 && errno == EWOULDBLOCK) {
        if (onWait)
            onWait();
        do
            rc = ::flock(fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
    }
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TTreeLock::TTreeLock(std::string ALockFileName, const std::function<void()>& AOnWait)
    : FName(std::move(ALockFileName)) {
    {
        std::lock_guard lock(gMutex);
        auto it = HeldLocks().find(FName);
        if (it != HeldLocks().end() && it->second.Pid == ::getpid()) {
            ++it->second.Count;
            FHeld = true;
            return;
        }
        if (it != HeldLocks().end()) {
            // Inherited through fork: this copy of the descriptor would keep
            // the parent's lock alive for as long as this process runs.
            ::close(it->second.Fd);
            HeldLocks().erase(it);
        }
    }
    // Waited for outside the mutex: a thread of this process that takes the
    // lock of another tree meanwhile must not wait too.
    const int fd = LockFile(FName, AOnWait);
    if (fd < 0)
        return;
    std::lock_guard lock(gMutex);
    auto [it, added] = HeldLocks().try_emplace(FName, THeldLock{fd, 0, ::getpid()});
    if (!added)
        ::close(fd); // another thread took it meanwhile; its lock serves both
    ++it->second.Count;
    FHeld = true;
}

TTreeLock::~TTreeLock() {
    if (!FHeld)
        return;
    std::lock_guard lock(gMutex);
    auto it = HeldLocks().find(FName);
    if (it == HeldLocks().end() || --it->second.Count > 0)
        return;
    ::close(it->second.Fd); // drops the lock
    HeldLocks().erase(it);
}

} // namespace ot
