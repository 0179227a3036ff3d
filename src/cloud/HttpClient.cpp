#include "cloud/HttpClient.h"

#include <curl/curl.h>

#include <mutex>
#include <vector>

namespace ot {

namespace {

void GlobalInit() {
    // curl_global_init is not thread-safe; run it once, before any handle.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct BodyState {
    std::string* Body;
    long long Max; // 0: no limit
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* state = static_cast<BodyState*>(user);
    const size_t n = size * count;
    // Answering less than was given ends the transfer with an error.
    if (state->Max > 0 && static_cast<long long>(state->Body->size() + n) > state->Max)
        return 0;
    state->Body->append(data, n);
    return n;
}

struct HeaderState {
    std::vector<std::string>* Lines;
    std::string* StatusLine;
};

size_t WriteHeader(char* data, size_t size, size_t count, void* user) {
    auto* state = static_cast<HeaderState*>(user);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        // A new reply (after a redirect or a 100 Continue): keep only the last.
        state->Lines->clear();
        *state->StatusLine = line;
    } else if (!line.empty()) {
        state->Lines->push_back(line);
    }
    return size * count;
}

struct ProgressState {
    const TProgressListener* Listener;
    TWorkMode Mode;
    bool Started = false;
    curl_off_t Last = -1;
    const void* Sender;

    void Start(curl_off_t total) {
        Started = true;
        if (Listener->Started)
            Listener->Started(Sender, Mode, total);
    }
};

int XferInfo(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
             curl_off_t ulnow) {
    auto* s = static_cast<ProgressState*>(user);
    const bool reading = s->Mode == TWorkMode::wmRead;
    const curl_off_t total = reading ? dltotal : ultotal;
    const curl_off_t now = reading ? dlnow : ulnow;
    if (!s->Started && (total > 0 || now > 0))
        s->Start(total);
    if (s->Started && now != s->Last) {
        s->Last = now;
        if (s->Listener->Processing)
            s->Listener->Processing(s->Sender, s->Mode, now);
    }
    return 0;
}

// The idle handles of one thread. A handle keeps its open connections (and
// TLS sessions) when it is reset, so the next request to the same host skips
// the TCP and TLS set-up. Several clients alive at once on one thread each
// take their own handle.
struct TIdleHandles {
    static constexpr std::size_t Max = 4;
    std::vector<CURL*> Handles;
    void Close() {
        for (CURL* h : Handles)
            curl_easy_cleanup(h);
        Handles.clear();
    }
    ~TIdleHandles() { Close(); }
};

thread_local TIdleHandles tIdle;

CURL* AcquireHandle(bool reuse) {
    if (reuse && !tIdle.Handles.empty()) {
        CURL* h = tIdle.Handles.back();
        tIdle.Handles.pop_back();
        // Every option goes back to its default; the connections stay.
        curl_easy_reset(h);
        return h;
    }
    return curl_easy_init();
}

void ReleaseHandle(CURL* h, bool reuse, bool hadCookies) {
    // Cookies would survive a reset, and the next client must not send what
    // a login exchange collected: such a handle is closed.
    if (reuse && !hadCookies && tIdle.Handles.size() < TIdleHandles::Max) {
        tIdle.Handles.push_back(h);
        return;
    }
    curl_easy_cleanup(h);
}

} // namespace

