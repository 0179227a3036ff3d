#pragma once
// A small event-driven HTTP/1.1 server (Boost.Beast on Boost.Asio) shared by the
// project's servers. A few I/O threads hold every open connection; an idle or slow
// connection costs a socket and a few kilobytes, never a thread. Requests are answered
// by a handler on a separate pool of worker threads, so a slow handler (a password
// hash, a disk write) never stalls the reading and writing of other connections;
// requests the handler calls quick are answered on the reading thread.
//
// Every limit is applied before the handler does any work: the head must arrive
// whole within a deadline, its size and number of fields are bounded, the handler may
// refuse a request from its head alone (before its body is read), and a declared body
// longer than the handler allows is refused at once.

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ot::server {

struct HttpLimits {
    // Seconds to receive a request's whole head, from its first byte (or from the
    // connection's start, including the TLS handshake).
    int HeadTimeout = 10;
    // Seconds a kept-alive connection may wait for the next request.
    int IdleTimeout = 5;
    // Seconds to receive a request's body, and to send a reply.
    int BodyTimeout = 120;
    std::size_t MaxHeaderBytes = 16 * 1024;
    std::size_t MaxHeaderCount = 64;
    std::size_t MaxTargetBytes = 8 * 1024;
    // The body allowed unless the handler's Admit raises it for one request.
    std::uint64_t DefaultMaxBody = 64 * 1024;
    // Open connections per server (every listener together). Near it, the kept-alive
    // connection idle the longest is closed to make room; beyond it a 503.
    std::size_t MaxConnections = 1024;
    // Open connections from one address (an IPv6 /64 counts as one); beyond it a 503,
    // and far beyond it the connection is closed unanswered.
    std::size_t MaxPerAddress = 32;
    int IoThreads = 0; // 0: half the processor's cores, at least one
    int WorkerThreads = 8;
};

// A request body handed over as it arrives instead of gathered in HttpRequest::Body,
// so a large one never sits in memory. Called on the connection's I/O thread.
class HttpBodySink {
public:
    virtual ~HttpBodySink() = default;
    // False stops reading: the connection closes after the handler has answered.
    virtual bool Write(std::string_view bytes) = 0;
};

struct HttpRequest {
    std::string Method;
    std::string Target; // as sent: path and query, still encoded
    unsigned Version = 11;
    bool Tls = false;
    // The client's address as text, and the part of it one client controls (an IPv4
    // address, or an IPv6 /64), for limits kept per client.
    std::string Peer;
    std::string PeerGroup;
    std::vector<std::pair<std::string, std::string>> Fields;
    std::string Body;
    // The longest body the handler accepts; Admit may change it.
    std::uint64_t MaxBody = 0;
    // Whatever the handler's Admit wants to hand to Handle.
    std::any State;
    // Set by Admit to receive the body as it arrives (Body then stays empty).
    std::shared_ptr<HttpBodySink> Sink;
    // For the request's log line, when the handler knows them: what was asked for, and
    // the user whose signature it carried.
    std::string Operation;
    std::string User;

    std::string_view Path() const;
    std::string_view Query() const; // the text after "?", empty when none
    // The first field of that name (case-insensitive), empty when absent.
    std::string_view Field(std::string_view name) const;
    std::vector<std::string_view> FieldValues(std::string_view name) const;
    bool HasField(std::string_view name) const;
};

// A file answered by its open descriptor: the bytes are sent as they are read, and a
// file replaced or removed meanwhile is still read whole.
struct HttpFileBody {
    int Fd = -1;
    std::uint64_t Size = 0;
    explicit HttpFileBody(int fd, std::uint64_t size) : Fd(fd), Size(size) {}
    ~HttpFileBody();
    HttpFileBody(const HttpFileBody&) = delete;
    HttpFileBody& operator=(const HttpFileBody&) = delete;
};

struct HttpResponse {
    int Status = 200;
    std::string ContentType;
    std::string Body;
    // A body shared with other replies (a kept reply); used instead of Body when set.
    std::shared_ptr<const std::string> SharedBody;
    std::vector<std::pair<std::string, std::string>> Fields;
    // When set, the reply's body is this file (and a single byte range of it may be
    // asked for); Body is then unused.
    std::shared_ptr<HttpFileBody> File;
    // Test fault: announce the whole length, send half of the body, drop the connection.
    bool SendHalfThenClose = false;

    void SetContent(std::string body, std::string type) {
        Body = std::move(body);
        SharedBody.reset();
        ContentType = std::move(type);
    }
    void SetField(std::string name, std::string value) {
        Fields.emplace_back(std::move(name), std::move(value));
    }
};

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // Called with the head alone, before any body is read. Answer res and return false
    // to refuse the request (the connection is closed when a body was announced);
    // return true to go on, possibly after raising or lowering req.MaxBody.
    virtual bool Admit(HttpRequest& req, HttpResponse& res) {
        (void)req;
        (void)res;
        return true;
    }
    virtual void Handle(HttpRequest& req, HttpResponse& res) = 0;
    // Whether a request without a body may be answered on the thread that read it,
    // saving two thread switches: only when nothing in answering it can wait long (no
    // password hash, no disk write, no deliberate delay).
    virtual bool Quick(const HttpRequest& req) {
        (void)req;
        return false;
    }
    // The reply the server itself gives when a request breaks a limit (status 400,
    // 408, 413, 414, 431 or 503 with a short description).
    virtual void Refuse(int status, std::string_view what, HttpResponse& res);
    // One line per answered request, when wanted.
    virtual void Log(const HttpRequest& req, const HttpResponse& res) {
        (void)req;
        (void)res;
    }
};

