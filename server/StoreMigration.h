#pragma once
// Moving a data directory (SQLite and content files) into an empty PostgreSQL
// database, and checking the copy: every table's row count and a digest of its rows,
// and every file's bytes against the hash the data directory recorded for it.

#include <filesystem>
#include <string>
#include <vector>

namespace ot::server {

struct MigrationReport {
    bool Ok = false;
    // One line per table and one for the contents, as "<what>: <counts>".
    std::vector<std::string> Lines;
    // What went wrong or does not match; empty when Ok.
    std::vector<std::string> Problems;
};

// The data directory is only read; it should not be served meanwhile. The database
// must hold no users, tokens or files yet.
MigrationReport MigrateToPostgres(const std::filesystem::path& dataDir, const std::string& store);

} // namespace ot::server
