#include "HttpServer.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <list>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace ot::server {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::optional<std::uint64_t> ToNumber(std::string_view s) {
    std::uint64_t v = 0;
    if (s.empty())
        return std::nullopt;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return v;
}

// The one byte range of a "Range" header, as first and last byte. Several ranges, or a
// header this server does not understand, answer the whole file (as the header may be
// ignored); a range that starts past the end is unsatisfiable.
enum class RangeAsk { Whole, One, Unsatisfiable };
RangeAsk ParseRange(std::string_view header, std::uint64_t size, std::uint64_t& first,
                    std::uint64_t& last) {
    header = TrimView(header);
    if (header.substr(0, 6) != "bytes=" || header.find(',') != std::string_view::npos)
        return RangeAsk::Whole;
    std::string_view rangeSet = TrimView(header.substr(6));
    auto dash = rangeSet.find('-');
    if (dash == std::string_view::npos)
        return RangeAsk::Whole;
    std::string_view a = TrimView(rangeSet.substr(0, dash)),
                     b = TrimView(rangeSet.substr(dash + 1));
    if (a.empty()) { // the last N bytes
        auto n = ToNumber(b);
        if (!n)
            return RangeAsk::Whole;
        if (*n == 0 || size == 0)
            return RangeAsk::Unsatisfiable;
        first = size - std::min(*n, size);
        last = size - 1;
        return RangeAsk::One;
    }
    auto from = ToNumber(a);
    auto to = b.empty() ? std::optional<std::uint64_t>(size ? size - 1 : 0) : ToNumber(b);
    if (!from || !to)
        return RangeAsk::Whole;
    if (*from >= size)
        return RangeAsk::Unsatisfiable;
    if (*to < *from)
        return RangeAsk::Whole;
    first = *from;
    last = std::min(*to, size - 1);
    return RangeAsk::One;
}

const char* ReasonOf(int status) {
    auto r = http::obsolete_reason(static_cast<http::status>(status));
    return r.empty() ? "Unknown" : r.data();
}

} // namespace

std::string_view HttpRequest::Path() const {
    std::string_view t = Target;
    return t.substr(0, t.find('?'));
}

std::string_view HttpRequest::Query() const {
    std::string_view t = Target;
    auto q = t.find('?');
    return q == std::string_view::npos ? std::string_view() : t.substr(q + 1);
}

std::string_view HttpRequest::Field(std::string_view name) const {
    for (const auto& [n, v] : Fields)
        if (SameNoCase(n, name))
            return v;
    return {};
}

std::vector<std::string_view> HttpRequest::FieldValues(std::string_view name) const {
    std::vector<std::string_view> out;
    for (const auto& [n, v] : Fields)
        if (SameNoCase(n, name))
            out.push_back(v);
    return out;
}

bool HttpRequest::HasField(std::string_view name) const {
    for (const auto& f : Fields)
        if (SameNoCase(f.first, name))
            return true;
    return false;
}

HttpFileBody::~HttpFileBody() {
    if (Fd >= 0)
        ::close(Fd);
}

void HttpHandler::Refuse(int status, std::string_view what, HttpResponse& res) {
    res.Status = status;
    res.SetContent(std::string(what) + "\n", "text/plain; charset=utf-8");
}

// One io_context per I/O thread, each running on its thread alone: a connection lives on
// one of them from accept to close, so its handlers never need a lock or a strand, and
// the threads never contend for one queue.
namespace {

// A connection that may be closed to make room while it waits, idle, for its next
// request. Touched by its own I/O thread, and under the registry's lock by the
// accepting one.
class Evictable {
public:
    virtual ~Evictable() = default;
    // Posted to the connection's own thread: closes it if it is still idle.
    virtual void Evict() = 0;
    std::list<std::weak_ptr<Evictable>>::iterator IdleAt;
    // Changed under the idle list's lock; read without it to pass the lock by.
    std::atomic<bool> Registered{false};
    std::string Address; // the key its client's address is counted under
};

net::ip::address PlainAddress(const tcp::endpoint& peer) {
    auto a = peer.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
    return a;
}

// The part of a peer's address that one client controls: an IPv4 address, or the /64
// of an IPv6 one.
std::string AddressKey(const net::ip::address& a, const std::string& text) {
    if (a.is_v4())
        return text;
    auto b = a.to_v6().to_bytes();
    std::fill(b.begin() + 8, b.end(), 0);
    return net::ip::make_address_v6(b).to_string() + "/64";
}

} // namespace

struct HttpServer::Impl {
    using Guard = net::executor_work_guard<net::io_context::executor_type>;

