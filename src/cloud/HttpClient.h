#pragma once
// The HTTP client of the cloud client (libcurl), one per request or short
// exchange. Its curl handle comes from the thread's idle handles and goes
// back there, so the connections (plain and TLS) a thread opened are kept
// across requests unless TTransportTimeouts::ReuseConnections is off. Set up
// the same way everywhere: http and https only (redirects
// included), TLS peer and host verified against the system's CA store or the
// configured CA file, connect and low-speed time-outs so a stalled server
// never blocks a thread for good, no signals (safe on any thread).

#include "cloud/KuaipanHTTPUtility.h"

#include <memory>
#include <string>
#include <vector>

typedef void CURL;

namespace ot {

struct THttpResult {
    bool Ok = false;        // a complete reply arrived
    long Status = -1;       // its status (-1 without a complete reply)
    std::string StatusLine; // e.g. "HTTP/1.1 404 Not Found"
    std::string Body;
    std::vector<std::string> HeaderLines; // of the last reply, without line ends
    std::string Error;                    // transport error text when !Ok
};

struct THttpPart {
    std::string Name;
    std::string Data;     // the value of a plain field
    std::string FilePath; // when set, the part is this file
    std::string ContentType;
    std::string FileName; // the part's file name, for data sent as a file
};

class THttpClient {
public:
    // TLS replies are verified against the CA file of hosts (else the
    // system's store).
    explicit THttpClient(const TKuaipanHosts& hosts, const TProgressListener* listener = nullptr);
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    // Redirects are followed within the scheme's safety: from https only to
    // https.
    void SetFollowRedirects(bool follow);
    // A reply body longer than this fails the request (0: no limit).
    void SetMaxBodySize(long long bytes) { FMaxBody = bytes; }
    // Keeps cookies set by replies and sends them back on later requests.
    void EnableCookies();
    void SetExtraHeaders(std::vector<std::string> headers);
    void SetReferer(const std::string& referer);
    void SetUserAgent(const std::string& agent);

    // Closes the connections the calling thread keeps open (the end of a
    // synchronization pass: a server is not held by an idle client).
    static void CloseIdleConnections();

    THttpResult Get(const std::string& url);
    THttpResult PostMultipart(const std::string& url, const std::vector<THttpPart>& parts);

private:
    THttpResult Perform(const std::string& url, TWorkMode mode);

    CURL* FCurl;
    const TProgressListener* FListener;
    std::vector<std::string> FHeaders;
    std::string FReferer;
    std::string FUserAgent;
    long long FMaxBody = 0;
    bool FReuse = true;
    bool FCookies = false;
};

} // namespace ot
