#include "common/FileUtil.h"

#include "common/Random.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace ot {

namespace fs = std::filesystem;

namespace {

std::mutex gFileHookMutex;

TFileFaultHook& FileHookSlot() {
    static TFileFaultHook hook;
    return hook;
}

// Answers false with errno set when the hook makes op fail.
bool Allowed(TFileOp op, const fs::path& path) {
    const int err = FileFault(op, path);
    if (err == 0)
        return true;
    errno = err;
    return false;
}

} // namespace

void SetFileFaultHook(TFileFaultHook hook) {
    std::lock_guard lock(gFileHookMutex);
    FileHookSlot() = std::move(hook);
}

int FileFault(TFileOp op, const fs::path& path) {
    TFileFaultHook hook;
    {
        std::lock_guard lock(gFileHookMutex);
        hook = FileHookSlot();
    }
    return hook ? hook(op, path) : 0;
}

struct TFileFaultInjector::TState {
    TFileOp op;
    int n;
    int err;
    bool sticky;
    std::atomic<int> seen{0};
    std::atomic<bool> fired{false};
};

TFileFaultInjector::TFileFaultInjector(TFileOp op, int n, int err, bool sticky)
    : FState(std::make_shared<TState>()) {
    FState->op = op;
    FState->n = n;
    FState->err = err;
    FState->sticky = sticky;
    SetFileFaultHook([state = FState](TFileOp o, const fs::path&) {
        if (o != state->op)
            return 0;
        const int index = state->seen++;
        if (index == state->n || (state->sticky && index > state->n)) {
            state->fired = true;
            return state->err;
        }
        return 0;
    });
}

TFileFaultInjector::~TFileFaultInjector() {
    SetFileFaultHook({});
}

bool TFileFaultInjector::Fired() const {
    return FState->fired;
}

int TFileFaultInjector::Seen() const {
    return FState->seen;
}

bool MakeDirectories(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec))
        return true;
    if (!Allowed(TFileOp::MakeDir, dir))
        return false;
    fs::create_directories(dir, ec);
    if (ec) {
        errno = ec.value();
        return false;
    }
    return fs::is_directory(dir, ec);
}

bool RenameFile(const fs::path& from, const fs::path& to) {
    return Allowed(TFileOp::Rename, from) && ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const fs::path& file) {
    return Allowed(TFileOp::Remove, file) && ::unlink(file.c_str()) == 0;
}

bool RemoveEmptyDirectory(const fs::path& dir) {
    return Allowed(TFileOp::Remove, dir) && ::rmdir(dir.c_str()) == 0;
}

fs::path TempNameBeside(const fs::path& target) {
    fs::path dir = target.parent_path();
    // Short and independent of the target's name, so a target whose name is
    // at the file system's limit can still be written.
    std::string name = ".tmp" + RandomString("abcdefghijklmnopqrstuvwxyz0123456789", 10);
    return dir.empty() ? fs::path(name) : dir / name;
}

bool WriteFileAtomic(const fs::path& target, std::string_view data, unsigned mode,
                     std::string* error) {
    auto fail = [&](const char* what, int err) {
        if (error)
            *error = std::string(what) + " " + target.string() + ": " + std::strerror(err);
        return false;
    };
    fs::path tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt) {
        tmp = TempNameBeside(target);
        if (!Allowed(TFileOp::Create, target))
            return fail("cannot create", errno);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            return fail("cannot create", errno);
    }
    if (fd < 0)
        return fail("cannot create", EEXIST);
    ::fchmod(fd, mode); // the umask must not widen or narrow what was asked
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            return fail("cannot write", err);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        return fail("cannot flush", err);
    }
    if (!ReplaceWithFlushedFile(tmp, target)) {
        int err = errno;
        ::unlink(tmp.c_str());
        return fail("cannot replace", err);
    }
    return true;
}

bool ReplaceWithFlushedFile(const fs::path& flushed, const fs::path& target) {
    if (!Allowed(TFileOp::Rename, target) || ::rename(flushed.c_str(), target.c_str()) != 0)
        return false;
    // Make the rename itself durable.
    fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool FsyncFile(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool ReadWholeFile(const fs::path& file, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return false;
    out = std::move(data);
    return true;
}

std::string ExecutableDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    std::string dir = ec ? fs::current_path().string() : exe.parent_path().string();
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

bool IsDirectoryEntry(int dirFd, const ::dirent& entry) {
    if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_DIR;
    struct stat st {};
    return ::fstatat(dirFd, entry.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

} // namespace ot
