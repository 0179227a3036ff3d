#include "cloud/KuaipanFile.h"

#include "cloud/JSONUtility.h"
#include "cloud/JsonScan.h"
#include "cloud/KuaipanException.h"


#include <algorithm>

namespace ot {

TKuaipanFile::TKuaipanFile(const std::optional<TParamList>& ARespList) {
    auto v = [&](const char* name) { return GetValueByName(ARespList, name); };
    file_id = v("file_id");
    name = v("name");
    hash = v("hash");
    root = v("root");
    path = v("path");
    rev = v("rev");
    create_time = SafeStrToDateTime(v("create_time"));
    modify_time = SafeStrToDateTime(v("modify_time"));
    is_deleted = SafeStrToBool(v("is_deleted"));
    ftype = v("type");
    size = SafeStrToInt(v("size"));
    data_fingerprint = v("data_fingerprint");
    if (auto children = TJSONUtility::ParseJsonArray(v("files")))
        for (const auto& child : *children)
            files.emplace_back(child);
}

namespace {

// The fields of a record, by the reply member that fills them.
enum class TField { None, FileID, Name, Hash, Root, Path, Rev, Created, Modified, Deleted, Type,
                    Size, Fingerprint, Files };

TField FieldOf(const std::string& member) {
    // Member names are matched without regard to letter case.
    static const std::pair<const char*, TField> names[] = {
        {"file_id", TField::FileID},       {"name", TField::Name},
        {"hash", TField::Hash},            {"root", TField::Root},
        {"path", TField::Path},            {"rev", TField::Rev},
        {"create_time", TField::Created},  {"modify_time", TField::Modified},
        {"is_deleted", TField::Deleted},   {"type", TField::Type},
        {"size", TField::Size},            {"data_fingerprint", TField::Fingerprint},
        {"files", TField::Files}};
    for (const auto& [name, field] : names)
        if (member.size() == std::char_traits<char>::length(name) &&
            std::equal(member.begin(), member.end(), name, [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
            }))
            return field;
    return TField::None;
}

// Reads a reply as a stream of events straight into its record and the
// records of its "files", with the values the flattened lines would give: a
// string its content, a number its text, anything else an empty value; the
// first member of a name counts.
class TRecordReader {
public:
    explicit TRecordReader(TKuaipanFile& top) { FFrames.push_back({Frame::Record, &top}); }

    // What was wrong with the reply's shape, when it was.
    const char* WrongShape = nullptr;
    // A member other than "files" holds an array, whose value would be its
    // JSON text: no reply of the service looks so, and such a reply is read
    // through the flattened lines instead.
    bool NeedsLines = false;
    // A "files" member whose value is not an array: its text, read as one
    // afterwards (as the flattened lines would be).
    std::vector<std::pair<TKuaipanFile*, std::string>> FilesAsText;

    bool Literal() { return Value(std::string()); }
    bool Number(std::string_view text) { return Value(std::string(text)); }
    bool String(std::string&& v) { return Value(std::move(v)); }

    bool StartObject() {
        if (!FStarted) {
            FStarted = true;
            return true; // the top record's frame is already there
        }
        Frame& f = FFrames.back();
        if (f.Kind == Frame::Files) {
            f.File->files.emplace_back();
            f.File->files.back().ftype.clear(); // no "type" member: empty, not "file"
            FFrames.push_back({Frame::Record, &f.File->files.back()});
            return true;
        }
        if (f.Kind == Frame::Record)
            Claim(f); // an object as a value is an empty value
        FFrames.push_back({Frame::Skip, nullptr});
        return true;
    }
    bool StartArray() {
        if (!FStarted)
            return Fail(); // the top level must be an object
        Frame& f = FFrames.back();
        if (f.Kind == Frame::Files)
            return Fail("JSON array expected"); // the elements of "files" are objects
        if (f.Kind == Frame::Record) {
            if (FField == TField::Files && Claim(f)) {
                FFrames.push_back({Frame::Files, f.File});
                return true;
            }
            if (Claim(f))
                NeedsLines = true;
        }
        FFrames.push_back({Frame::Skip, nullptr});
        return true;
    }
    bool EndObject() { return End(); }
    bool EndArray() { return End(); }
    bool Key(std::string&& k) {
        FField = FieldOf(k);
        return true;
    }

private:
    struct Frame {
        enum TKind { Record, Files, Skip } Kind;
        TKuaipanFile* File;
        unsigned Seen = 0; // the fields already set, one bit each
    };

    bool Fail(const char* why = "JSON object expected") {
        WrongShape = why;
        return false;
    }

