#pragma once
// Result records of the cloud API, built from flattened JSON replies. A
// member missing from a reply leaves its field empty, 0 or false: a failed
// call gives a record with empty fields (an empty file_id for a file), which
// is how callers tell failure.

#include "cloud/CommonUtility.h"
#include "common/DateTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

// Metadata of a file or folder.
class TKuaipanFile {
public:
    // No reply: everything empty, ftype "file".
    TKuaipanFile() = default;
    // From a flattened reply (none gives empty fields, ftype included).
    // Raises TKuaipanIOException when "files" is not a JSON array of objects.
    explicit TKuaipanFile(const std::optional<TParamList>& ARespList);
    // The same record read straight from the reply's JSON text, in one pass
    // (a listing's children included). Raises TKuaipanIOException for a
    // text that is not JSON or not an object, or whose "files" is not an
    // array of objects.
    static TKuaipanFile FromReply(std::string_view AJson);

    std::string file_id;
    std::string name;
    std::string hash;
    std::string root;
    std::string path;
    std::string rev;
    TDateTime create_time = 0;
    TDateTime modify_time = 0;
    bool is_deleted = false;
    std::string ftype = "file"; // the reply's "type": "file" or "folder"
    std::int32_t size = 0;      // 0 when beyond 32 bits
    // The children of a listing, in reply order; empty when the reply had
    // none (no member, or an empty array).
    std::vector<TKuaipanFile> files;
    // Not part of the record's text form: the service's data fingerprint (a
    // metadata reply's "data_fingerprint", which changes when the service's
    // data was restored from a backup), and whether a conditional upload was
    // refused because the file had changed.
    std::string data_fingerprint;
    bool conflict = false;

    // "\nfile_id=...\nname=...\nhash=...\nroot=...\npath=...\nrev=..."
    // ["\ncreate_time=..."]["\nmodify_time=..."] (only when set)
    // "\ntype=...\nis_deleted=True|False\nsize=..."
    std::string ToString() const;
};

// Account information.
class TKuaipanUser {
public:
    TKuaipanUser() = default;
    explicit TKuaipanUser(const std::optional<TParamList>& ARespList);

    std::int64_t user_id = 0;
    std::string user_name;
    std::int64_t max_file_size = 0;
    std::int64_t quota_total = 0;
    std::int64_t quota_used = 0;
    std::int64_t quota_recycled = 0;

    // "\nuser_id=...\nuser_name=...\nmax_file_size=...\nquota_total=..."
    // "\nquota_used=...\nquota_recycled=..."
    std::string ToString() const;
};

// A share link.
class TKuaipanPublicLink {
public:
    TKuaipanPublicLink() = default;
    explicit TKuaipanPublicLink(const std::optional<TParamList>& ARespList);

    std::string url;
    std::string access_code;

    // "\nurl=...\naccess_code=..."
    std::string ToString() const;
};

} // namespace ot
