#pragma once
// What the store's source files share: a row of the tree as read, a reader connection
// lent for one request, and flushing a directory.

#include "SqliteCloudStore.h"

#include <filesystem>

namespace ot::server {

// deleted: 0 live, 1 the top of a recycled subtree, 2 inside a recycled folder.
inline constexpr const char* kNodeColumns =
    "id, user_id, parent, name, is_folder, size, rev, hash, content, create_time, modify_time";

// Makes a directory's entries (a rename, a new file) survive a crash.
void FsyncDir(const std::filesystem::path& dir);

struct SqliteCloudStore::Row {
    std::int64_t Id = 0;
    std::int64_t UserId = 0;
    std::int64_t Parent = 0;
    std::string Name;
    bool IsFolder = false;
    std::int64_t Size = 0;
    std::int64_t Rev = 0;
    std::string Hash;
    std::string Content;
    std::int64_t CreateTime = 0;
    std::int64_t ModifyTime = 0;

    static Row From(const Stmt& s) {
        Row r;
        r.Id = s.Int(0);
        r.UserId = s.Int(1);
        r.Parent = s.IsNull(2) ? 0 : s.Int(2);
        r.Name = s.Text(3);
        r.IsFolder = s.Int(4) != 0;
        r.Size = s.Int(5);
        r.Rev = s.Int(6);
        r.Hash = s.Text(7);
        r.Content = s.Text(8);
        r.CreateTime = s.Int(9);
        r.ModifyTime = s.Int(10);
        return r;
    }

    CloudNode ToNode(std::string path) const {
        CloudNode n;
        n.Id = Id;
        n.Path = std::move(path);
        n.Name = Name;
        n.IsFolder = IsFolder;
        n.Size = Size;
        n.Rev = Rev;
        n.Hash = Hash;
        n.CreateTime = CreateTime;
        n.ModifyTime = ModifyTime;
        return n;
    }
};

// Hands a reader connection back to the pool when the request is done with it.
class SqliteCloudStore::ReaderLease {
public:
    explicit ReaderLease(SqliteCloudStore& store) : FStore(store), FDb(store.TakeReader()) {}
    ~ReaderLease() { FStore.GiveBackReader(std::move(FDb)); }
    Db& operator*() { return *FDb; }

private:
    SqliteCloudStore& FStore;
    std::unique_ptr<Db> FDb;
};

} // namespace ot::server
