#pragma once
// Serializes the processes that change one task tree. A synchronization pass
// and each command-line change hold it for their whole run, so that a
// command never changes files under a pass that has read the tree, and a
// pass never reads a tree that a command is half-way through changing.
//
// An advisory lock (flock) on a file in the user data directory: the system
// drops it with the process, so a crash leaves nothing to clean up. Within
// one process it is re-entrant: a command that runs a pass takes it once.
// When the lock file cannot be opened (a read-only directory), nothing is
// locked and nothing could be changed either.

#include <chrono>
#include <functional>
#include <string>

namespace ot {

class TTreeLock {
public:
    // Blocks until the lock is held; AOnWait, when given, is called once
    // before waiting for another process.
    explicit TTreeLock(std::string ALockFileName, const std::function<void()>& AOnWait = {});
    // The same, but gives up once another process has held the lock for
    // AMaxWait: Held() is then false and TimedOut() true.
    TTreeLock(std::string ALockFileName, std::chrono::milliseconds AMaxWait,
              const std::function<void()>& AOnWait = {});
    ~TTreeLock();
    TTreeLock(const TTreeLock&) = delete;
    TTreeLock& operator=(const TTreeLock&) = delete;

    bool Held() const { return FHeld; }
    bool TimedOut() const { return FTimedOut; }

private:
    // Takes a turn this process already has; false when it has none.
    bool JoinHeld();
    void Register(int AFd);

    std::string FName;
    bool FHeld = false;
    bool FTimedOut = false;
};

} // namespace ot