THttpClient::THttpClient(const TKuaipanHosts& hosts, const TProgressListener* listener)
    : FListener(listener) {
    GlobalInit();
    const TTransportTimeouts t = TKuaipanHTTPUtility::Timeouts();
    FReuse = t.ReuseConnections;
    FCurl = AcquireHandle(FReuse);
    if (!FCurl)
        throw std::bad_alloc();

    curl_easy_setopt(FCurl, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(FCurl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(FCurl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(FCurl, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(FCurl, CURLOPT_REDIR_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(FCurl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(FCurl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!hosts.CAFile.empty())
        curl_easy_setopt(FCurl, CURLOPT_CAINFO, hosts.CAFile.c_str());
    curl_easy_setopt(FCurl, CURLOPT_CONNECTTIMEOUT_MS, t.ConnectMs);
    curl_easy_setopt(FCurl, CURLOPT_LOW_SPEED_LIMIT, t.LowSpeedBytes);
    curl_easy_setopt(FCurl, CURLOPT_LOW_SPEED_TIME, t.LowSpeedSeconds);
    curl_easy_setopt(FCurl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(FCurl, CURLOPT_MAXREDIRS, 10L);
}

void THttpClient::CloseIdleConnections() {
    tIdle.Close();
}

THttpClient::~THttpClient() {
    ReleaseHandle(FCurl, FReuse, FCookies);
}

void THttpClient::SetFollowRedirects(bool follow) {
    curl_easy_setopt(FCurl, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
}

void THttpClient::EnableCookies() {
    FCookies = true;
    curl_easy_setopt(FCurl, CURLOPT_COOKIEFILE, "");
}

void THttpClient::SetExtraHeaders(std::vector<std::string> headers) {
    FHeaders = std::move(headers);
}

void THttpClient::SetReferer(const std::string& referer) {
    FReferer = referer;
}

void THttpClient::SetUserAgent(const std::string& agent) {
    FUserAgent = agent;
}

THttpResult THttpClient::Get(const std::string& url) {
    curl_easy_setopt(FCurl, CURLOPT_HTTPGET, 1L);
    return Perform(url, TWorkMode::wmRead);
}

THttpResult THttpClient::PostMultipart(const std::string& url,
                                       const std::vector<THttpPart>& parts) {
    std::unique_ptr<curl_mime, decltype(&curl_mime_free)> mime(curl_mime_init(FCurl),
                                                               &curl_mime_free);
    for (const auto& p : parts) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        curl_mime_name(part, p.Name.c_str());
        if (!p.FilePath.empty()) {
            if (curl_mime_filedata(part, p.FilePath.c_str()) != CURLE_OK) {
                THttpResult r;
                r.Error = "cannot read " + p.FilePath;
                return r;
            }
        } else {
            curl_mime_data(part, p.Data.data(), p.Data.size());
        }
        if (!p.FileName.empty())
            curl_mime_filename(part, p.FileName.c_str());
        if (!p.ContentType.empty())
            curl_mime_type(part, p.ContentType.c_str());
    }
    curl_easy_setopt(FCurl, CURLOPT_MIMEPOST, mime.get());
    THttpResult r = Perform(url, TWorkMode::wmWrite);
    curl_easy_setopt(FCurl, CURLOPT_MIMEPOST, nullptr);
    return r;
}

THttpResult THttpClient::Perform(const std::string& url, TWorkMode mode) {
    THttpResult r;
    HeaderState headerState{&r.HeaderLines, &r.StatusLine};
    char errbuf[CURL_ERROR_SIZE] = {};

    std::vector<std::string> headers = FHeaders;
    // No "Expect: 100-continue" round trip before a body.
    headers.push_back("Expect:");
    curl_slist* list = nullptr;
    for (const auto& h : headers)
        list = curl_slist_append(list, h.c_str());
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(list,
                                                                           &curl_slist_free_all);

    curl_easy_setopt(FCurl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(FCurl, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(FCurl, CURLOPT_REFERER, FReferer.empty() ? nullptr : FReferer.c_str());
    curl_easy_setopt(FCurl, CURLOPT_USERAGENT, FUserAgent.empty() ? nullptr : FUserAgent.c_str());
    curl_easy_setopt(FCurl, CURLOPT_WRITEFUNCTION, &WriteBody);
    BodyState bodyState{&r.Body, FMaxBody};
    curl_easy_setopt(FCurl, CURLOPT_WRITEDATA, &bodyState);
    // A redirect never leaves TLS once a request started on it.
    const bool secure = url.rfind("https://", 0) == 0;
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(FCurl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
#else
    curl_easy_setopt(FCurl, CURLOPT_REDIR_PROTOCOLS,
                     secure ? long(CURLPROTO_HTTPS) : long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(FCurl, CURLOPT_HEADERFUNCTION, &WriteHeader);
    curl_easy_setopt(FCurl, CURLOPT_HEADERDATA, &headerState);
    curl_easy_setopt(FCurl, CURLOPT_ERRORBUFFER, errbuf);

    ProgressState progress{FListener, mode, false, -1, FCurl};
    if (FListener) {
        curl_easy_setopt(FCurl, CURLOPT_XFERINFOFUNCTION, &XferInfo);
        curl_easy_setopt(FCurl, CURLOPT_XFERINFODATA, &progress);
        curl_easy_setopt(FCurl, CURLOPT_NOPROGRESS, 0L);
    } else {
        curl_easy_setopt(FCurl, CURLOPT_NOPROGRESS, 1L);
    }

    const CURLcode rc = curl_easy_perform(FCurl);

    if (FListener) {
        if (!progress.Started)
            progress.Start(0);
        if (FListener->Completed)
            FListener->Completed(FCurl, mode);
    }
    curl_easy_setopt(FCurl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(FCurl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(FCurl, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(FCurl, CURLOPT_WRITEDATA, nullptr);

    if (rc == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(FCurl, CURLINFO_RESPONSE_CODE, &status);
        r.Ok = true;
        r.Status = status;
    } else {
        // A reply cut short counts as no reply: its status must not pass for
        // success with a partial body.
        r.Ok = false;
        r.Status = -1;
        r.Error = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
    }
    return r;
}

} // namespace ot
