#include "sync/OtKuaipanAccountBinding.h"

#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanAuthorise.h"
#include "cloud/KuaipanException.h"
#include "common/Text.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "syncqueue/OtSyncQueueDBModel.h"

namespace ot {

namespace {
bool IsSet(const std::atomic<bool>* AFlag) {
    return AFlag && AFlag->load();
}
} // namespace

TKuaipanLoginResult KuaipanLogin(TKuaipanSyncUtility& AEngine, const std::string& AUsername,
                                 const std::string& AUserpwd, const TKuaipanLinkStore& AStore,
                                 const std::atomic<bool>* ACancelled) {
    TKuaipanLoginResult result;
    std::string url;
    for (int attempt = 0; attempt < KuaipanAuthorizeURLAttempts && url.empty(); ++attempt) {
        if (IsSet(ACancelled))
            return {TKuaipanLoginResult::lrCancelled, {}};
        url = AEngine.GetAuthorizeURL();
    }
    if (url.empty()) {
        if (const auto skew = AEngine.LastClockSkew())
            return {TKuaipanLoginResult::lrClockSkew, ClockSkewText(*skew)};
        return {TKuaipanLoginResult::lrNoAuthorizeURL, {}};
    }

    if (IsSet(ACancelled))
        return {TKuaipanLoginResult::lrCancelled, {}};
    TKuaipanAuthorise authorise(AEngine.Session().Hosts(), url);
    std::string text;
    if (!authorise.LoginAndAuthorise(Trim(AUsername), Trim(AUserpwd), text))
        return {TKuaipanLoginResult::lrAuthoriseFailed, text};
    if (IsSet(ACancelled))
        return {TKuaipanLoginResult::lrCancelled, {}};
    if (!AEngine.SetVerifier(text)) {
        if (const auto skew = AEngine.LastClockSkew())
            return {TKuaipanLoginResult::lrClockSkew, ClockSkewText(*skew)};
        return {TKuaipanLoginResult::lrVerifierFailed, text};
    }

    result.Kind = TKuaipanLoginResult::lrSuccess;
    result.Text = text;
    result.LinksDropped =
        RelinkTaskTreeToAccount(AStore, KuaipanAccountIdentity(AEngine.KuaipanAPI()));
    return result;
}

std::string KuaipanAccountIdentity(TKuaipanAPI& AAPI) {
    try {
        const TKuaipanUser user = AAPI.AccountInfo();
        if (user.user_id == 0)
            return {};
        const TKuaipanHosts& hosts = AAPI.GetSession().Hosts();
        return hosts.HostOf(hosts.Api, true) + "/" + std::to_string(user.user_id);
    } catch (...) {
        return {};
    }
}

bool RelinkTaskTreeToAccount(const TKuaipanLinkStore& AStore, const std::string& AIdentity) {
    const std::string linked = AStore.ReadLinkedAccount ? AStore.ReadLinkedAccount() : "";
    bool dropped = false;
    if (AIdentity.empty() || linked != AIdentity) {
        TOtSyncQueueDBUtility db(AStore.DBFileName);
        TOtSyncQueueList linkedRows;
        db.ListSyncQueue(linkedRows,
                         "ifnull([KuaipanFileID], '') <> '' or ifnull([IsDelete], 0) = 1");
        if (!linkedRows.empty()) {
            // One transaction: a half-dropped queue would mix both accounts.
            db.ExeSQL("begin immediate");
            const bool ok =
                db.ExeSQL("delete from [SyncQueue] where ifnull([IsDelete], 0) = 1") &&
                db.ExeSQL("update [SyncQueue] set [KuaipanFileID] = '', [KuaipanModifyTime] = "
                          "NULL, [TaskItemPath_Old] = '', [TaskClassPath_Old] = '', [SyncType] = "
                          "0, [UpdateDateTime] = (datetime('now','localtime'))");
            db.ExeSQL(ok ? "commit" : "rollback");
            dropped = ok;
            if (!ok)
                return false;
        }
    }
    if (AStore.WriteLinkedAccount)
        AStore.WriteLinkedAccount(AIdentity);
    return dropped;
}

} // namespace ot
