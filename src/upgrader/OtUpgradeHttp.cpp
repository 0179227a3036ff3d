#include "upgrader/OtUpgradeHttp.h"

#include "common/FileUtil.h"
#include "common/Text.h"

#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

namespace ot {

namespace fs = std::filesystem;

namespace {

using CurlPtr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

CurlPtr NewCurl(const std::string& url, const THttpTimeouts& t) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CurlPtr curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl)
        return curl;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "otUpgrade");
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, t.ConnectSeconds);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, t.StallSeconds);
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    return curl;
}

struct TFileSink {
    FILE* File = nullptr;
    bool Failed = false;
    std::int64_t Written = 0;
    std::int64_t MaxBytes = 0;
};

std::size_t WriteToFile(char* data, std::size_t size, std::size_t n, void* user) {
    auto* sink = static_cast<TFileSink*>(user);
    sink->Written += static_cast<std::int64_t>(size * n);
    if ((sink->MaxBytes > 0 && sink->Written > sink->MaxBytes) ||
        std::fwrite(data, size, n, sink->File) != n) {
        sink->Failed = true;
        return 0;
    }
    return size * n;
}

std::size_t WriteToString(char* data, std::size_t size, std::size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
}

struct TProgress {
    const TDownloadEvents* Events;
    bool Begun = false;
};

int OnProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* p = static_cast<TProgress*>(user);
    if (p->Events->Idle)
        p->Events->Idle();
    if (!p->Begun && (total > 0 || now > 0)) {
        p->Begun = true;
        if (p->Events->WorkBegin)
            p->Events->WorkBegin(total);
    }
    if (p->Begun && p->Events->Work && !p->Events->Work(now))
        return 1;
    return 0;
}

} // namespace

bool HttpDownloadFile(const std::string& AUrl, const std::string& AFileName,
                      const TDownloadEvents& AEvents, const THttpTimeouts& ATimeouts) {
    CurlPtr curl = NewCurl(AUrl, ATimeouts);
    if (!curl)
        return false;
    const fs::path tmp = TempNameBeside(AFileName);
    TFileSink sink;
    sink.MaxBytes = ATimeouts.MaxBytes;
    sink.File = std::fopen(tmp.c_str(), "wbx");
    if (!sink.File)
        return false;
    TProgress progress{&AEvents};
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &WriteToFile);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &progress);
    const CURLcode rc = curl_easy_perform(curl.get());
    if (progress.Begun && AEvents.WorkEnd)
        AEvents.WorkEnd();
    bool ok = rc == CURLE_OK && !sink.Failed;
    ok = std::fflush(sink.File) == 0 && ok;
    ok = FsyncFile(tmp) && ok;
    ok = std::fclose(sink.File) == 0 && ok;
    std::error_code ec;
    if (ok)
        fs::rename(tmp, AFileName, ec);
    if (!ok || ec) {
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

std::string FormUrlEncode(std::string_view AValue) {
    std::string out;
    for (unsigned char c : AValue) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '*')
            out += static_cast<char>(c);
        else if (c == ' ')
            out += '+';
        else
            out += Format("%%%02X", c);
    }
    return out;
}

bool HttpPostForm(const std::string& AUrl,
                  const std::vector<std::pair<std::string, std::string>>& AFields,
                  std::string& ABody, const THttpTimeouts& ATimeouts) {
    CurlPtr curl = NewCurl(AUrl, ATimeouts);
    if (!curl)
        return false;
    std::string form;
    for (const auto& [name, value] : AFields) {
        if (!form.empty())
            form += '&';
        form += FormUrlEncode(name) + "=" + FormUrlEncode(value);
    }
    ABody.clear();
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &WriteToString);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &ABody);
    return curl_easy_perform(curl.get()) == CURLE_OK;
}

} // namespace ot
