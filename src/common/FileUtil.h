#pragma once
// File helpers shared by every layer.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct dirent;

namespace ot {

// ---- file-system fault injection ---------------------------------------------
// Every file operation of the task store (and of the engine's local writes)
// goes through the functions below, which ask the fault hook first. Tests set
// a hook to make the N-th operation of a kind fail with a chosen errno.

enum class TFileOp {
    Create,  // creating (and writing) a file, the temporary of an atomic write included
    Rename,  // renaming a file, the final step of an atomic write included
    Remove,  // removing a file or an empty directory
    MakeDir, // creating a directory
};

// Answers 0 to let the operation on path run, or the errno it fails with.
// An empty function removes the hook. The hook is process-wide and may be
// called from any thread.
using TFileFaultHook = std::function<int(TFileOp op, const std::filesystem::path& path)>;
void SetFileFaultHook(TFileFaultHook hook);
// The errno the hook answers for op on path (0 without a hook).
int FileFault(TFileOp op, const std::filesystem::path& path);

// Fails the N-th (counted from 0) operation of one kind with err while it is
// alive, and every later one too when sticky (a full disk stays full).
// Fired() tells whether the run reached the N-th operation, so a test can
// count N up until a run completes without a fault.
class TFileFaultInjector {
public:
    TFileFaultInjector(TFileOp op, int n, int err, bool sticky = false);
    ~TFileFaultInjector();
    TFileFaultInjector(const TFileFaultInjector&) = delete;
    TFileFaultInjector& operator=(const TFileFaultInjector&) = delete;

    bool Fired() const;
    // Operations of the kind seen so far.
    int Seen() const;

private:
    struct TState;
    std::shared_ptr<TState> FState;
};

// The file operations themselves; each sets errno and answers false on
// failure, an injected fault included.
bool MakeDirectories(const std::filesystem::path& dir);
bool RenameFile(const std::filesystem::path& from, const std::filesystem::path& to);
bool RemoveFile(const std::filesystem::path& file);
bool RemoveEmptyDirectory(const std::filesystem::path& dir);

// Writes data to a temporary file in the target's directory, flushes it to
// disk and renames it over the target, so readers see the old or the new
// content and never a torn file. mode is applied to the new file (0600 for
// secrets). Answers false (and leaves the target as it was) on any failure.
bool WriteFileAtomic(const std::filesystem::path& target, std::string_view data,
                     unsigned mode = 0644, std::string* error = nullptr);

// Flushes a file's content to disk (before it is renamed over another).
bool FsyncFile(const std::filesystem::path& file);
// The last step of every atomic replace: renames a complete file, already
// flushed, over target and flushes the directory, so the rename survives a
// crash too. False (errno set) when the rename failed; flushed then stays.
bool ReplaceWithFlushedFile(const std::filesystem::path& flushed,
                            const std::filesystem::path& target);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& file, std::string& out);

// A unique name for a temporary file in the directory of target (not created).
std::filesystem::path TempNameBeside(const std::filesystem::path& target);

// The directory of the running executable, with a trailing '/'.
std::string ExecutableDir();

// Whether the entry read from the open directory dirFd is a directory: a link,
// or an entry whose type the listing does not tell, is taken for what it
// names (one stat then).
bool IsDirectoryEntry(int dirFd, const ::dirent& entry);

} // namespace ot
