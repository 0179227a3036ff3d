#pragma once
// Making a new, empty queue database. The programs never do this: the build
// and the installation create the file before the first start, and tests
// make their own.

#include <string>

namespace ot {

// The statements that create the SyncQueue table (resources/SyncQueue.sql).
const char* SyncQueueSchemaSQL();

// Creates fileName (and its missing parent directories) as an SQLite
// database holding an empty SyncQueue table. Never touches an existing file:
// answers false with a message in *error when fileName exists or cannot be
// made. The file appears complete or not at all.
bool CreateSyncQueueDatabase(const std::string& fileName, std::string* error = nullptr);

} // namespace ot
