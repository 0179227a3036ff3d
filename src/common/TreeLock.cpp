#include "common/TreeLock.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <thread>
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

bool TTreeLock::JoinHeld() {
    std::lock_guard lock(gMutex);
    auto it = HeldLocks().find(FName);
    if (it != HeldLocks().end() && it->second.Pid == ::getpid()) {
        ++it->second.Count;
        FHeld = true;
        return true;
    }
    if (it != HeldLocks().end()) {
        // Inherited through fork: this copy of the descriptor would keep
        // the parent's lock alive for as long as this process runs.
        ::close(it->second.Fd);
        HeldLocks().erase(it);
    }
    return false;
}

void TTreeLock::Register(int AFd) {
    std::lock_guard lock(gMutex);
    auto [it, added] = HeldLocks().try_emplace(FName, THeldLock{AFd, 0, ::getpid()});
    if (!added)
        ::close(AFd); // another thread took it meanwhile; its lock serves both
    ++it->second.Count;
    FHeld = true;
}

TTreeLock::TTreeLock(std::string ALockFileName, const std::function<void()>& AOnWait)
    : FName(std::move(ALockFileName)) {
    if (JoinHeld())
        return;
    // Waited for outside the mutex: a thread of this process that takes the
    // lock of another tree meanwhile must not wait too.
    const int fd = LockFile(FName, AOnWait);
    if (fd >= 0)
        Register(fd);
}

TTreeLock::TTreeLock(std::string ALockFileName, std::chrono::milliseconds AMaxWait,
                     const std::function<void()>& AOnWait)
    : FName(std::move(ALockFileName)) {
    if (JoinHeld())
        return;
    const int fd = ::open(FName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    // Polled, so that a turn another thread of this process gets meanwhile
    // is shared rather than waited out.
    const auto deadline = std::chrono::steady_clock::now() + AMaxWait;
    bool waited = false;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            Register(fd);
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (JoinHeld()) {
            ::close(fd);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            FTimedOut = true;
            break;
        }
        if (!waited && AOnWait)
            AOnWait();
        waited = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
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