    // Whether this member is the first of its name in the record; marks it.
    bool Claim(Frame& f) {
        if (FField == TField::None)
            return false;
        const unsigned bit = 1u << static_cast<unsigned>(FField);
        if (f.Seen & bit)
            return false;
        f.Seen |= bit;
        return true;
    }

    bool End() {
        if (FFrames.size() > 1)
            FFrames.pop_back();
        return true;
    }

    bool Value(std::string v) {
        if (!FStarted)
            return Fail();
        Frame& f = FFrames.back();
        if (f.Kind == Frame::Files)
            return Fail("JSON array expected");
        if (f.Kind == Frame::Skip || !Claim(f))
            return true;
        TKuaipanFile& r = *f.File;
        switch (FField) {
        case TField::FileID: r.file_id = std::move(v); break;
        case TField::Name: r.name = std::move(v); break;
        case TField::Hash: r.hash = std::move(v); break;
        case TField::Root: r.root = std::move(v); break;
        case TField::Path: r.path = std::move(v); break;
        case TField::Rev: r.rev = std::move(v); break;
        case TField::Created: r.create_time = SafeStrToDateTime(v); break;
        case TField::Modified: r.modify_time = SafeStrToDateTime(v); break;
        case TField::Deleted: r.is_deleted = SafeStrToBool(v); break;
        case TField::Type: r.ftype = std::move(v); break;
        case TField::Size: r.size = SafeStrToInt(v); break;
        case TField::Fingerprint: r.data_fingerprint = std::move(v); break;
        case TField::Files:
            // Not an array: its text is read as one (a number fails there).
            if (!v.empty())
                FilesAsText.emplace_back(&r, std::move(v));
            break;
        case TField::None: break;
        }
        return true;
    }

    std::vector<Frame> FFrames;
    TField FField = TField::None; // of the member whose value comes next
    bool FStarted = false;
};

} // namespace

TKuaipanFile TKuaipanFile::FromReply(std::string_view AJson) {
    TKuaipanFile record;
    record.ftype.clear();
    if (AJson.empty())
        return record;
    TRecordReader reader(record);
    if (!json_scan::ScanJson(AJson, reader))
        throw TKuaipanIOException(reader.WrongShape ? reader.WrongShape : "reply is not valid JSON");
    if (reader.NeedsLines)
        return TKuaipanFile(TJSONUtility::Parse(AJson));
    for (auto& [file, text] : reader.FilesAsText)
        if (auto children = TJSONUtility::ParseJsonArray(text))
            for (const auto& child : *children)
                file->files.emplace_back(child);
    return record;
}

std::string TKuaipanFile::ToString() const {
    std::string out = "\nfile_id=" + file_id + "\nname=" + name + "\nhash=" + hash +
                      "\nroot=" + root + "\npath=" + path + "\nrev=" + rev;
    if (create_time != 0)
        out += "\ncreate_time=" + DateTimeToRegionalStr(create_time);
    if (modify_time != 0)
        out += "\nmodify_time=" + DateTimeToRegionalStr(modify_time);
    out += "\ntype=" + ftype + "\nis_deleted=" + (is_deleted ? "True" : "False") +
           "\nsize=" + std::to_string(size);
    return out;
}

TKuaipanUser::TKuaipanUser(const std::optional<TParamList>& ARespList) {
    auto v = [&](const char* name) { return GetValueByName(ARespList, name); };
    user_id = SafeStrToInt64(v("user_id"));
    user_name = v("user_name");
    max_file_size = SafeStrToInt64(v("max_file_size"));
    quota_total = SafeStrToInt64(v("quota_total"));
    quota_used = SafeStrToInt64(v("quota_used"));
    quota_recycled = SafeStrToInt64(v("quota_recycled"));
}

std::string TKuaipanUser::ToString() const {
    return "\nuser_id=" + std::to_string(user_id) + "\nuser_name=" + user_name +
           "\nmax_file_size=" + std::to_string(max_file_size) +
           "\nquota_total=" + std::to_string(quota_total) +
           "\nquota_used=" + std::to_string(quota_used) +
           "\nquota_recycled=" + std::to_string(quota_recycled);
}

TKuaipanPublicLink::TKuaipanPublicLink(const std::optional<TParamList>& ARespList)
    : url(GetValueByName(ARespList, "url")), access_code(GetValueByName(ARespList, "access_code")) {
}

std::string TKuaipanPublicLink::ToString() const {
    return "\nurl=" + url + "\naccess_code=" + access_code;
}

} // namespace ot
