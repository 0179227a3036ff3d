#include "cloud/KuaipanAPI.h"

#include "cloud/JSONUtility.h"
#include "cloud/KuaipanException.h"
#include "cloud/OauthUtility.h"

#include <cstdlib>
#include <ctime>
#include <stdexcept>

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

void TKuaipanAPI::CheckStatusReply(const TKuaipanHTTPResponse& AResponse) const {
    if (AResponse.Code == 401)
        CheckClock(AResponse, TJSONUtility::Parse(AResponse.Content));
}

TKuaipanHTTPResponse TKuaipanAPI::RequestByGET(const TKuaipanURL& AUrl) const {
    return TKuaipanHTTPUtility::RequestByGET(FSession->Hosts(), AUrl);
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
    auto reply = RequestByGET(SignedGet(&TKuaipanHosts::Api, true, "/1/account_info", {}));
    return TKuaipanUser(CheckResponse(reply));
}

TKuaipanPublicLink TKuaipanAPI::Shares(const std::string& APath, const std::string& AName,
                                       const std::string& AAccess_Code) {
    TParamList params;
    if (!AName.empty())
        params.push_back("name=" + AName);
    if (!AAccess_Code.empty())
        params.push_back("access_code=" + AAccess_Code);
    auto reply =
        RequestByGET(SignedGet(&TKuaipanHosts::Api, false, "/1/shares" + PathPart(APath), params));
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
    auto url = TOauthUtility::BuildGetURL(
        hosts.HostOf(hosts.Api, false), "/1/metadata" + PathPart(APath), params,
        FSession->Consumer(), token.get(), hosts.UseSecure(false));
    return TKuaipanFile(CheckResponse(RequestByGET(url)));
}

TKuaipanFile TKuaipanAPI::CreateFolder(const std::string& APath) {
    auto reply = RequestByGET(SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/create_folder",
                                        {"root=" + FSession->Root(), "path=" + APath}));
    return TKuaipanFile(CheckResponse(reply));
}

TKuaipanHTTPResponse TKuaipanAPI::Move(const std::string& AFromPath, const std::string& AToPath,
                                       const std::string& AIfRev) {
    TParamList params{"root=" + FSession->Root(), "from_path=" + AFromPath, "to_path=" + AToPath};
    if (!AIfRev.empty())
        params.push_back("if_rev=" + AIfRev);
    auto reply = RequestByGET(SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/move", params));
    CheckStatusReply(reply);
    return reply;
}

TKuaipanFile TKuaipanAPI::Copy(const std::string& AFromPath, const std::string& AToPath) {
    auto reply = RequestByGET(
        SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/copy",
                  {"root=" + FSession->Root(), "from_path=" + AFromPath, "to_path=" + AToPath}));
    return TKuaipanFile(CheckResponse(reply));
}

TKuaipanHTTPResponse TKuaipanAPI::Delete(const std::string& APath, bool IsTo_Recycle,
                                         const std::string& AIfRev) {
    TParamList params{"root=" + FSession->Root(), "path=" + APath};
    if (!IsTo_Recycle)
        params.push_back("to_recycle=False");
    if (!AIfRev.empty())
        params.push_back("if_rev=" + AIfRev);
    auto reply = RequestByGET(SignedGet(&TKuaipanHosts::Api, false, "/1/fileops/delete", params));
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
    return TKuaipanHTTPUtility::DoDownload(
        FSession->Hosts(), SignedGet(endpoint, false, ALocation, AParams), AOutStream, AListener);
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

TKuaipanFile TKuaipanAPI::UploadFile(const std::string& APath, const std::string& AFileName,
                                     bool IsOverWrite, const TProgressListener* AListener,
                                     const std::string& AIfRev) {
    const TKuaipanHosts& hosts = FSession->Hosts();
    const std::string uploadHost = FUploadHosts->GetUploadHost(hosts);
    const auto token = FSession->Token();
    TParamList params{"root=" + FSession->Root(), "path=" + APath,
                      std::string("overwrite=") + BoolText(IsOverWrite)};
    if (!AIfRev.empty())
        params.push_back("if_rev=" + AIfRev);
    auto url =
        TOauthUtility::BuildPostURL(uploadHost, "/1/fileops/upload_file", params,
                                    FSession->Consumer(), token.get(), hosts.UseSecure(false));
    const auto reply = TKuaipanHTTPUtility::DoUpload(FSession->Hosts(), url, AFileName, AListener);
    TKuaipanFile file(CheckResponse(reply));
    file.conflict = reply.Code == 409;
    return file;
}

} // namespace ot
