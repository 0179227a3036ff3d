// The tree of every application folder: look-ups, changes (each under the writer's
// transaction, with the revision check), content reads, usage and the recycle bin.

#include "CloudStoreParts.h"

#include "CloudPath.h"
#include "common/Clock.h"
#include "common/FileUtil.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace ot::server {

namespace fs = std::filesystem;

std::optional<SqliteCloudStore::Row> SqliteCloudStore::Child(Db& db, std::int64_t parent,
                                                             const std::string& name) {
    Stmt s(db, std::string("SELECT ") + kNodeColumns +
                   " FROM nodes WHERE parent = ?1 AND name = ?2 AND deleted = 0");
    s.Bind(1, parent).Bind(2, name);
    if (!s.Step())
        return std::nullopt;
    return Row::From(s);
}

std::optional<SqliteCloudStore::Row> SqliteCloudStore::Lookup(Db& db, std::int64_t root,
                                                              const std::vector<std::string>& path,
                                                              StoreStatus& why) {
    Stmt s(db, std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE id = ?1");
    s.Bind(1, root);
    if (!s.Step()) {
        why = StoreStatus::NotFound;
        return std::nullopt;
    }
    Row cur = Row::From(s);
    for (const auto& name : path) {
        if (!cur.IsFolder) {
            why = StoreStatus::NotFound;
            return std::nullopt;
        }
        auto next = Child(db, cur.Id, name);
        if (!next) {
            why = StoreStatus::NotFound;
            return std::nullopt;
        }
        cur = std::move(*next);
    }
    return cur;
}

std::optional<SqliteCloudStore::Row>
SqliteCloudStore::ParentFolder(Db& db, std::int64_t root, const std::vector<std::string>& path,
                               StoreStatus& why) {
    std::vector<std::string> parentPath(path.begin(), path.end() - 1);
    auto parent = Lookup(db, root, parentPath, why);
    if (!parent) {
        why = StoreStatus::ParentNotFound;
        return std::nullopt;
    }
    if (!parent->IsFolder) {
        why = StoreStatus::NotAFolder;
        return std::nullopt;
    }
    return parent;
}

std::int64_t SqliteCloudStore::UserOfNode(Db& db, std::int64_t node) {
    Stmt s(db, "SELECT user_id FROM nodes WHERE id = ?1");
    s.Bind(1, node);
    return s.Step() ? s.Int(0) : 0;
}

// The recycle bin counts: what a user deleted still takes the server's disk.
std::int64_t SqliteCloudStore::UsedBytes(Db& db, std::int64_t userId) {
    Stmt s(db, "SELECT COALESCE(SUM(size), 0) FROM nodes WHERE user_id = ?1");
    s.Bind(1, userId);
    return s.Step() ? s.Int(0) : 0;
}

NodeResult SqliteCloudStore::Metadata(std::int64_t root, const std::vector<std::string>& path,
                                      bool list) {
    NodeResult r;
    ReaderLease db(*this);
    // One read transaction, so a listing never mixes two states of the folder.
    (*db).Exec("BEGIN");
    struct EndRead {
        Db& D;
        ~EndRead() {
            try {
                D.Exec("COMMIT");
            } catch (...) {
            }
        }
    } end{*db};
    auto row = Lookup(*db, root, path, r.Status);
    if (!row)
        return r;
    std::string self = JoinCloudPath(path);
    r.Node = row->ToNode(self);
    if (list && row->IsFolder) {
        Stmt s(*db, std::string("SELECT ") + kNodeColumns +
                        " FROM nodes WHERE parent = ?1 AND deleted = 0 ORDER BY name");
        s.Bind(1, row->Id);
        std::string prefix = path.empty() ? "/" : self + "/";
        while (s.Step()) {
            Row c = Row::From(s);
            r.Children.push_back(c.ToNode(prefix + c.Name));
        }
    }
    return r;
}

NodeResult SqliteCloudStore::CreateFolder(std::int64_t root, const std::vector<std::string>& path) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (path.empty()) {
        r.Status = StoreStatus::Exists;
        return r;
    }
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    auto parent = ParentFolder(*FWriter, root, path, r.Status);
    if (!parent)
        return r;
    if (auto existing = Child(*FWriter, parent->Id, path.back())) {
        // Creating a folder that is already there answers that folder, so a client that
        // lost the first reply can simply ask again.
        if (!existing->IsFolder) {
            r.Status = StoreStatus::Exists;
            return r;
        }
        r.Node = existing->ToNode(JoinCloudPath(path));
        return r;
    }
    std::int64_t now = UnixNow();
    const std::int64_t rev = NextRev(*FWriter);
    Stmt(*FWriter, "INSERT INTO nodes(user_id, parent, name, is_folder, rev, create_time, "
                   "modify_time) VALUES(?1, ?2, ?3, 1, ?5, ?4, ?4)")
        .Bind(1, parent->UserId)
        .Bind(2, parent->Id)
        .Bind(3, path.back())
        .Bind(4, now)
        .Bind(5, rev)
        .Exec();
    std::int64_t id = FWriter->LastInsertId();
    auto created = Child(*FWriter, parent->Id, path.back());
    t.Commit();
    if (!created || created->Id != id) {
        r.Status = StoreStatus::Failed;
        return r;
    }
    r.Node = created->ToNode(JoinCloudPath(path));
    return r;
}

