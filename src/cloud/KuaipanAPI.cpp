#include "cloud/KuaipanAPI.h"

#include "cloud/JSONUtility.h"
#include "cloud/KuaipanException.h"
#include "cloud/OauthUtility.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <thread>

namespace ot {

namespace {

const char* BoolText(bool b) {
    return b ? "True" : "False";
}

} // namespace

std::string ConvTypeToString(TConvType AType) {
    static const char* const names[] = {"pdf", "doc", "wps", "csv", "prn", "xls",
                                        "et",  "ppt", "dps", "txt", "rtf"};
    return names[static_cast<int>(AType)];
}

std::string ConvViewToString(TConvView AView) {
    static const char* const names[] = {"normal", "android", "iPad", "iphone"};
    return names[static_cast<int>(AView)];
}

TKuaipanAPI::TKuaipanAPI(std::shared_ptr<TSession> ASession)
    : FSession(std::move(ASession)),
      FUploadHosts(std::make_shared<TKuaipanHTTPUtility::UploadHostFactory>()) {
    if (!FSession)
        throw std::invalid_argument("Illegal Argument");
}

TKuaipanURL TKuaipanAPI::SignedGet(TEndpointField endpoint, bool IsSecure,
                                   const std::string& ALocation, const TParamList& AParams,
                                   bool withToken) const {
    const TKuaipanHosts& hosts = FSession->Hosts();
    const auto token = withToken ? FSession->Token() : nullptr;
    return TOauthUtility::BuildGetURL(hosts.HostOf(hosts.*endpoint, IsSecure), ALocation, AParams,
                                      FSession->Consumer(), token.get(), hosts.UseSecure(IsSecure));
}

namespace {

// A refusal of the request's timestamp raises, with the clock difference
// when the reply carries the server's time.
void CheckClock(const TKuaipanHTTPResponse& AResponse, const std::optional<TParamList>& list) {
    if (AResponse.Code != 401 || !list || GetValueByName(list, "msg") != "timestamp out of range")
        return;
    std::optional<std::int64_t> offset;
    const std::string serverTime = GetValueByName(list, "server_time");
    char* end = nullptr;
    const long long t = std::strtoll(serverTime.c_str(), &end, 10);
    if (!serverTime.empty() && end && *end == '\0' && t > 0)
        offset = t - static_cast<std::int64_t>(std::time(nullptr));
    throw TKuaipanClockSkewException(offset);
}

} // namespace

std::optional<TParamList> TKuaipanAPI::CheckResponse(const TKuaipanHTTPResponse& AResponse) const {
    auto list = TJSONUtility::Parse(AResponse.Content);
    if (AResponse.Code == 401 && list && GetValueByName(list, "msg") == "authorization expired")
        throw TKuaipanAuthExpiredException();
    CheckClock(AResponse, list);
    return list;
}

TKuaipanFile TKuaipanAPI::FileReply(const TKuaipanHTTPResponse& AResponse) const {
    // Only a 401 can mean more than its record (an expired authorization, a
    // refused clock); every other reply is read straight into the record.
    if (AResponse.Code == 401)
        return TKuaipanFile(CheckResponse(AResponse));
    return TKuaipanFile::FromReply(AResponse.Content);
}

void TKuaipanAPI::CheckStatusReply(const TKuaipanHTTPResponse& AResponse) const {
    if (AResponse.Code == 401)
        CheckClock(AResponse, TJSONUtility::Parse(AResponse.Content));
}

TKuaipanHTTPResponse TKuaipanAPI::RequestByGET(const TKuaipanURL& AUrl) const {
    return TKuaipanHTTPUtility::RequestByGET(FSession->Hosts(), AUrl);
}

template <typename Send> TKuaipanHTTPResponse TKuaipanAPI::WithBackOff(Send send) const {
    for (int pauses = 0;; ++pauses) {
        TKuaipanHTTPResponse reply = send();
        if (reply.Code != 503 || reply.RetryAfter <= 0 || pauses >= MaxBackOffs)
            return reply;
        const auto pause = std::min<std::chrono::seconds>(std::chrono::seconds(reply.RetryAfter),
                                                          MaxBackOffPause);
        if (FBackOff) {
            if (!FBackOff(pause))
                return reply;
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
}

std::string TKuaipanAPI::PathPart(const std::string& APath) const {
    return "/" + FSession->Root() + (APath.starts_with("/") ? APath : "/" + APath);
}

std::string TKuaipanAPI::RequestToken() {
    FSession->UnAuth();
    auto reply =
        RequestByGET(SignedGet(&TKuaipanHosts::Api, true, "/open/requestToken", {}, false));
    auto list = CheckResponse(reply);
    const std::string key = GetValueByName(list, "oauth_token");
    const std::string secret = GetValueByName(list, "oauth_token_secret");
    if (key.empty() || secret.empty())
        throw TKuaipanIOException(reply.ToString());
    FSession->SetTempToken(key, secret);
    const TKuaipanHosts& hosts = FSession->Hosts();
    return "https://" + hosts.Site.Secure + "/api.php?ac=open&op=authorise&oauth_token=" + key;
}

void TKuaipanAPI::AccessToken(const std::string& AVerifier) {
    TParamList params;
    if (!AVerifier.empty())
        params.push_back("oauth_verifier=" + AVerifier);
    auto reply = RequestByGET(SignedGet(&TKuaipanHosts::Api, true, "/open/accessToken", params));
    auto list = CheckResponse(reply);
    const std::string key = GetValueByName(list, "oauth_token");
    const std::string secret = GetValueByName(list, "oauth_token_secret");
    if (key.empty() || secret.empty())
        throw TKuaipanIOException(reply.ToString());
    FSession->SetAuthToken(key, secret);
}

TKuaipanUser TKuaipanAPI::AccountInfo() {
    auto reply = WithBackOff(
        [&] { return RequestByGET(SignedGet(&TKuaipanHosts::Api, true, "/1/account_info", {})); });
    return TKuaipanUser(CheckResponse(reply));
}

TKuaipanPublicLink TKuaipanAPI::Shares(const std::string& APath, const std::string& AName,
                                       const std::string& AAccess_Code) {
    TParamList params;
    if (!AName.empty())
        params.push_back("name=" + AName);
    if (!AAccess_Code.empty())
        params.push_back("access_code=" + AAccess_Code);
    auto reply = WithBackOff([&] {
        return RequestByGET(
            SignedGet(&TKuaipanHosts::Api, false, "/1/shares" + PathPart(APath), params));
    });
    return TKuaipanPublicLink(CheckResponse(reply));
}

TKuaipanFile TKuaipanAPI::Metadata(const std::string& APath, bool IsList) {
    // Checked on the token the request is signed with, so a token replaced
    // meanwhile cannot slip through unchecked.
    const TKuaipanHosts& hosts = FSession->Hosts();
    const auto token = FSession->Token();
    if (!TSession::IsAccessToken(token.get()))
        throw TKuaipanAuthExpiredException();
    TParamList params;
    if (IsList)
        params.push_back("list=True");
    return FileReply(WithBackOff([&] {
        return RequestByGET(TOauthUtility::BuildGetURL(
            hosts.HostOf(hosts.Api, false), "/1/metadata" + PathPart(APath), params,
            FSession->Consumer(), token.get(), hosts.UseSecure(false)));
    }));
}

TKuaipanFile TKuaipanAPI::CreateFolder(const std::string& APath) {
    return FileReply(WithBackOff([&] {
        return RequestByGET(SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/create_folder",
                                      {"root=" + FSession->Root(), "path=" + APath}));
    }));
}

TKuaipanHTTPResponse TKuaipanAPI::Move(const std::string& AFromPath, const std::string& AToPath,
                                       const std::string& AIfRev) {
    TParamList params{"root=" + FSession->Root(), "from_path=" + AFromPath, "to_path=" + AToPath};
    if (!AIfRev.empty())
        params.push_back("if_rev=" + AIfRev);
    auto reply = WithBackOff(
        [&] { return RequestByGET(SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/move", params)); });
    CheckStatusReply(reply);
    return reply;
}

TKuaipanFile TKuaipanAPI::Copy(const std::string& AFromPath, const std::string& AToPath) {
    return FileReply(WithBackOff([&] {
        return RequestByGET(
            SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/copy",
                      {"root=" + FSession->Root(), "from_path=" + AFromPath, "to_path=" + AToPath}));
    }));
}

TKuaipanHTTPResponse TKuaipanAPI::Delete(const std::string& APath, bool IsTo_Recycle,
                                         const std::string& AIfRev) {
    TParamList params{"root=" + FSession->Root(), "path=" + APath};
    if (!IsTo_Recycle)
        params.push_back("to_recycle=False");
    if (!AIfRev.empty())
        params.push_back("if_rev=" + AIfRev);
    auto reply = WithBackOff([&] {
        return RequestByGET(SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/delete", params));
    });
    CheckStatusReply(reply);
    return reply;
}

TKuaipanHTTPResponse TKuaipanAPI::RequestToStream(TEndpointField endpoint,
                                                  const std::string& ALocation, TParamList AParams,
                                                  const std::string& APath,
                                                  std::ostream& AOutStream,
                                                  const TProgressListener* AListener) const {
    AParams.push_back("root=" + FSession->Root());
    AParams.push_back("path=" + APath);
    // Written to the stream only with status 200, so a pause asked for in
    // between leaves nothing behind.
    return WithBackOff([&] {
        return TKuaipanHTTPUtility::DoDownload(
            FSession->Hosts(), SignedGet(endpoint, false, ALocation, AParams), AOutStream,
            AListener);
    });
}

TKuaipanHTTPResponse TKuaipanAPI::Thumbnail(int AWidth, int AHeight, const std::string& APath,
                                            std::ostream& AOutStream,
                                            const TProgressListener* AListener) {
    return RequestToStream(&TKuaipanHosts::Conversion, "/1/fileops/thumbnail",
                           {"width=" + std::to_string(AWidth), "height=" + std::to_string(AHeight)},
                           APath, AOutStream, AListener);
}

TKuaipanHTTPResponse TKuaipanAPI::Thumbnail(const std::string& APath, std::ostream& AOutStream,
                                            const TProgressListener* AListener) {
    return Thumbnail(128, 128, APath, AOutStream, AListener);
}

TKuaipanHTTPResponse TKuaipanAPI::DocumentView(TConvType AType, TConvView AView,
                                               const std::string& APath, bool IsZip,
                                               std::ostream& AOutStream,
                                               const TProgressListener* AListener) {
    TParamList params{"type=" + ConvTypeToString(AType), "view=" + ConvViewToString(AView)};
    if (IsZip)
        params.push_back("zip=1");
    return RequestToStream(&TKuaipanHosts::Conversion, "/1/fileops/documentView", params, APath,
                           AOutStream, AListener);
}

TKuaipanHTTPResponse TKuaipanAPI::DownloadFile(const std::string& APath, std::ostream& AOutStream,
                                               const TProgressListener* AListener) {
    return RequestToStream(&TKuaipanHosts::Content, "/1/fileops/download_file", {}, APath,
                           AOutStream, AListener);
}

TKuaipanFile TKuaipanAPI::Upload(const std::string& APath, bool IsOverWrite,
                                 const std::string& AIfRev,
                                 const std::function<TKuaipanHTTPResponse(const TKuaipanURL&)>& send) {
    const TKuaipanHosts& hosts = FSession->Hosts();
    const std::string uploadHost = FUploadHosts->GetUploadHost(hosts);
    const auto token = FSession->Token();
    TParamList params{"root=" + FSession->Root(), "path=" + APath,
                      std::string("overwrite=") + BoolText(IsOverWrite)};
    if (!AIfRev.empty())
        params.push_back("if_rev=" + AIfRev);
    const auto reply = WithBackOff([&] {
        return send(TOauthUtility::BuildPostURL(uploadHost, "/1/fileops/upload_file", params,
                                                FSession->Consumer(), token.get(),
                                                hosts.UseSecure(false)));
    });
    TKuaipanFile file = FileReply(reply);
    file.conflict = reply.Code == 409;
    return file;
}

TKuaipanFile TKuaipanAPI::UploadFile(const std::string& APath, const std::string& AFileName,
                                     bool IsOverWrite, const TProgressListener* AListener,
                                     const std::string& AIfRev) {
    return Upload(APath, IsOverWrite, AIfRev, [&](const TKuaipanURL& url) {
        return TKuaipanHTTPUtility::DoUpload(FSession->Hosts(), url, AFileName, AListener);
    });
}

TKuaipanFile TKuaipanAPI::UploadData(const std::string& APath, const std::string& AData,
                                     bool IsOverWrite, const std::string& AIfRev) {
    const std::string name = APath.substr(APath.find_last_of('/') + 1);
    return Upload(APath, IsOverWrite, AIfRev, [&](const TKuaipanURL& url) {
        return TKuaipanHTTPUtility::DoUploadData(FSession->Hosts(), url, name, AData);
    });
}

} // namespace ot
