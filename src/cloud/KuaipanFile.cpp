#include "cloud/KuaipanFile.h"

#include "cloud/JSONUtility.h"

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