NodeResult SqliteCloudStore::Move(std::int64_t root, const std::vector<std::string>& from,
                                  const std::vector<std::string>& to,
                                  std::optional<std::int64_t> ifRev) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (from.empty() || to.empty()) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    auto src = Lookup(*FWriter, root, from, r.Status);
    if (!AtRevision(src, ifRev, from, r) || !src)
        return r;
    if (from == to) {
        r.Node = src->ToNode(JoinCloudPath(to));
        return r;
    }
    auto parent = ParentFolder(*FWriter, root, to, r.Status);
    if (!parent)
        return r;
    if (Child(*FWriter, parent->Id, to.back())) {
        r.Status = StoreStatus::Exists;
        return r;
    }
    // A folder cannot move into itself or below itself.
    if (src->IsFolder && IsAtOrBelow(*FWriter, parent->Id, src->Id)) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    // A node under a new name is a new version of that path.
    const std::int64_t rev = NextRev(*FWriter);
    Stmt(*FWriter, "UPDATE nodes SET parent = ?2, name = ?3, rev = ?4 WHERE id = ?1")
        .Bind(1, src->Id)
        .Bind(2, parent->Id)
        .Bind(3, to.back())
        .Bind(4, rev)
        .Exec();
    t.Commit();
    src->Parent = parent->Id;
    src->Name = to.back();
    src->Rev = rev;
    r.Node = src->ToNode(JoinCloudPath(to));
    return r;
}

bool SqliteCloudStore::IsAtOrBelow(Db& db, std::int64_t node, std::int64_t folder) {
    for (std::int64_t walk = node; walk != 0;) {
        if (walk == folder)
            return true;
        Stmt s(db, "SELECT parent FROM nodes WHERE id = ?1");
        s.Bind(1, walk);
        walk = (s.Step() && !s.IsNull(0)) ? s.Int(0) : 0;
    }
    return false;
}

std::int64_t SqliteCloudStore::CopyTree(Db& db, const Row& src, std::int64_t newParent,
                                        const std::string& newName, std::int64_t now,
                                        std::vector<std::string>& createdContent) {
    std::string content;
    if (!src.IsFolder && !src.Content.empty()) {
        content = NewContentName();
        fs::path target = ContentPath(src.Content);
        fs::path copy = ContentPath(content);
        std::error_code ec;
        fs::create_directories(copy.parent_path(), ec);
        // A hard link shares the bytes; each entry still owns its own name, so removing
        // one never affects the other. Fall back to a real copy across file systems.
        fs::create_hard_link(target, copy, ec);
        if (ec) {
            std::string bytes;
            if (!ReadWholeFile(target, bytes) || !WriteContent(content, bytes))
                throw DbError("cannot copy content " + src.Content);
        }
        FsyncDir(copy.parent_path());
        createdContent.push_back(content);
    }
    const std::int64_t rev = NextRev(db);
    Stmt ins(db, "INSERT INTO nodes(user_id, parent, name, is_folder, size, rev, hash, content, "
                 "create_time, modify_time) VALUES(?1, ?2, ?3, ?4, ?5, ?9, ?6, ?7, ?8, ?8)");
    ins.Bind(1, src.UserId).Bind(2, newParent).Bind(3, newName).Bind(9, rev);
    ins.Bind(4, src.IsFolder ? 1 : 0).Bind(5, src.Size).Bind(6, src.Hash);
    if (content.empty())
        ins.BindNull(7);
    else
        ins.Bind(7, content);
    ins.Bind(8, now);
    ins.Exec();
    std::int64_t id = db.LastInsertId();
    if (src.IsFolder) {
        std::vector<Row> children;
        {
            Stmt s(db, std::string("SELECT ") + kNodeColumns +
                           " FROM nodes WHERE parent = ?1 AND deleted = 0");
            s.Bind(1, src.Id);
            while (s.Step())
                children.push_back(Row::From(s));
        }
        for (const auto& c : children)
            CopyTree(db, c, id, c.Name, now, createdContent);
    }
    return id;
}