    // Open connections of each address.
    std::mutex AddressMutex;
    std::unordered_map<std::string, std::size_t> PerAddress;
    // Connections idle between requests, the longest idle first.
    std::mutex IdleMutex;
    std::list<std::weak_ptr<Evictable>> Idle;

    std::size_t TakeAddress(const std::string& key) {
        std::lock_guard lock(AddressMutex);
        return ++PerAddress[key];
    }
    void GiveBackAddress(const std::string& key) {
        std::lock_guard lock(AddressMutex);
        auto it = PerAddress.find(key);
        if (it != PerAddress.end() && --it->second == 0)
            PerAddress.erase(it);
    }
    void BecomeIdle(const std::shared_ptr<Evictable>& c) {
        std::lock_guard lock(IdleMutex);
        if (c->Registered)
            return;
        c->IdleAt = Idle.insert(Idle.end(), c);
        c->Registered = true;
    }
    void EndIdle(Evictable& c) {
        // A connection taken off the list by an eviction passes the lock by.
        if (!c.Registered.load())
            return;
        std::lock_guard lock(IdleMutex);
        if (c.Registered)
            Idle.erase(c.IdleAt);
        c.Registered = false;
    }
    // Asks the longest idle connection (of that address, when one is given) to close;
    // false when there is none.
    bool EvictOldestIdle(const std::string* address = nullptr) {
        std::shared_ptr<Evictable> victim;
        {
            std::lock_guard lock(IdleMutex);
            for (auto it = Idle.begin(); it != Idle.end() && !victim;) {
                std::shared_ptr<Evictable> c = it->lock();
                if (c && address && c->Address != *address) {
                    ++it;
                    continue;
                }
                if (c) {
                    victim = std::move(c);
                    victim->Registered = false;
                }
                it = Idle.erase(it);
            }
        }
        if (!victim)
            return false;
        victim->Evict();
        return true;
    }

    HttpHandler& Handler;
    HttpLimits Limits;
    std::atomic<std::size_t> Open{0};
    std::vector<std::unique_ptr<net::io_context>> Iocs;
    std::vector<Guard> Guards;
    std::size_t Next = 0; // the io_context of the next connection (accepts run on one)
    std::vector<std::unique_ptr<ssl::context>> TlsContexts;
    std::vector<std::unique_ptr<tcp::acceptor>> Acceptors;
    net::thread_pool Workers;

    static int IoThreadsFor(const HttpLimits& l) {
        if (l.IoThreads > 0)
            return l.IoThreads;
        return std::max(1, static_cast<int>(std::thread::hardware_concurrency() / 2));
    }

    Impl(HttpHandler& h, HttpLimits l)
        : Handler(h), Limits(l), Workers(static_cast<std::size_t>(std::max(1, l.WorkerThreads))) {
        for (int i = 0; i < IoThreadsFor(l); ++i) {
            Iocs.push_back(std::make_unique<net::io_context>(1));
            Guards.push_back(net::make_work_guard(*Iocs.back()));
        }
        Trim = std::make_unique<net::steady_timer>(Main());
    }
    net::io_context& Main() { return *Iocs.front(); }

    // Memory freed after a burst of connections stays with the allocator unless given
    // back; every few seconds it is.
    std::unique_ptr<net::steady_timer> Trim;

    void Accept(tcp::acceptor& acceptor, ssl::context* tls);
    void TrimLater() {
        Trim->expires_after(std::chrono::seconds(5));
        Trim->async_wait([this](beast::error_code ec) {
            if (ec)
                return;
            ::malloc_trim(64 * 1024);
            TrimLater();
        });
    }
};

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kIdleBuffer = 4096;

template <class Stream>
class Session : public Evictable, public std::enable_shared_from_this<Session<Stream>> {
public:
    template <class... Args>
    Session(HttpServer::Impl& server, const char* busy, std::string peer, std::string address,
            tcp::socket&& socket, Args&&... args)
        : S(server), FStream(std::move(socket), std::forward<Args>(args)...),
          FBuffer(server.Limits.MaxHeaderBytes + kChunk), FBusy(busy), FPeer(std::move(peer)) {
        ++S.Open;
        Address = std::move(address);
    }
    ~Session() override {
        S.EndIdle(*this);
        S.GiveBackAddress(Address);
        --S.Open;
    }

    void Evict() override {
        net::post(FStream.get_executor(), [self = this->shared_from_this()] {
            if (self->FIdle)
                self->Close();
        });
    }

    void Start() {
        Lowest().expires_after(std::chrono::seconds(S.Limits.HeadTimeout));
        if constexpr (IsTls) {
            FStream.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec)
                                            return self->Close();
                                        self->AfterConnect();
                                    });
        } else {
            AfterConnect();
        }
    }

