#pragma once
// Sends signed addresses to the cloud service and wraps each reply.
//
// Three kinds of request: a GET whose body is text (every JSON call), a GET
// whose body goes into the caller's stream (downloads), and a multipart POST
// of a local file (uploads). The transport never interprets replies: network,
// TLS and HTTP failures show in the response's Code (-1 when no complete
// reply arrived) and Content, not as exceptions. A thread keeps its plain
// HTTP connection to each host open across its requests (see HttpClient.h).

#include "cloud/KuaipanHosts.h"
#include "cloud/KuaipanURL.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ot {

class THttpClient;

class TKuaipanHTTPResponse {
public:
    // 578 until a request has set it; -1 when no complete reply arrived.
    std::int32_t Code = 578;
    // The body as text (UTF-8); empty for a download that succeeded.
    std::string Content;
    // The address requested; set by uploads and downloads.
    std::optional<TKuaipanURL> Url;
    // A 503's "Retry-After" in seconds: the server asks for a pause before
    // the next request (0: it did not).
    std::int32_t RetryAfter = 0;

    // "code=<Code>\n" then "body=<Content>\n" when there is a body.
    std::string ToString() const;
};

enum class TWorkMode { wmRead, wmWrite };

// Progress of one transfer; each callback may be empty. ASender is an opaque
// identity of the transfer.
struct TProgressListener {
    std::function<void(const void* ASender, TWorkMode AWorkMode, std::int64_t AWorkCountMax)>
        Started;
    std::function<void(const void* ASender, TWorkMode AWorkMode, std::int64_t AWorkCount)>
        Processing;
    std::function<void(const void* ASender, TWorkMode AWorkMode)> Completed;
};

// Time-outs of every request. A request fails when the connection is not
// made within ConnectMs, or when fewer than LowSpeedBytes bytes per second
// flow for LowSpeedSeconds (also while waiting for the reply).
struct TTransportTimeouts {
    long ConnectMs = 20000;
    long LowSpeedBytes = 1;
    long LowSpeedSeconds = 60;
    // A download longer than this is cut off and fails: task files are small,
    // and a server must not fill the disk.
    long long MaxDownloadBytes = 16LL * 1024 * 1024;
    // Keep each thread's plain HTTP connections open for its next requests;
    // off, every request makes a new connection (for comparison).
    bool ReuseConnections = true;
};

// Every request is made under the hosts of the session it belongs to: they
// name the CA file that TLS replies are verified against.
class TKuaipanHTTPUtility {
public:
    // A new client for one request or one short exchange (see HttpClient.h),
    // with AListener (may be null) bound to its transfer events.
    static std::unique_ptr<THttpClient> GetIdHTTP(const TKuaipanHosts& AHosts,
                                                  const TProgressListener* AListener = nullptr);

    // GET of AUrl.Url(); Code and Content of the reply, whatever its status.
    static TKuaipanHTTPResponse RequestByGET(const TKuaipanHosts& AHosts, const TKuaipanURL& AUrl);

    // GET of ABaseUrl.Url(), following redirects. With status 200 the body is
    // written to ADataStream (at its position) and Content stays empty; any
    // other status, or a transfer that did not complete, leaves the stream
    // untouched and puts the body (if any) into Content.
    static TKuaipanHTTPResponse DoDownload(const TKuaipanHosts& AHosts, const TKuaipanURL& ABaseUrl,
                                           std::ostream& ADataStream,
                                           const TProgressListener* AListener = nullptr);

    // POST of the local file AFileName, as the one multipart part "file", to
    // ABaseUrl.QueryByGetUrl(). Raises std::filesystem::filesystem_error,
    // before anything is sent, when the file cannot be read.
    static TKuaipanHTTPResponse DoUpload(const TKuaipanHosts& AHosts, const TKuaipanURL& ABaseUrl,
                                         const std::string& AFileName,
                                         const TProgressListener* AListener = nullptr);
    // The same with the file's bytes already read, sent under the part file
    // name AName.
    static TKuaipanHTTPResponse DoUploadData(const TKuaipanHosts& AHosts,
                                             const TKuaipanURL& ABaseUrl, const std::string& AName,
                                             const std::string& AData);

    // Process-wide: how long the program waits for any server is a property
    // of the machine's network, not of one installation.
    static TTransportTimeouts Timeouts();
    static void SetTimeouts(const TTransportTimeouts& timeouts);

    // Finds and caches the host uploads go to, by asking the content host's
    // "/1/fileops/upload_locate". The cached host is used for ten hours
    // after the last successful locate. Each API client keeps its own cache,
    // so clients of two servers never share an upload host; asked under other
    // hosts than the cached host was located through, it locates anew.
    class UploadHostFactory {
    public:
        // "host[:port]" of the upload host. Raises TKuaipanIOException when
        // the locate reply is empty or names no "url" (the cache is then left
        // as it was), and what the JSON flattening raises for a reply that is
        // not a JSON object.
        std::string GetUploadHost(const TKuaipanHosts& AHosts);
        // Forgets the cached host.
        void Reset();

    private:
        std::mutex FMutex;
        std::string FHost;
        std::string FLocateUrl; // the address FHost was located through
        double FLocatedMs = 0;
    };
};

} // namespace ot