class HttpServer {
public:
    HttpServer(HttpHandler& handler, HttpLimits limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // With a TLS context the listener speaks HTTPS. Port 0 picks a free port; answers
    // the bound port, or 0 with a reason.
    int Listen(const std::string& address, int port, std::string& error);
    int ListenTls(const std::string& address, int port, const std::string& certFile,
                  const std::string& keyFile, std::string& error);

    // Serves until Stop() (from any thread).
    void Run();
    void Stop();

    // Open connections now (for tests and the benchmark).
    std::size_t Connections() const;

    struct Impl;

private:
    std::unique_ptr<Impl> FImpl;
};

// The local time as "YYYY-MM-DD HH:MM:SS", the start of every log line.
std::string LogTime();
// What a log line starts with: LogTime() and a blank, or nothing when standard
// error goes to the systemd journal, which stamps every line itself.
std::string LogPrefix();
// Text from a client as it may appear in a log line: printable ASCII without blanks or
// quotes, anything else as "?", at most 64 characters.
std::string LogSafe(std::string_view text);

// A client address given as text (a proxy's header, a configuration value): false when
// it is none; else its usual spelling (as HttpRequest::Peer has it) and the part of it
// one client controls (as HttpRequest::PeerGroup).
bool ParseClientAddress(std::string_view text, std::string& peer, std::string& group);

// Raises the process's limit of open descriptors to the most it may have: every
// connection takes one, and the caps above are meant to be reached before it.
void RaiseDescriptorLimit();

// Parsing of request bodies shared by the servers' forms.
struct FormPart {
    std::string Name;
    std::string FileName;
    std::string Content; // empty in the head MultipartParser announces
};

// The boundary of a multipart/form-data content type; nothing when the type is another,
// or the boundary is missing or not 1 to 70 of the characters RFC 2046 allows (a long
// one would make every search through the body slow).
std::optional<std::string> MultipartBoundary(std::string_view contentType);

// A multipart body parsed as it arrives, in pieces of any size: each part's head, then
// its content in pieces. It holds a part's head (at most 8 KB) and a delimiter's length
// of content, never a whole part.
class MultipartParser {
public:
    struct Events {
        virtual ~Events() = default;
        // A part begins; false stops the parse.
        virtual bool OnPart(const FormPart& head) = 0;
        // Content of the current part; false stops the parse.
        virtual bool OnData(std::string_view bytes) = 0;
    };
    explicit MultipartParser(const std::string& boundary);
    // False once the body is broken or an event refused; nothing is taken after that.
    bool Feed(std::string_view bytes, Events& events);
    // Whether the closing delimiter has arrived.
    bool Complete() const { return FState == State::Epilogue; }

private:
    enum class State { Preamble, Headers, Content, Epilogue, Broken };
    std::string FDelimiter; // CRLF "--" boundary
    std::string FPending;
    State FState = State::Preamble;
};

// Gathers the parts a parser announces, content and all (for small forms).
struct FormCollector : MultipartParser::Events {
    std::vector<FormPart> Parts;
    bool OnPart(const FormPart& head) override;
    bool OnData(std::string_view bytes) override;
};

// The parts of a multipart/form-data body held in memory; empty when the content type is
// not multipart or the body does not parse.
std::vector<FormPart> ParseMultipart(std::string_view contentType, std::string_view body);

} // namespace ot::server
