#include "StoreMigration.h"

#include "PgCloudStore.h"
#include "ServerDb.h"
#include "SqliteCloudStore.h"
#include "common/FileUtil.h"

#include <sodium.h>

#include <cstring>
#include <map>

namespace ot::server {

namespace fs = std::filesystem;

namespace {

struct Table {
    const char* Name;
    const char* Columns; // the same in both stores
    const char* Order;   // a key that orders the rows the same way in both
};

// The content column of nodes travels apart (a file on one side, bytea on the other).
const Table kTables[] = {
    {"users", "id, name, pwhash, created", "id"},
    {"consumers", "key, secret, app_name", "key"},
    {"request_tokens", "key, secret, consumer, created, user_id, verifier", "key"},
    {"access_tokens", "key, secret, consumer, user_id, created, expires, revoked", "key"},
    {"app_folders", "user_id, consumer, root", "user_id, consumer"},
    {"nodes",
     "id, user_id, parent, name, is_folder, size, rev, hash, create_time, modify_time, deleted, "
     "deleted_time",
     "id"},
    {"shares", "code, node, access_code, name, created", "code"},
};

// The names of a list "a, b, c".
std::vector<std::string> Names(const char* list) {
    std::vector<std::string> out(1);
    for (const char* c = list; *c; ++c) {
        if (*c == ',')
            out.emplace_back();
        else if (*c != ' ')
            out.back() += *c;
    }
    return out;
}

// Text keys compare byte for byte on both sides.
std::string PgOrder(const char* order) {
    std::string out;
    for (const auto& key : Names(order)) {
        const bool text = key != "id" && key != "user_id";
        out += (out.empty() ? "" : ", ") + key + (text ? " COLLATE \"C\"" : "");
    }
    return out;
}

// One row's values in a form both sides give alike.
void AddToDigest(std::string& digest, bool null, const std::string& text) {
    digest += null ? "\x01" : "\x02";
    if (!null)
        digest += text;
    digest += '\0';
}

} // namespace

MigrationReport MigrateToPostgres(const fs::path& dataDir, const std::string& store) {
    MigrationReport report;
    if (!fs::exists(dataDir / "cloud.db")) {
        report.Problems.push_back("no cloud data in " + dataDir.string());
        return report;
    }
    SqliteCloudStore source(dataDir, {}, false);
    Db from(source.DatabaseFile().string(), true);
    PgCloudStore target(store, {});

    {
        auto db = target.Pool().Take();
        auto r = db->Exec("SELECT (SELECT COUNT(*) FROM users) + (SELECT COUNT(*) FROM nodes) + "
                          "(SELECT COUNT(*) FROM access_tokens)");
        if (r.Int(0, 0) != 0) {
            report.Problems.push_back("the database holds data already; migrate into an empty "
                                      "one");
            return report;
        }
    }

    // One read of the source and one transaction in the target: a failure leaves the
    // database as empty as it was.
    from.Exec("BEGIN");
    std::map<std::string, std::int64_t> sourceRows;
    std::map<std::string, std::string> sourceDigest;
    std::map<std::int64_t, std::string> fileHashes; // node -> SHA-1 of its file
    std::int64_t contentBytes = 0;
    std::int64_t nonces = 0;
    try {
        target.Pool().Transact([&](PgConn& db) {
            report.Lines.clear();
            report.Problems.clear();
            sourceRows.clear();
            sourceDigest.clear();
            fileHashes.clear();
            contentBytes = 0;
            for (const Table& t : kTables) {
                const int n = static_cast<int>(Names(t.Columns).size());
                const bool nodes = std::string(t.Name) == "nodes";
                std::string select = std::string("SELECT ") + t.Columns +
                                     (nodes ? ", content" : "") + " FROM " + t.Name + " ORDER BY " +
                                     t.Order;
                std::string insert = std::string("INSERT INTO ") + t.Name + "(" + t.Columns +
                                     (nodes ? ", content" : "") + ") VALUES(";
                for (int i = 1; i <= n + (nodes ? 1 : 0); ++i)
                    insert += (i > 1 ? ", $" : "$") + std::to_string(i);
                insert += ")";
                Stmt s(from, select);
                std::string digest;
                std::int64_t rows = 0;
                while (s.Step()) {
                    std::vector<PgParam> params;
                    for (int c = 0; c < n; ++c) {
                        const bool null = s.IsNull(c);
                        const std::string text = null ? std::string() : s.Text(c);
                        AddToDigest(digest, null, text);
                        params.push_back(null ? Null() : P(text));
                    }
                    if (nodes) {
                        const bool folder = s.Int(4) != 0;
                        if (folder || s.IsNull(n)) {
                            params.push_back(folder ? Null() : Bytes({}));
                            if (!folder)
                                fileHashes[s.Int(0)] = Sha1Hex({});
                        } else {
                            std::string bytes;
                            const fs::path file = source.ContentPath(s.Text(n));
                            if (!ReadWholeFile(file, bytes))
                                throw std::runtime_error("cannot read " + file.string());
                            fileHashes[s.Int(0)] = Sha1Hex(bytes);
                            contentBytes += static_cast<std::int64_t>(bytes.size());
                            params.push_back(Bytes(std::move(bytes)));
                        }
                    }
                    db.Exec(insert, params);
                    ++rows;
                }
                sourceRows[t.Name] = rows;
                sourceDigest[t.Name] = Sha1Hex(digest);
            }
            // The nonces of the journal, under its key: a request captured before the
            // move is refused after it as well.
            nonces = 0;
            std::string key;
            if (ReadWholeFile(dataDir / "nonces" / "key", key) && key.size() == 16) {
                std::string hex(33, '\0');
                sodium_bin2hex(hex.data(), hex.size(),
                               reinterpret_cast<const unsigned char*>(key.data()), key.size());
                hex.pop_back();
                db.Exec("UPDATE meta SET value = $1 WHERE name = 'nonce_key'", {P(hex)});
                std::error_code ec;
                for (const auto& f : fs::directory_iterator(dataDir / "nonces", ec)) {
                    const std::string name = f.path().filename().string();
                    if (name.find_first_not_of("0123456789-") != std::string::npos ||
                        name.find('-') == std::string::npos)
                        continue;
                    std::string bytes;
                    if (!ReadWholeFile(f.path(), bytes))
                        continue;
                    for (std::size_t at = 0; at + 16 <= bytes.size(); at += 16) {
                        std::int64_t hash = 0, arrived = 0;
                        std::memcpy(&hash, bytes.data() + at, 8);
                        std::memcpy(&arrived, bytes.data() + at + 8, 8);
                        if (arrived == 0)
                            continue; // room grown ahead
                        db.Exec("INSERT INTO nonces(key, arrived) VALUES($1::bigint, $2::bigint) "
                                "ON CONFLICT(key) DO UPDATE SET "
                                "arrived = GREATEST(nonces.arrived, EXCLUDED.arrived)",
                                {P(hash), P(arrived)});
                        ++nonces;
                    }
                }
            }
            // The fingerprint stays: the clients' data is all there.
            Stmt fp(from, "SELECT value FROM meta WHERE name = 'data_fingerprint'");
            if (fp.Step())
                db.Exec("UPDATE meta SET value = $1 WHERE name = 'data_fingerprint'",
                        {P(fp.Text(0))});
            // No revision and no ID is handed out twice.
            std::int64_t rev = 1;
            Stmt r(from, "SELECT MAX(COALESCE((SELECT CAST(value AS INTEGER) FROM meta "
                         "WHERE name = 'rev'), 1), COALESCE((SELECT MAX(rev) FROM nodes), 1))");
            if (r.Step())
                rev = r.Int(0);
            db.Exec("SELECT setval('revs', $1::bigint)", {P(rev)});
            db.Run("SELECT setval(pg_get_serial_sequence('users', 'id'), "
                   "GREATEST((SELECT MAX(id) FROM users), 1));"
                   "SELECT setval(pg_get_serial_sequence('nodes', 'id'), "
                   "GREATEST((SELECT MAX(id) FROM nodes), 1));");
            // The check reads the copy back before it is committed: a copy that does not
            // match is not kept.
            for (const Table& t : kTables) {
                const int n = static_cast<int>(Names(t.Columns).size());
                std::string columns;
                for (const auto& name : Names(t.Columns))
                    columns += (columns.empty() ? "" : ", ") + name + "::text";
                auto copy = db.Exec("SELECT " + columns + " FROM " + t.Name + " ORDER BY " +
                                    PgOrder(t.Order));
                std::string digest;
                for (int i = 0; i < copy.Rows(); ++i)
                    for (int c = 0; c < n; ++c)
                        AddToDigest(digest, copy.IsNull(i, c), copy.Text(i, c));
                const std::int64_t rows = copy.Rows();
                const bool same =
                    rows == sourceRows[t.Name] && Sha1Hex(digest) == sourceDigest[t.Name];
                report.Lines.push_back(std::string(t.Name) + ": " +
                                       std::to_string(sourceRows[t.Name]) + " row(s) copied, " +
                                       std::to_string(rows) + " in the database" +
                                       (same ? ", rows match" : ", ROWS DIFFER"));
                if (!same)
                    report.Problems.push_back(std::string(t.Name) + " differs after the copy");
            }
            // Every file's bytes: as the data directory held them and as its entry records them.
            auto files =
                db.Exec("SELECT id::text, hash, content FROM nodes WHERE is_folder = 0", {}, true);
            int matched = 0;
            for (int i = 0; i < files.Rows(); ++i) {
                const std::int64_t id = std::stoll(files.Text(i, 0));
                const std::string hash =
                    Sha1Hex(files.IsNull(i, 2) ? std::string() : files.Bytes(i, 2));
                auto it = fileHashes.find(id);
                if (it == fileHashes.end() || it->second != hash)
                    report.Problems.push_back("file " + std::to_string(id) +
                                              " differs from the data directory's");
                else if (hash != files.Text(i, 1))
                    report.Problems.push_back("file " + std::to_string(id) +
                                              " does not match the hash its entry records");
                else
                    ++matched;
            }
            if (static_cast<std::size_t>(files.Rows()) != fileHashes.size())
                report.Problems.push_back("the database holds " + std::to_string(files.Rows()) +
                                          " file(s), the data directory " +
                                          std::to_string(fileHashes.size()));
            report.Lines.push_back("contents: " + std::to_string(fileHashes.size()) + " file(s), " +
                                   std::to_string(contentBytes) + " byte(s), " +
                                   std::to_string(matched) + " matching their hashes");
            report.Lines.push_back("nonces: " + std::to_string(nonces) +
                                   " of the journal carried over");
            if (!report.Problems.empty())
                throw std::runtime_error("the copy does not match the data directory");
            return 0;
        });
    } catch (const std::exception& e) {
        from.Exec("ROLLBACK");
        report.Problems.push_back(std::string("nothing was kept: ") + e.what());
        return report;
    }
    from.Exec("ROLLBACK");

    report.Ok = report.Problems.empty();
    return report;
}

} // namespace ot::server