private:
    static constexpr bool IsTls = !std::is_same_v<Stream, beast::tcp_stream>;

    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(FStream); }

    void AfterConnect() {
        if (FBusy) {
            FReq.Peer = FPeer;
            FReq.PeerGroup = Address;
            return RefuseAndClose(503, FBusy);
        }
        ReadHead();
    }

    // A kept-alive connection waits for the first byte of its next request under the
    // idle deadline; the head deadline starts with that byte.
    void AwaitNext() {
        if (FBuffer.size() > 0) {
            Lowest().expires_after(std::chrono::seconds(S.Limits.HeadTimeout));
            return ReadHead();
        }
        // An idle connection keeps a small buffer only, whatever its last request took.
        if (FBuffer.capacity() > kIdleBuffer)
            FBuffer.shrink_to_fit();
        Lowest().expires_after(std::chrono::seconds(S.Limits.IdleTimeout));
        FIdle = true;
        S.BecomeIdle(this->shared_from_this());
        FStream.async_read_some(
            FBuffer.prepare(kIdleBuffer),
            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                self->FIdle = false;
                self->S.EndIdle(*self);
                if (ec)
                    return self->Close();
                self->FBuffer.commit(n);
                self->Lowest().expires_after(std::chrono::seconds(self->S.Limits.HeadTimeout));
                self->ReadHead();
            });
    }

    void ReadHead() {
        FReq = {};
        FReq.Peer = FPeer;
        FReq.PeerGroup = Address;
        FRes = {};
        FHead.emplace();
        FHead->header_limit(static_cast<std::uint32_t>(S.Limits.MaxHeaderBytes));
        // The announced length is held to the handler's limit once the head is in.
        FHead->body_limit(std::numeric_limits<std::uint64_t>::max());
        http::async_read_header(FStream, FBuffer, *FHead,
                                [self = this->shared_from_this()](
                                    beast::error_code ec, std::size_t) { self->OnHead(ec); });
    }

    void OnHead(beast::error_code ec) {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            // The parser takes each complete line from the buffer: what is left is the
            // line it stopped in. The request line ("METHOD target ...") without its end
            // had a target too long; a field line ("name: ...") made the head too large.
            auto data = FBuffer.data();
            std::string_view seen(static_cast<const char*>(data.data()), data.size());
            const auto space = seen.find(' '), colon = seen.find(':');
            if (seen.find('\n') == std::string_view::npos && space != std::string_view::npos &&
                space < colon)
                return RefuseAndClose(414, "request target too long");
            return RefuseAndClose(431, "request header too large");
        }
        if (ec) {
            // A broken head is answered; a connection that went away or ran out of
            // time is just closed.
            if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
                ec != http::error::end_of_stream && ec != http::error::partial_message)
                return RefuseAndClose(400, "bad request");
            return Close();
        }
        const auto& head = FHead->get();
        FReq.Method = std::string(head.method_string());
        FReq.Target = std::string(head.target());
        FReq.Version = head.version();
        FReq.Tls = IsTls;
        FReq.MaxBody = S.Limits.DefaultMaxBody;
        for (const auto& f : head) {
            if (FReq.Fields.size() >= S.Limits.MaxHeaderCount)
                return RefuseAndClose(431, "too many header fields");
            FReq.Fields.emplace_back(std::string(f.name_string()), std::string(f.value()));
        }
        if (FReq.Target.size() > S.Limits.MaxTargetBytes)
            return RefuseAndClose(414, "request target too long");
        if (auto refusal = FramingRefusal(head))
            return RefuseAndClose(refusal->first, refusal->second);
        FKeepAlive = head.keep_alive();
        FHasBody = !FHead->is_done();
        FContinue = SameNoCase(TrimView(FReq.Field("Expect")), "100-continue");
        // Answered on this thread, the head deadline cannot strike meanwhile; Write sets
        // the next one.
        if (!FHasBody && S.Handler.Quick(FReq))
            return AdmitOnWorker();
        Lowest().expires_never();
        OnWorker(&Session::AdmitOnWorker);
    }

    // Runs a step on a worker thread. Whatever fails there (an allocation too) ends this
    // connection alone.
    void OnWorker(void (Session::*step)()) {
        net::post(S.Workers, [self = this->shared_from_this(), step] {
            try {
                ((*self).*step)();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "http: a request failed, its connection is closed: %s\n",
                             e.what());
                net::post(self->FStream.get_executor(), [self] { self->Close(); });
            } catch (...) {
                std::fprintf(stderr, "http: a request failed, its connection is closed\n");
                net::post(self->FStream.get_executor(), [self] { self->Close(); });
            }
        });
    }

    // RFC 9112 6.1-6.3: a body whose end two readers could find in two places is refused
    // and the connection closed. The parser refuses a length beside chunked framing and
    // lengths that differ; what it lets through is checked here.
    static std::optional<std::pair<int, const char*>>
    FramingRefusal(const http::request_header<>& head) {
        std::vector<std::string> codings;
        bool any = false;
        for (const auto& f : head) {
            if (f.name() != http::field::transfer_encoding)
                continue;
            any = true;
            const std::string_view v(f.value().data(), f.value().size());
            for (std::size_t at = 0; at <= v.size();) {
                auto comma = std::min(v.find(',', at), v.size());
                std::string_view c = TrimView(v.substr(at, comma - at));
                if (!c.empty())
                    codings.emplace_back(c);
                at = comma + 1;
            }
        }
        if (!any)
            return std::nullopt;
        static constexpr std::pair<int, const char*> kBad{400, "bad transfer encoding"};
        if (head.version() < 11 || codings.empty() || !SameNoCase(codings.back(), "chunked"))
            return kBad;
        for (std::size_t i = 0; i + 1 < codings.size(); ++i)
            if (SameNoCase(codings[i], "chunked"))
                return kBad;
        if (codings.size() > 1)
            return std::pair<int, const char*>{501, "transfer coding not implemented"};
        return std::nullopt;
    }

    void AdmitOnWorker() {
        bool go = false;
        try {
            go = S.Handler.Admit(FReq, FRes);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "http: admitting a request failed: %s\n", e.what());
            FRes = {};
            S.Handler.Refuse(500, "server error", FRes);
            FKeepAlive = false;
        }
        if (!go) {
            // The body of a refused request is never read.
            if (FHasBody)
                FKeepAlive = false;
            return Finish();
        }
        if (!FHasBody)
            return HandleOnWorker();
        auto length = FHead->content_length();
        if (length && *length > FReq.MaxBody) {
            FRes = {};
            S.Handler.Refuse(413, "request body too large", FRes);
            FKeepAlive = false;
            return Finish();
        }
        net::post(FStream.get_executor(), [self = this->shared_from_this()] { self->ReadBody(); });
    }

    void ReadBody() {
        if (FContinue) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            FContinue = false;
            Lowest().expires_after(std::chrono::seconds(S.Limits.BodyTimeout));
            return net::async_write(
                FStream, net::buffer(kContinue),
                [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                    if (ec)
                        return self->Close();
                    self->ReadBody();
                });
        }
        FBody.emplace(std::move(*FHead));
        FHead.reset();
        FBody->body_limit(FReq.MaxBody);
        Lowest().expires_after(std::chrono::seconds(S.Limits.BodyTimeout));
        // The body comes through one fixed piece of memory, whatever length was announced.
        FChunk.resize(kChunk);
        ReadBodyPiece();
    }

    void ReadBodyPiece() {
        auto& body = FBody->get().body();
        body.data = FChunk.data();
        body.size = FChunk.size();
        http::async_read_some(FStream, FBuffer, *FBody,
                              [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                  self->OnBody(ec);
                              });
    }

    void OnBody(beast::error_code ec) {
        if (ec == http::error::need_buffer)
            ec = {};
        if (ec == http::error::body_limit)
            return RefuseAndClose(413, "request body too large");
        if (ec)
            return Close();
        const std::size_t got = FChunk.size() - FBody->get().body().size;
        bool more = !FBody->is_done();
        if (got > 0) {
            std::string_view piece(FChunk.data(), got);
            if (!FReq.Sink)
                FReq.Body.append(piece); // bounded by the body limit
            else if (!FReq.Sink->Write(piece)) {
                // The rest is never read: the connection ends with the answer.
                FKeepAlive = false;
                more = false;
            }
        }
        if (more)
            return ReadBodyPiece();
        FBody.reset();
        FChunk.clear();
        FChunk.shrink_to_fit();
        Lowest().expires_never();
        OnWorker(&Session::HandleOnWorker);
    }

    void HandleOnWorker() {
        try {
            S.Handler.Handle(FReq, FRes);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "http: handling a request failed: %s\n", e.what());
            FRes = {};
            S.Handler.Refuse(500, "server error", FRes);
            FKeepAlive = false;
        }
        Finish();
    }

    // Formats the reply's head (and picks the part of a file to send), then writes it
    // from the connection's own thread.
    void Finish() {
        S.Handler.Log(FReq, FRes);
        FSendFrom = 0;
        FSendLength = 0;
        const bool head = FReq.Method == "HEAD";
        if (FRes.SharedBody && (FRes.SendHalfThenClose || head)) {
            FRes.Body = *FRes.SharedBody;
            FRes.SharedBody.reset();
        }
        std::uint64_t length = FRes.SharedBody ? FRes.SharedBody->size() : FRes.Body.size();
        std::string extra;
        if (FRes.File) {
            length = FRes.File->Size;
            extra += "Accept-Ranges: bytes\r\n";
            std::string_view range = FReq.Field("Range");
            std::uint64_t first = 0, last = 0;
            if (FRes.Status == 200 && !range.empty() && FReq.Method == "GET") {
                switch (ParseRange(range, FRes.File->Size, first, last)) {
                case RangeAsk::Whole:
                    break;
                case RangeAsk::One:
                    FRes.Status = 206;
                    FSendFrom = first;
                    length = last - first + 1;
                    extra += "Content-Range: bytes " + std::to_string(first) + "-" +
                             std::to_string(last) + "/" + std::to_string(FRes.File->Size) + "\r\n";
                    break;
                case RangeAsk::Unsatisfiable: {
                    std::string all = "bytes */" + std::to_string(FRes.File->Size);
                    FRes = {};
                    S.Handler.Refuse(416, "range not satisfiable", FRes);
                    FRes.SetField("Content-Range", all);
                    length = FRes.Body.size();
                    break;
                }
                }
            }
            FSendLength = FRes.File ? length : 0;
        }
        if (FRes.SendHalfThenClose) {
            FKeepAlive = false;
            if (FRes.File)
                FSendLength /= 2;
            else
                FRes.Body.resize(FRes.Body.size() / 2);
        }
        std::string& out = FHeadText;
        out.clear();
        out += "HTTP/1.1 ";
        out += std::to_string(FRes.Status);
        out += ' ';
        out += ReasonOf(FRes.Status);
        out += "\r\n";
        for (const auto& [n, v] : FRes.Fields) {
            out += n;
            out += ": ";
            out += v;
            out += "\r\n";
        }
        out += extra;
        if (!FRes.ContentType.empty()) {
            out += "Content-Type: ";
            out += FRes.ContentType;
            out += "\r\n";
        }
        out += "Content-Length: ";
        out += std::to_string(length);
        out += "\r\n";
        if (!FKeepAlive)
            out += "Connection: close\r\n";
        out += "\r\n";
        if (head) {
            FRes.Body.clear();
            FSendLength = 0;
        }
        net::dispatch(FStream.get_executor(), [self = this->shared_from_this()] { self->Write(); });
    }

    void Write() {
        const std::string& body = FRes.SharedBody ? *FRes.SharedBody : FRes.Body;
        if constexpr (IsTls) {
            // The TLS stream is given one buffer per write: a head and a large body gathered
            // in one write ended after the head, reporting success, and the client waited
            // for the body until the connection timed out. A small body joins its head.
            if (body.size() <= kChunk) {
                FHeadText += body;
                return WriteThen(net::buffer(FHeadText), &Session::SendFile);
            }
            return WriteThen(net::buffer(FHeadText), &Session::WriteBody);
        } else {
            Lowest().expires_after(std::chrono::seconds(S.Limits.BodyTimeout));
            std::array<net::const_buffer, 2> buffers = {net::buffer(FHeadText), net::buffer(body)};
            net::async_write(FStream, buffers,
                             [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                 if (ec)
                                     return self->Close();
                                 self->SendFile();
                             });
        }
    }

    void WriteBody() {
        WriteThen(net::buffer(FRes.SharedBody ? *FRes.SharedBody : FRes.Body), &Session::SendFile);
    }

    void WriteThen(net::const_buffer data, void (Session::*next)()) {
        Lowest().expires_after(std::chrono::seconds(S.Limits.BodyTimeout));
        net::async_write(
            FStream, data,
            [self = this->shared_from_this(), next](beast::error_code ec, std::size_t) {
                if (ec)
                    return self->Close();
                ((*self).*next)();
            });
    }

    // The file's bytes in chunks, so a large download holds one chunk in memory.
    void SendFile() {
        if (FSendLength == 0)
            return AfterReply();
        FChunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(FSendLength, kChunk)));
        ssize_t n =
            ::pread(FRes.File->Fd, FChunk.data(), FChunk.size(), static_cast<off_t>(FSendFrom));
        if (n <= 0)
            return Close(); // the length was announced: the client sees a short reply
        FChunk.resize(static_cast<std::size_t>(n));
        FSendFrom += static_cast<std::uint64_t>(n);
        FSendLength -= static_cast<std::uint64_t>(n);
        WriteThen(net::buffer(FChunk), &Session::SendFile);
    }

    void AfterReply() {
        FRes = {};
        FReq = {};
        FChunk.clear();
        FChunk.shrink_to_fit();
        if (!FKeepAlive)
            return Linger();
        AwaitNext();
    }

    void RefuseAndClose(int status, std::string_view what) {
        FRes = {};
        S.Handler.Refuse(status, what, FRes);
        FKeepAlive = false;
        Finish();
    }

    // Ends a connection that failed, timed out or was closed by the client.
    void Close() {
        beast::error_code ec;
        Lowest().socket().close(ec);
    }

    // Ends the connection after a reply: the client may still be sending (a refused
    // body), so what it sends is read and dropped for a moment (bounded in bytes and
    // time) before the socket closes; closing at once could reset the connection before
    // the client read the reply.
    void Linger() {
        beast::error_code ec;
        if constexpr (IsTls) {
            Lowest().expires_after(std::chrono::seconds(2));
            FStream.async_shutdown(
                [self = this->shared_from_this()](beast::error_code) { self->Close(); });
        } else {
            Lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
            Lowest().expires_after(std::chrono::seconds(2));
            FDrained = 0;
            Drain();
        }
    }

    void Drain() {
        FBuffer.clear();
        FStream.async_read_some(
            FBuffer.prepare(kIdleBuffer),
            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                self->FDrained += n;
                if (ec || self->FDrained > (1u << 20))
                    return self->Close();
                self->Drain();
            });
    }

    HttpServer::Impl& S;
    Stream FStream;
    beast::flat_buffer FBuffer;
    const char* FBusy = nullptr; // why the connection is refused, when it is
    std::string FPeer;
    bool FIdle = false;
    bool FKeepAlive = true;
    bool FHasBody = false;
    bool FContinue = false;
    std::size_t FDrained = 0;
    std::optional<http::request_parser<http::empty_body>> FHead;
    std::optional<http::request_parser<http::buffer_body>> FBody;
    HttpRequest FReq;
    HttpResponse FRes;
    std::string FHeadText;
    std::string FChunk;
    std::uint64_t FSendFrom = 0;
    std::uint64_t FSendLength = 0;
};

} // namespace

