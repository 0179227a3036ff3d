#include "cloud/KuaipanHTTPUtility.h"

#include "cloud/HttpClient.h"
#include "cloud/JSONUtility.h"
#include "cloud/KuaipanException.h"
#include "common/Clock.h"
#include "common/Text.h"

#include <curl/curl.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <stdlib.h>
#include <system_error>
#include <unistd.h>

namespace ot {

namespace fs = std::filesystem;

namespace {

std::mutex gTimeoutsMutex;
TTransportTimeouts gTimeouts;

constexpr double LocateLifetimeMs = 36000000.0; // ten hours

} // namespace

std::string TKuaipanHTTPResponse::ToString() const {
    std::string out = "code=" + std::to_string(Code) + "\n";
    if (!Content.empty())
        out += "body=" + Content + "\n";
    return out;
}

TTransportTimeouts TKuaipanHTTPUtility::Timeouts() {
    std::lock_guard lock(gTimeoutsMutex);
    return gTimeouts;
}

void TKuaipanHTTPUtility::SetTimeouts(const TTransportTimeouts& timeouts) {
    std::lock_guard lock(gTimeoutsMutex);
    gTimeouts = timeouts;
}

std::unique_ptr<THttpClient> TKuaipanHTTPUtility::GetIdHTTP(const TKuaipanHosts& AHosts,
                                                            const TProgressListener* AListener) {
    return std::make_unique<THttpClient>(AHosts, AListener);
}

namespace {

// The status of a reply, with the pause a 503 asks for: "Retry-After" in
// seconds, or as a date; a 503 that names no usable pause gets one second.
TKuaipanHTTPResponse StatusOf(const THttpResult& r) {
    TKuaipanHTTPResponse response;
    response.Code = static_cast<std::int32_t>(r.Status);
    if (r.Status != 503)
        return response;
    for (const auto& line : r.HeaderLines) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || ToLowerAscii(Trim(line.substr(0, colon))) != "retry-after")
            continue;
        const std::string value = Trim(line.substr(colon + 1));
        if (auto seconds = ParseInt32(value); seconds && *seconds >= 0) {
            response.RetryAfter = std::max(1, *seconds);
        } else {
            const std::time_t at = curl_getdate(value.c_str(), nullptr);
            response.RetryAfter =
                at > 0 ? static_cast<std::int32_t>(std::clamp<std::int64_t>(
                             at - std::time(nullptr), 1, 24 * 3600))
                       : 1;
        }
    }
    return response;
}

} // namespace

TKuaipanHTTPResponse TKuaipanHTTPUtility::RequestByGET(const TKuaipanHosts& AHosts,
                                                       const TKuaipanURL& AUrl) {
    THttpResult r = GetIdHTTP(AHosts)->Get(AUrl.Url());
    TKuaipanHTTPResponse response = StatusOf(r);
    if (r.Ok)
        response.Content = std::move(r.Body);
    return response;
}

TKuaipanHTTPResponse TKuaipanHTTPUtility::DoDownload(const TKuaipanHosts& AHosts,
                                                     const TKuaipanURL& ABaseUrl,
                                                     std::ostream& ADataStream,
                                                     const TProgressListener* AListener) {
    auto client = GetIdHTTP(AHosts, AListener);
    client->SetFollowRedirects(true);
    client->SetMaxBodySize(Timeouts().MaxDownloadBytes);
    THttpResult r = client->Get(ABaseUrl.Url());
    TKuaipanHTTPResponse response = StatusOf(r);
    if (r.Ok) {
        response.Url = ABaseUrl;
        if (r.Status == 200)
            ADataStream.write(r.Body.data(), static_cast<std::streamsize>(r.Body.size()));
        else
            response.Content = std::move(r.Body);
    }
    return response;
}

TKuaipanHTTPResponse TKuaipanHTTPUtility::DoUpload(const TKuaipanHosts& AHosts,
                                                   const TKuaipanURL& ABaseUrl,
                                                   const std::string& AFileName,
                                                   const TProgressListener* AListener) {
    // Sent straight from the file: no copy of a task is ever left where other
    // users could read it.
    if (!fs::is_regular_file(AFileName))
        throw fs::filesystem_error("cannot read the file to upload", fs::path(AFileName),
                                   std::make_error_code(std::errc::no_such_file_or_directory));

    THttpResult r = GetIdHTTP(AHosts, AListener)
                        ->PostMultipart(ABaseUrl.QueryByGetUrl(),
                                        {THttpPart{"file", "", AFileName,
                                                   "application/octet-stream", ""}});
    TKuaipanHTTPResponse response = StatusOf(r);
    if (r.Ok) {
        response.Url = ABaseUrl;
        response.Content = std::move(r.Body);
    }
    return response;
}

TKuaipanHTTPResponse TKuaipanHTTPUtility::DoUploadData(const TKuaipanHosts& AHosts,
                                                       const TKuaipanURL& ABaseUrl,
                                                       const std::string& AName,
                                                       const std::string& AData) {
    THttpResult r = GetIdHTTP(AHosts)->PostMultipart(
        ABaseUrl.QueryByGetUrl(),
        {THttpPart{"file", AData, "", "application/octet-stream",
                   AName.empty() ? std::string("file") : AName}});
    TKuaipanHTTPResponse response = StatusOf(r);
    if (r.Ok) {
        response.Url = ABaseUrl;
        response.Content = std::move(r.Body);
    }
    return response;
}

std::string TKuaipanHTTPUtility::UploadHostFactory::GetUploadHost(const TKuaipanHosts& AHosts) {
    std::lock_guard lock(FMutex);
    const TKuaipanURL locate(std::string(AHosts.Scheme(false)) + "://" +
                             AHosts.HostOf(AHosts.Content, false) + "/1/fileops/upload_locate");
    const double nowMs = Now() * MSecsPerDay;
    if (!FHost.empty() && FLocateUrl == locate.Url() && nowMs >= FLocatedMs &&
        nowMs - FLocatedMs <= LocateLifetimeMs)
        return FHost;

    const TKuaipanHTTPResponse reply = RequestByGET(AHosts, locate);
    if (reply.Content.empty())
        throw TKuaipanIOException(reply.ToString());
    std::string url = GetValueByName(TJSONUtility::Parse(reply.Content), "url");
    if (url.empty())
        throw TKuaipanIOException(reply.ToString());
    if (StartsWith(url, "http://"))
        url.erase(0, 7);
    else if (StartsWith(url, "https://"))
        url.erase(0, 8);
    if (EndsWith(url, "/"))
        url.pop_back();

    FHost = url;
    FLocateUrl = locate.Url();
    FLocatedMs = Now() * MSecsPerDay;
    return FHost;
}

void TKuaipanHTTPUtility::UploadHostFactory::Reset() {
    std::lock_guard lock(FMutex);
    FHost.clear();
    FLocateUrl.clear();
    FLocatedMs = 0;
}

} // namespace ot