NodeResult SqliteCloudStore::Copy(std::int64_t root, const std::vector<std::string>& from,
                                  const std::vector<std::string>& to) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (from.empty() || to.empty()) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    std::vector<std::string> created;
    try {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        auto src = Lookup(*FWriter, root, from, r.Status);
        if (!src)
            return r;
        auto parent = ParentFolder(*FWriter, root, to, r.Status);
        if (!parent)
            return r;
        if (Child(*FWriter, parent->Id, to.back())) {
            r.Status = StoreStatus::Exists;
            return r;
        }
        if (src->IsFolder && IsAtOrBelow(*FWriter, parent->Id, src->Id)) {
            r.Status = StoreStatus::Forbidden;
            return r;
        }
        std::int64_t size = src->Size;
        if (src->IsFolder) {
            Stmt s(*FWriter, "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT n.id FROM "
                             "nodes n JOIN sub ON n.parent = sub.id WHERE n.deleted = 0) "
                             "SELECT COALESCE(SUM(size), 0) FROM nodes WHERE id IN sub");
            s.Bind(1, src->Id);
            size = s.Step() ? s.Int(0) : 0;
        }
        if (UsedBytes(*FWriter, src->UserId) + size > FLimits.QuotaBytes) {
            r.Status = StoreStatus::QuotaExceeded;
            return r;
        }
        std::int64_t id = CopyTree(*FWriter, *src, parent->Id, to.back(), UnixNow(), created);
        auto row = Child(*FWriter, parent->Id, to.back());
        t.Commit();
        created.clear();
        if (!row || row->Id != id) {
            r.Status = StoreStatus::Failed;
            return r;
        }
        r.Node = row->ToNode(JoinCloudPath(to));
    } catch (...) {
        for (const auto& c : created)
            RemoveContent(c);
        throw;
    }
    return r;
}

NodeResult SqliteCloudStore::Delete(std::int64_t root, const std::vector<std::string>& path,
                                    bool toRecycle, std::optional<std::int64_t> ifRev) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (path.empty()) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    std::vector<std::string> contentToRemove;
    {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        auto node = Lookup(*FWriter, root, path, r.Status);
        if (!AtRevision(node, ifRev, path, r) || !node)
            return r;
        std::int64_t now = UnixNow();
        const char* subtree = "WITH RECURSIVE sub(id) AS (SELECT id FROM nodes WHERE parent = ?1 "
                              "UNION ALL SELECT n.id FROM nodes n JOIN sub ON n.parent = sub.id) ";
        if (toRecycle) {
            Stmt(*FWriter, "UPDATE nodes SET deleted = 1, deleted_time = ?2 WHERE id = ?1")
                .Bind(1, node->Id)
                .Bind(2, now)
                .Exec();
            if (node->IsFolder)
                Stmt(*FWriter, std::string(subtree) +
                                   "UPDATE nodes SET deleted = 2, deleted_time = ?2 "
                                   "WHERE id IN sub")
                    .Bind(1, node->Id)
                    .Bind(2, now)
                    .Exec();
        } else {
            {
                Stmt s(*FWriter, std::string(subtree) +
                                     "SELECT content FROM nodes WHERE (id IN sub OR id = ?1) "
                                     "AND content IS NOT NULL");
                s.Bind(1, node->Id);
                while (s.Step())
                    contentToRemove.push_back(s.Text(0));
            }
            Stmt(*FWriter, std::string(subtree) + "DELETE FROM nodes WHERE id IN sub OR id = ?1")
                .Bind(1, node->Id)
                .Exec();
        }
        t.Commit();
        r.Node = node->ToNode(JoinCloudPath(path));
    }
    // Content goes only after the metadata no longer names it.
    for (const auto& c : contentToRemove)
        RemoveContent(c);
    return r;
}