void HttpServer::Impl::Accept(tcp::acceptor& acceptor, ssl::context* tls) {
    net::io_context& home = *Iocs[Next++ % Iocs.size()];
    acceptor.async_accept(home, [this, &acceptor, tls, &home](beast::error_code ec,
                                                              tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors, most likely: accepting again at once would spin.
            auto wait = std::make_shared<net::steady_timer>(Main(), std::chrono::milliseconds(50));
            wait->async_wait([this, &acceptor, tls, wait](beast::error_code) {
                if (acceptor.is_open())
                    Accept(acceptor, tls);
            });
            return;
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        // The peer is asked for once: its text names it in the log, its key counts it.
        const net::ip::address peerAddress = PlainAddress(socket.remote_endpoint(ignored));
        std::string peer = peerAddress.to_string();
        const std::string address = AddressKey(peerAddress, peer);
        const std::size_t fromAddress = TakeAddress(address);
        const std::size_t open = Open.load();
        // Past a cap a connection is told so; far past it, it is just closed.
        const char* busy = nullptr;
        // An address at its share makes room with its own longest idle kept-alive
        // connection, as the whole server does at its cap.
        if (fromAddress > Limits.MaxPerAddress && !EvictOldestIdle(&address))
            busy = "too many connections from your address";
        else if (open >= Limits.MaxConnections && !EvictOldestIdle())
            busy = "too many connections";
        if (open >= Limits.MaxConnections + Limits.MaxConnections / 8 + 16 ||
            fromAddress > Limits.MaxPerAddress + Limits.MaxPerAddress / 4 + 4) {
            socket.close(ignored);
            GiveBackAddress(address);
        } else if (tls) {
            // Started on the connection's own thread.
            net::post(home, [s = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
                                 *this, busy, std::move(peer), address, std::move(socket), *tls)] {
                s->Start();
            });
        } else {
            net::post(home, [s = std::make_shared<Session<beast::tcp_stream>>(
                                 *this, busy, std::move(peer), address, std::move(socket))] {
                s->Start();
            });
        }
        Accept(acceptor, tls);
    });
}

