#pragma once
// The IDs the task tree holds on disk: every class directory's ID and every
// part of every item name's ID field. Reading all item names of a large tree
// costs more than the rest of an add, so the names of each class directory
// are kept in a cache file between runs and a directory is read again only
// when it may have changed since.
//
// A cached directory is used only when its dev, inode, ctime and mtime are
// those cached and its ctime was more than two seconds older than the time it
// was read: a change made in the same time-stamp tick as the read leaves the
// stat unchanged and must not hide. The answers are exactly those of reading
// every directory; the cache only makes them cheaper.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

class TOtTaskIDIndex {
public:
    // The tree below ATaskDataPath; ACacheFileName may be empty (no cache).
    TOtTaskIDIndex(std::string ATaskDataPath, std::string ACacheFileName);

    // Takes the tree as it is now: cached directories that can be trusted
    // from the cache, the others read. Rewrites the cache file (whole, by
    // rename) when that saves a later run some reading; a cache file that
    // cannot be read or written only costs time.
    void Refresh();

    // Whether AID is a class directory's ID or a part of an item's ID field
    // (its ancestors' IDs included) in the tree as last refreshed.
    bool Holds(std::string_view AID) const;

    // Directories read (not taken from the cache) by the last Refresh.
    std::size_t DirectoriesRead() const { return FDirectoriesRead; }

    // The cache file's name below a user data directory.
    static constexpr const char* CacheFileName = "TaskIDs.cache";

private:
    struct TDirStat {
        std::uint64_t Dev = 0, Ino = 0;
        std::int64_t CtimeNs = 0, MtimeNs = 0;
        bool operator==(const TDirStat&) const = default;
    };
    struct TDirRecord {
        std::string_view Name;
        TDirStat Stat;
        std::int64_t ReadAt = 0; // seconds since 1970 UTC
        // The first fields of the entries, each between two '/' (a character
        // no name holds): "/f1/f2/.../fn/".
        std::string_view Fields;
        bool Cacheable = true; // false when it changed while it was read
    };

    bool LoadCache(std::vector<TDirRecord>& ARecords) const;
    void SaveCache() const;
    // Whether ARecord's ctime was settled when it was read.
    static bool IsSettled(const TDirRecord& ARecord);

    std::string FTaskDataPath;
    std::string FCacheFileName;
    // The bytes the records' views point into: the cache file as read, and
    // the names and fields of the directories read this time (a deque never
    // moves what it holds).
    std::unique_ptr<char[]> FCacheBytes;
    std::size_t FCacheSize = 0;
    std::deque<std::string> FReadBytes;
    std::vector<TDirRecord> FRecords;
    // The first fields of the class directories, each between two '/'.
    std::string FClassIDs;
    std::size_t FDirectoriesRead = 0;
};

} // namespace ot