NodeResult SqliteCloudStore::Upload(std::int64_t root, const std::vector<std::string>& path,
                                    IncomingContent& content, bool overwrite,
                                    std::optional<std::int64_t> ifRev) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (path.empty()) {
        r.Status = StoreStatus::IsAFolder;
        return r;
    }
    if (content.Size() > FLimits.MaxFileSize) {
        r.Status = StoreStatus::TooLarge;
        return r;
    }
    // The bytes reach the disk first; only then does the metadata point at them.
    const std::string hash = content.Finish();
    const std::string name = NewContentName();
    const fs::path target = ContentPath(name);
    std::error_code ec;
    const bool newFolder = !hash.empty() && fs::create_directories(target.parent_path(), ec);
    if (!hash.empty() && !ec)
        fs::rename(content.FPath, target, ec);
    if (hash.empty() || ec) {
        r.Status = StoreStatus::Failed;
        return r;
    }
    content.FTaken = true;
    if (newFolder)
        FsyncDir(target.parent_path().parent_path());
    FsyncDir(target.parent_path());
    const auto size = content.Size();
    std::string replaced;
    bool committed = false;
    try {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        auto parent = ParentFolder(*FWriter, root, path, r.Status);
        std::optional<Row> existing;
        if (parent)
            existing = Child(*FWriter, parent->Id, path.back());
        if (!AtRevision(existing, ifRev, path, r)) {
            // refused as it is
        } else if (parent) {
            std::int64_t now = UnixNow();
            if (existing && existing->IsFolder) {
                r.Status = StoreStatus::IsAFolder;
            } else if (existing && !overwrite) {
                r.Status = StoreStatus::Exists;
            } else if (UsedBytes(*FWriter, parent->UserId) + size -
                           (existing ? existing->Size : 0) >
                       FLimits.QuotaBytes) {
                r.Status = StoreStatus::QuotaExceeded;
            } else if (existing) {
                // The modification time of a file strictly increases with every change,
                // even two within one second: clients decide whether to download by
                // comparing it with the time they saw last, at one-second resolution, so
                // a change that kept the old time would never reach them. The stored time
                // may therefore run ahead of the wall clock by a few seconds after a burst
                // of changes to one file.
                std::int64_t mtime = std::max(now, existing->ModifyTime + 1);
                Stmt(*FWriter, "UPDATE nodes SET size = ?2, rev = ?6, hash = ?3, "
                               "content = ?4, modify_time = ?5 WHERE id = ?1")
                    .Bind(1, existing->Id)
                    .Bind(2, size)
                    .Bind(3, hash)
                    .Bind(4, name)
                    .Bind(5, mtime)
                    .Bind(6, NextRev(*FWriter))
                    .Exec();
                replaced = existing->Content;
            } else {
                Stmt(*FWriter, "INSERT INTO nodes(user_id, parent, name, is_folder, size, rev, "
                               "hash, content, create_time, modify_time) "
                               "VALUES(?1, ?2, ?3, 0, ?4, ?8, ?5, ?6, ?7, ?7)")
                    .Bind(1, parent->UserId)
                    .Bind(2, parent->Id)
                    .Bind(3, path.back())
                    .Bind(4, size)
                    .Bind(5, hash)
                    .Bind(6, name)
                    .Bind(7, now)
                    .Bind(8, NextRev(*FWriter))
                    .Exec();
            }
            if (r.Status == StoreStatus::Ok) {
                auto row = Child(*FWriter, parent->Id, path.back());
                t.Commit();
                committed = true;
                if (row)
                    r.Node = row->ToNode(JoinCloudPath(path));
            }
        }
    } catch (...) {
        if (!committed)
            RemoveContent(name);
        throw;
    }
    if (!committed)
        RemoveContent(name);
    else
        RemoveContent(replaced);
    return r;
}