HttpServer::HttpServer(HttpHandler& handler, HttpLimits limits)
    : FImpl(std::make_unique<Impl>(handler, limits)) {
    FImpl->TrimLater();
}

HttpServer::~HttpServer() {
    Stop();
}

namespace {

int Bind(net::io_context& ioc, const std::string& address, int port, tcp::acceptor*& out,
         std::vector<std::unique_ptr<tcp::acceptor>>& acceptors, std::string& error) {
    beast::error_code ec;
    auto addr = net::ip::make_address(address, ec);
    if (ec) {
        error = "bad address " + address;
        return 0;
    }
    auto acceptor = std::make_unique<tcp::acceptor>(ioc);
    tcp::endpoint ep(addr, static_cast<unsigned short>(port));
    acceptor->open(ep.protocol(), ec);
    if (!ec)
        acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor->bind(ep, ec);
    if (!ec)
        acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot bind port " + std::to_string(port) + " on " + address + ": " + ec.message();
        return 0;
    }
    int bound = acceptor->local_endpoint().port();
    out = acceptor.get();
    acceptors.push_back(std::move(acceptor));
    return bound;
}

} // namespace

int HttpServer::Listen(const std::string& address, int port, std::string& error) {
    tcp::acceptor* acceptor = nullptr;
    int bound = Bind(FImpl->Main(), address, port, acceptor, FImpl->Acceptors, error);
    if (bound)
        FImpl->Accept(*acceptor, nullptr);
    return bound;
}

