// Share links.

#include "CloudStoreParts.h"

#include "common/Clock.h"

namespace ot::server {

std::string SqliteCloudStore::CreateShare(std::int64_t node, const std::string& accessCode,
                                          const std::string& name) {
    std::string code = SecureRandomText(24);
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "INSERT INTO shares(code, node, access_code, name, created) "
                   "VALUES(?1, ?2, ?3, ?4, ?5)")
        .Bind(1, code)
        .Bind(2, node)
        .Bind(3, accessCode)
        .Bind(4, name)
        .Bind(5, UnixNow())
        .Exec();
    return code;
}

std::optional<ShareRecord> SqliteCloudStore::FindShare(const std::string& code) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT code, node, access_code, name FROM shares WHERE code = ?1");
    s.Bind(1, code);
    if (!s.Step())
        return std::nullopt;
    return ShareRecord{s.Text(0), s.Int(1), s.Text(2), s.Text(3)};
}

} // namespace ot::server