NodeResult
SqliteCloudStore::FetchContent(const std::function<std::optional<Row>(Db&, StoreStatus&)>& find,
                               const std::function<std::string(const Row&)>& pathOf,
                               const std::function<bool(const fs::path*)>& fetch) {
    NodeResult r;
    // An upload that replaces the file removes the old content right after its commit;
    // a reader that looked the entry up just before then finds the file gone and looks
    // again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        r = {};
        std::optional<Row> row;
        {
            ReaderLease db(*this);
            row = find(*db, r.Status);
        }
        if (!row)
            return r;
        if (row->IsFolder) {
            r.Status = StoreStatus::IsAFolder;
            return r;
        }
        r.Node = row->ToNode(pathOf(*row));
        if (row->Content.empty()) {
            fetch(nullptr);
            return r;
        }
        fs::path file = ContentPath(row->Content);
        if (fetch(&file))
            return r;
    }
    r.Status = StoreStatus::Failed;
    return r;
}

std::function<std::optional<SqliteCloudStore::Row>(Db&, StoreStatus&)>
SqliteCloudStore::ByPath(std::int64_t root, const std::vector<std::string>& path) {
    return [this, root, &path](Db& db, StoreStatus& why) { return Lookup(db, root, path, why); };
}

std::function<std::optional<SqliteCloudStore::Row>(Db&, StoreStatus&)>
SqliteCloudStore::ById(std::int64_t node) {
    return [node](Db& db, StoreStatus& why) -> std::optional<Row> {
        Stmt s(db,
               std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE id = ?1 AND deleted = 0");
        s.Bind(1, node);
        std::optional<Row> row;
        if (s.Step())
            row = Row::From(s);
        // An application folder itself is no file.
        if (!row || row->Parent == 0) {
            why = StoreStatus::NotFound;
            return std::nullopt;
        }
        return row;
    };
}

namespace {

std::function<bool(const fs::path*)> ReadInto(std::string& content) {
    return [&content](const fs::path* file) {
        if (!file) {
            content.clear();
            return true;
        }
        return ReadWholeFile(*file, content);
    };
}

std::function<bool(const fs::path*)> OpenInto(int& fd) {
    return [&fd](const fs::path* file) {
        fd = file ? ::open(file->c_str(), O_RDONLY | O_CLOEXEC) : -1;
        return !file || fd >= 0;
    };
}

} // namespace

NodeResult SqliteCloudStore::Download(std::int64_t root, const std::vector<std::string>& path,
                                      std::string& content) {
    return FetchContent(
        ByPath(root, path), [&path](const Row&) { return JoinCloudPath(path); }, ReadInto(content));
}

NodeResult SqliteCloudStore::OpenDownload(std::int64_t root, const std::vector<std::string>& path,
                                          int& fd) {
    return FetchContent(
        ByPath(root, path), [&path](const Row&) { return JoinCloudPath(path); }, OpenInto(fd));
}

NodeResult SqliteCloudStore::DownloadById(std::int64_t node, std::string& content) {
    return FetchContent(
        ById(node), [](const Row& row) { return "/" + row.Name; }, ReadInto(content));
}

NodeResult SqliteCloudStore::OpenDownloadById(std::int64_t node, int& fd) {
    return FetchContent(
        ById(node), [](const Row& row) { return "/" + row.Name; }, OpenInto(fd));
}

UsageRecord SqliteCloudStore::Usage(std::int64_t userId) {
    ReaderLease db(*this);
    UsageRecord u;
    Stmt s(*db, "SELECT COALESCE(SUM(CASE WHEN deleted = 0 THEN size END), 0), "
                "COALESCE(SUM(CASE WHEN deleted <> 0 THEN size END), 0) "
                "FROM nodes WHERE user_id = ?1");
    s.Bind(1, userId);
    if (s.Step()) {
        u.Used = s.Int(0);
        u.Recycled = s.Int(1);
    }
    return u;
}

int SqliteCloudStore::PurgeRecycleBin(std::int64_t deletedBefore) {
    std::vector<std::string> contentToRemove;
    int removed = 0;
    {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        {
            Stmt s(*FWriter, "SELECT content FROM nodes WHERE deleted <> 0 AND deleted_time < ?1 "
                             "AND content IS NOT NULL");
            s.Bind(1, deletedBefore);
            while (s.Step())
                contentToRemove.push_back(s.Text(0));
        }
        Stmt(*FWriter, "DELETE FROM nodes WHERE deleted <> 0 AND deleted_time < ?1")
            .Bind(1, deletedBefore)
            .Exec();
        removed = FWriter->Changes();
        t.Commit();
    }
    for (const auto& c : contentToRemove)
        RemoveContent(c);
    return removed;
}

} // namespace ot::server