int HttpServer::ListenTls(const std::string& address, int port, const std::string& certFile,
                          const std::string& keyFile, std::string& error) {
    auto ctx = std::make_unique<ssl::context>(ssl::context::tls_server);
    beast::error_code ec;
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                     ssl::context::single_dh_use);
    // Forward secrecy only: below TLS 1.3 (whose suites all have it) ephemeral ECDH with
    // an AEAD cipher, so a key stolen later does not open what was recorded before.
    if (SSL_CTX_set_cipher_list(ctx->native_handle(), "ECDHE+AESGCM:ECDHE+CHACHA20") != 1) {
        error = "the TLS library offers no forward-secret cipher suite";
        return 0;
    }
    SSL_CTX_set_options(ctx->native_handle(), SSL_OP_CIPHER_SERVER_PREFERENCE);
    ctx->use_certificate_chain_file(certFile, ec);
    if (!ec)
        ctx->use_private_key_file(keyFile, ssl::context::pem, ec);
    if (ec) {
        error = "cannot load the TLS certificate " + certFile + " or key " + keyFile;
        return 0;
    }
    tcp::acceptor* acceptor = nullptr;
    int bound = Bind(FImpl->Main(), address, port, acceptor, FImpl->Acceptors, error);
    if (bound) {
        FImpl->TlsContexts.push_back(std::move(ctx));
        FImpl->Accept(*acceptor, FImpl->TlsContexts.back().get());
    }
    return bound;
}

namespace {

// A handler that throws (an allocation that failed while reading a connection) unwinds
// out of run(): the connection it served goes with its last reference, and the thread
// takes up the others again.
void RunLoop(net::io_context& ioc) {
    for (;;) {
        try {
            ioc.run();
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "http: a connection failed and was closed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "http: a connection failed and was closed\n");
        }
    }
}

} // namespace

void HttpServer::Run() {
    std::vector<std::thread> extra;
    for (std::size_t i = 1; i < FImpl->Iocs.size(); ++i)
        extra.emplace_back([this, i] { RunLoop(*FImpl->Iocs[i]); });
    RunLoop(FImpl->Main());
    for (auto& t : extra)
        t.join();
}

void HttpServer::Stop() {
    for (auto& ioc : FImpl->Iocs)
        ioc->stop();
}

std::size_t HttpServer::Connections() const {
    return FImpl->Open.load();
}

std::string LogTime() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string LogPrefix() {
    // systemd names the journal stream it connected as "device:inode".
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        struct stat st {};
        if (!stream || ::fstat(STDERR_FILENO, &st) != 0)
            return false;
        return std::string(stream) ==
               std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                   std::to_string(static_cast<unsigned long long>(st.st_ino));
    }();
    return journal ? std::string() : LogTime() + " ";
}

std::string LogSafe(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 64))
        out += c > ' ' && c < 0x7f && c != '"' && c != '\\' ? c : '?';
    return out.empty() ? "-" : out;
}

bool ParseClientAddress(std::string_view text, std::string& peer, std::string& group) {
    beast::error_code ec;
    auto a = net::ip::make_address(std::string(text), ec);
    if (ec)
        return false;
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
    peer = a.to_string();
    group = AddressKey(a, peer);
    return true;
}

void RaiseDescriptorLimit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
}

std::optional<std::string> MultipartBoundary(std::string_view contentType) {
    auto semi = contentType.find(';');
    if (!SameNoCase(TrimView(contentType.substr(0, semi)), "multipart/form-data"))
        return std::nullopt;
    auto b = contentType.find("boundary=");
    if (b == std::string_view::npos)
        return std::nullopt;
    std::string_view boundary = contentType.substr(b + 9);
    if (boundary.size() >= 2 && boundary.front() == '"') {
        auto close = boundary.find('"', 1);
        if (close == std::string_view::npos)
            return std::nullopt;
        boundary = boundary.substr(1, close - 1);
    } else {
        boundary = TrimView(boundary.substr(0, boundary.find(';')));
    }
    if (boundary.empty() || boundary.size() > 70 || boundary.back() == ' ')
        return std::nullopt;
    for (char c : boundary) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') ||
                        std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
        if (!ok)
            return std::nullopt;
    }
    return std::string(boundary);
}

namespace {

// The name and file name of a part's head ("Content-Disposition: form-data; name=...").
FormPart PartHead(std::string_view head) {
    FormPart part;
    std::size_t lineStart = 0;
    while (lineStart <= head.size()) {
        auto lineEnd = head.find("\r\n", lineStart);
        std::string_view line = head.substr(
            lineStart, lineEnd == std::string_view::npos ? head.npos : lineEnd - lineStart);
        auto colon = line.find(':');
        if (colon != std::string_view::npos &&
            SameNoCase(TrimView(line.substr(0, colon)), "Content-Disposition")) {
            std::string_view rest = line.substr(colon + 1);
            auto param = [&](std::string_view key) -> std::string {
                std::string needle = std::string(key) + "=\"";
                for (std::size_t at = rest.find(needle); at != std::string_view::npos;
                     at = rest.find(needle, at + 1)) {
                    if (at > 0 && rest[at - 1] != ' ' && rest[at - 1] != ';')
                        continue;
                    auto start = at + needle.size();
                    auto end = rest.find('"', start);
                    if (end == std::string_view::npos)
                        return {};
                    return std::string(rest.substr(start, end - start));
                }
                return {};
            };
            part.Name = param("name");
            part.FileName = param("filename");
        }
        if (lineEnd == std::string_view::npos)
            break;
        lineStart = lineEnd + 2;
    }
    return part;
}

constexpr std::size_t kMaxPartHead = 8 * 1024;

} // namespace

// The body is read as if it began with a line break, so that the first delimiter looks
// like every other one.
MultipartParser::MultipartParser(const std::string& boundary)
    : FDelimiter("\r\n--" + boundary), FPending("\r\n") {}

bool MultipartParser::Feed(std::string_view bytes, Events& events) {
    if (FState == State::Broken)
        return false;
    if (FState == State::Epilogue)
        return true;
    FPending.append(bytes);
    const std::string_view in = FPending;
    const std::size_t d = FDelimiter.size();
    std::size_t at = 0;
    auto emit = [&](std::size_t end) {
        bool ok = FState != State::Content || end == at || events.OnData(in.substr(at, end - at));
        at = end;
        return ok;
    };
    bool ok = true;
    while (ok && at < in.size()) {
        if (FState == State::Headers) {
            // A part without head fields starts with its blank line at once.
            auto end = in.substr(at, 2) == "\r\n" ? at : in.find("\r\n\r\n", at);
            if (end == std::string_view::npos) {
                if (in.size() - at > kMaxPartHead)
                    ok = false;
                break;
            }
            if (end - at > kMaxPartHead) {
                ok = false;
                break;
            }
            FormPart head = PartHead(in.substr(at, end - at));
            at = end + (end == at ? 2 : 4);
            FState = State::Content;
            ok = events.OnPart(head);
            continue;
        }
        if (FState == State::Epilogue) {
            at = in.size();
            break;
        }
        // Preamble or content: up to the next delimiter that ends a line or the body.
        auto p = in.find(FDelimiter, at);
        if (p == std::string_view::npos) {
            // What may be the start of a delimiter waits for the next piece.
            ok = emit(std::max(at, in.size() > d ? in.size() - d : std::size_t{0}));
            break;
        }
        if (p + d + 2 > in.size()) {
            ok = emit(p);
            break;
        }
        std::string_view after = in.substr(p + d, 2);
        if (after != "\r\n" && after != "--") {
            ok = emit(p + 1);
            continue;
        }
        ok = emit(p);
        at = p + d + 2;
        FState = after == "--" ? State::Epilogue : State::Headers;
    }
    if (!ok) {
        FState = State::Broken;
        FPending.clear();
        FPending.shrink_to_fit();
        return false;
    }
    FPending.erase(0, at);
    return true;
}

bool FormCollector::OnPart(const FormPart& head) {
    Parts.push_back(head);
    return true;
}

bool FormCollector::OnData(std::string_view bytes) {
    Parts.back().Content.append(bytes);
    return true;
}

std::vector<FormPart> ParseMultipart(std::string_view contentType, std::string_view body) {
    auto boundary = MultipartBoundary(contentType);
    if (!boundary)
        return {};
    FormCollector collect;
    MultipartParser parser(*boundary);
    if (!parser.Feed(body, collect) || !parser.Complete())
        return {};
    return std::move(collect.Parts);
}

} // namespace ot::server
