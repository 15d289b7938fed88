#include "web/server.h"

// Boost 1.74's Asio uses std::exchange without including <utility> in C++20.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/uuid/detail/sha1.hpp>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "history/contacts_import.h"
#include "history/export.h"
#include "history/latin1.h"
#include "history/phone_number.h"
#include "web/assets.h"
#include "web/connection_limits.h"
#include "web/gate.h"
#include "web/html.h"
#include "web/pages.h"
#include "web/platform.h"
#include "web/signin.h"
#include "web/tls.h"

namespace dialscope::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

namespace {

// No inline script or style anywhere: the pages' script and style sheet
// come from the program itself, and nothing else may load.
constexpr const char* kPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "object-src 'none'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

constexpr const char* kStrictTransport = "max-age=31536000";

// Tabs of one browser share a stream; this bounds what other programs on
// the machine may hold open (each stream is a socket and a few KB), well
// above the hundred a busy desk or a dashboard keeps.
constexpr size_t kMaxLiveStreams = 256;
constexpr size_t kMaxQueuedEvents = 256;  // a stream that falls this far behind is closed
constexpr int kPageSize = 50;

// Anyone who can connect may open connections and say nothing: each is let
// go soon. A TLS handshake, and a request (head and body) on a connection
// that no signed-in request came on yet, have a few seconds; a signed-in
// browser's connection waits a minute for its next request.
constexpr auto kHandshakeTime = 5s;
constexpr auto kRequestTime = 5s;
constexpr auto kSignedInIdleTime = 60s;
constexpr auto kWriteTime = 60s;
constexpr auto kUnknownWriteTime = 10s;
// After an answer that ends a connection with a request only partly read:
// what still comes is read and dropped for a moment, so that the close does
// not reset the connection before the client has read the answer.
constexpr auto kLingerTime = 2s;
constexpr size_t kHeaderLimit = 16 * 1024;
constexpr size_t kBodyLimit = 16 * 1024;
// Places for connections (ConnectionLimits): far above what browsers and
// dashboards hold (a few per tab, kMaxLiveStreams streams), and below the
// descriptor limit with some kept for the history's files and the rest.
constexpr size_t kMostConnections = 1024;
constexpr size_t kDescriptorsKept = 128;
// One address takes at most half of them (its busy ones aside), so that
// others keep the rest; not less, as on this machine's addresses the user
// shares one with everyone, and the more places there, the longer the
// user's new connection outlasts a crowd that keeps opening new ones.
constexpr size_t kMostPerAddress = 512;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

void Secure(Response& res) {
    res.set("Content-Security-Policy", kPolicy);
    res.set("X-Content-Type-Options", "nosniff");
    res.set("X-Frame-Options", "DENY");
    // The first URL carries the token: it must never travel on in a Referer.
    res.set("Referrer-Policy", "no-referrer");
    res.set(http::field::cache_control, "no-store");
}

// The head of an answer whose body runs until the connection closes (a live
// stream, an export written a page at a time).
std::string OpenEndedHead(std::string_view type, std::string_view more = {}) {
    Response head{http::status::ok, 11};
    Secure(head);
    std::string header = "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(type) + "\r\n";
    for (const auto& field : head) header += std::string(field.name_string()) + ": " + std::string(field.value()) + "\r\n";
    return header + std::string(more) + "Connection: close\r\n\r\n";
}

Response Plain(http::status status, std::string_view title, std::string_view words);

}  // namespace

class LiveStream;

// What takes a connection over once its request is read.
struct Takeover {
    enum Kind { None, Live, Export, Login } kind = None;
    CallsRequest request;  // Export: what to write
    bool csv = false;
    std::string password, next;  // Login: the form's
    std::string session;         // Live: the sign-in it is open under
    bool signedIn = false;       // the request passed the gate as a signed-in user's
};

class Seat;

struct Server::Impl {
    ServerOptions options;
    history::CallReader* reader;
    // Before the loop: connections still in it give their places back as
    // it ends.
    ConnectionLimits limits{kMostConnections, kMostPerAddress};
    std::map<ConnectionLimits::Id, std::function<void()>> letGo;  // closes each connection that has a place
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    net::steady_timer tick{ioc};
    net::steady_timer acceptPause{ioc};
    std::unique_ptr<Gate> gate;
    // The key of the change tokens (ChangeToken), made afresh at each start.
    std::string csrf;
    std::unique_ptr<TlsContext> tls;
    // Who is signed in, with the token or the password.
    Sessions sessions;
    std::unique_ptr<SignIn> signIn;  // with a password
    // What the last change did, for the next names page of the sign-in that
    // made it (keyed by its change token), shown once.
    std::map<std::string, std::string> notices;
    std::optional<TlsFacts> certificate;
    std::set<std::shared_ptr<LiveStream>> streams;
    bool watching = false;
    std::optional<int64_t> dataVersion;
    int64_t lastSent = 0;
    int ticks = 0;

    Impl(ServerOptions o, history::CallReader* r) : options(std::move(o)), reader(r) {}

    void Accept();
    void Welcome(tcp::socket socket);
    void LetGo(ConnectionLimits::Id id);
    void Tick();
    void LookForCalls();
    void Broadcast(const std::vector<history::PageRow>& calls);
    void Send(const std::string& event);
    Response Handle(const Request& req, Takeover* takeover);
    Response Route(const Request& req, Takeover* takeover);
    void LookForNewToken();
    // A browser names the page a form was sent from: true when that is
    // another site's. nullAllowed: "null", what the pages send under their
    // no-referrer policy (their change token is the proof there).
    bool ForeignOrigin(const Request& req, bool nullAllowed) const {
        const std::string_view origin(req[http::field::origin].data(), req[http::field::origin].size());
        if (origin.empty() || (nullAllowed && origin == "null")) return false;
        const size_t scheme = origin.find("://");
        return scheme == std::string_view::npos || !gate->HostAllowed(origin.substr(scheme + 3));
    }
    // The sign-out button's change token for the sign-in of cookies; empty
    // without a password (no button).
    std::string SignOutToken(std::string_view cookies) const;
    Response NamesPage(std::string_view cookies, NamesView view,
                       http::status status = http::status::ok);
    Response ChangeName(const Request& req);
    Response SignedIn(SignIn::Outcome outcome, const std::string& session, int wait, const std::string& next);
};

// A connection's place among the limits, given back when the connection
// ends, whoever holds it by then (a request, a live stream, an export).
class Seat {
public:
    Seat(Server::Impl& server, ConnectionLimits::Id id) : server_(server), id_(id) {}
    ~Seat() {
        server_.limits.Release(id_);
        server_.letGo.erase(id_);
    }
    Seat(const Seat&) = delete;
    Seat& operator=(const Seat&) = delete;

    void Set(ConnectionLimits::Standing standing) { server_.limits.Set(id_, standing); }
    // How the connection is closed when its place goes to a newer one.
    void OnLetGo(std::function<void()> close) { server_.letGo[id_] = std::move(close); }

private:
    Server::Impl& server_;
    ConnectionLimits::Id id_;
};

// One open /api/live: server-sent events written as they come, one at a time.
class LiveStream : public std::enable_shared_from_this<LiveStream> {
public:
    LiveStream(Stream stream, Server::Impl& server, std::unique_ptr<Seat> seat)
        : stream_(std::move(stream)), server_(server), seat_(std::move(seat)) {}

    void Start() {
        stream_.expires_never();
        // A signed-in page's: it goes only after every connection that is not.
        seat_->Set(ConnectionLimits::Standing::Held);
        seat_->OnLetGo([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->Close();
        });
        // A lost stream is taken up again after 2 s by the browser.
        Push(OpenEndedHead("text/event-stream; charset=utf-8") + "retry: 2000\n\n");
        WatchForClose();
    }

    void Push(std::string bytes) {
        if (closed_) return;
        if (queue_.size() >= kMaxQueuedEvents) return Close();
        queue_.push_back(std::move(bytes));
        if (queue_.size() == 1) WriteNext();
    }

    // Signed in with the password: the session this stream was opened
    // under, which must stay open for it to go on.
    std::string session;

    void Close() {
        if (closed_) return;
        closed_ = true;
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
        server_.streams.erase(shared_from_this());
    }

private:
    void WriteNext() {
        net::async_write(stream_, net::buffer(queue_.front()),
                         [self = shared_from_this()](beast::error_code ec, size_t) {
                             if (ec) return self->Close();
                             self->queue_.pop_front();
                             if (!self->queue_.empty()) self->WriteNext();
                         });
    }
    // The browser sends nothing more on this connection: a read ends when it
    // goes away.
    void WatchForClose() {
        stream_.async_read_some(net::buffer(sink_), [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->Close();
            self->WatchForClose();
        });
    }

    Stream stream_;
    Server::Impl& server_;
    std::unique_ptr<Seat> seat_;
    std::deque<std::string> queue_;
    char sink_[512];
    bool closed_ = false;
};

// An export of every call the filter matches, written a page of calls at a
// time so that the loop serves other requests between them, and a million
// calls are never held in memory at once. A read that fails on the way
// ends the file early (the status was sent with the first page).
class ExportStream : public std::enable_shared_from_this<ExportStream> {
public:
    ExportStream(Stream stream, Server::Impl& server, Takeover what, std::unique_ptr<Seat> seat)
        : stream_(std::move(stream)), server_(server), what_(std::move(what)), seat_(std::move(seat)) {}

    void Start() {
        seat_->Set(ConnectionLimits::Standing::Held);
        seat_->OnLetGo([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->stream_.close();
        });
        what_.request.query.before.reset();
        what_.request.query.afterId = 0;
        what_.request.query.limit = 1000;
        const bool csv = what_.csv;
        pending_ = OpenEndedHead(csv ? "text/csv; charset=utf-8" : "application/x-ndjson; charset=utf-8",
                                 csv ? "Content-Disposition: attachment; filename=\"calls.csv\"\r\n"
                                     : "Content-Disposition: attachment; filename=\"calls.jsonl\"\r\n");
        if (csv) pending_ += history::CsvHeader(true);
        Fill();
        Write();
    }

private:
    void Fill() {
        std::string problem;
        const auto page = server_.reader->Page(what_.request.query, &problem);
        for (const auto& row : page.rows)
            pending_ += what_.csv ? history::CsvRow(row.call, server_.options.dateOrder, true)
                                  : history::JsonLine(row.call, server_.options.dateOrder);
        what_.request.query.before = page.next;
        done_ = !page.next || !problem.empty();
    }

    void Write() {
        stream_.expires_after(kWriteTime);
        net::async_write(stream_, net::buffer(pending_), [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->stream_.close();
            self->pending_.clear();
            if (self->done_) return self->stream_.End(self);
            // The next page after whatever else waits on the loop.
            net::post(self->stream_.get_executor(), [self] {
                self->Fill();
                self->Write();
            });
        });
    }

    Stream stream_;
    Server::Impl& server_;
    Takeover what_;
    std::unique_ptr<Seat> seat_;
    std::string pending_;
    bool done_ = false;
};

// One connection: requests read and answered in turn (keep-alive), until
// it closes, misses its deadline, is let go for a newer one, or asks for
// the live stream or an export, which takes it over.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Server::Impl& server, std::unique_ptr<Seat> seat)
        : stream_(std::move(socket), server.tls.get()), server_(server), seat_(std::move(seat)) {}

    void Start() {
        seat_->OnLetGo([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->stream_.close();
        });
        stream_.expires_after(kHandshakeTime);
        stream_.Start(buffer_, [self = shared_from_this()](bool ok) {
            if (ok) self->Read();
        });
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(signedIn_ ? kSignedInIdleTime : kRequestTime);
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec == http::error::header_limit || ec == http::error::body_limit) return self->TooLarge(ec);
            if (ec) return self->Shut();
            self->Answer(self->parser_->release());
        });
    }

private:
    void Answer(Request req) {
        Takeover takeover;
        auto res = std::make_shared<Response>(server_.Handle(req, &takeover));
        signedIn_ = takeover.signedIn;
        seat_->Set(signedIn_ ? ConnectionLimits::Standing::Known : ConnectionLimits::Standing::Unknown);
        if (takeover.kind == Takeover::Export && req.method() == http::verb::get) {
            std::make_shared<ExportStream>(std::move(stream_), server_, std::move(takeover), std::move(seat_))->Start();
            return;
        }
        if (takeover.kind == Takeover::Login && server_.signIn) {
            beast::error_code ec;
            const auto from = stream_.socket().remote_endpoint(ec).address();
            auto asked = std::make_shared<Request>(std::move(req));
            // Not let go while the password is checked: the sign-in desk
            // takes only a few such at once.
            seat_->Set(ConnectionLimits::Standing::Held);
            server_.signIn->Check(from, std::move(takeover.password),
                                  [self = shared_from_this(), asked, next = takeover.next](SignIn::Outcome outcome,
                                                                                           std::string session, int wait) {
                                      self->seat_->Set(ConnectionLimits::Standing::Unknown);
                                      auto res = std::make_shared<Response>(
                                          self->server_.SignedIn(outcome, session, wait, next));
                                      self->Send(*asked, res);
                                  });
            return;
        }
        if (takeover.kind == Takeover::Live) {
            if (server_.streams.size() >= kMaxLiveStreams) {
                *res = Response{http::status::service_unavailable, req.version()};
                res->set(http::field::content_type, "text/plain; charset=utf-8");
                res->body() = "Too many live pages are open; close some.\n";
                Secure(*res);
            } else {
                auto stream = std::make_shared<LiveStream>(std::move(stream_), server_, std::move(seat_));
                stream->session = std::move(takeover.session);
                server_.streams.insert(stream);
                stream->Start();
                return;
            }
        }
        Send(req, res);
    }

    void Send(const Request& req, std::shared_ptr<Response> res) {
        res->version(req.version());
        res->keep_alive(req.keep_alive());
        if (req.method() == http::verb::head) {
            const size_t length = res->body().size();
            res->body().clear();
            res->content_length(length);
        } else {
            res->prepare_payload();
        }
        stream_.expires_after(signedIn_ ? kWriteTime : kUnknownWriteTime);
        http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code ec, size_t) {
            if (ec || !res->keep_alive()) return self->Shut();
            self->Read();
        });
    }

    void Shut() { stream_.End(shared_from_this()); }

    // A request line or head longer than the server takes (414, 431), or a
    // body (413): said in a small page, and the connection ends, as the
    // rest of the request is still on its way.
    void TooLarge(beast::error_code ec) {
        Response res;
        if (ec == http::error::body_limit) {
            res = Plain(http::status::payload_too_large, "Too large",
                        "What was sent is larger than these pages take (" + std::to_string(kBodyLimit / 1024) + " KB).");
        } else {
            // The head is all in the buffer still: no end to its first line
            // there means the request line alone is too long.
            const auto bytes = buffer_.data();
            const std::string_view head(static_cast<const char*>(bytes.data()), bytes.size());
            if (head.find('\n') == std::string_view::npos)
                res = Plain(http::status::uri_too_long, "Address too long",
                            "The address asked for is longer than these pages take (" +
                                std::to_string(kHeaderLimit / 1024) + " KB).");
            else
                res = Plain(http::status::request_header_fields_too_large, "Request too large",
                            "The request's header fields are longer than these pages take (" +
                                std::to_string(kHeaderLimit / 1024) + " KB in all). Clearing this site's cookies "
                                "may help.");
        }
        auto answer = std::make_shared<Response>(std::move(res));
        answer->keep_alive(false);
        answer->prepare_payload();
        stream_.expires_after(kUnknownWriteTime);
        http::async_write(stream_, *answer, [self = shared_from_this(), answer](beast::error_code ec, size_t) {
            if (ec) return self->stream_.close();
            self->Linger();
        });
    }

    void Linger() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kLingerTime);
        Drop();
    }
    void Drop() {
        stream_.tcp().async_read_some(net::buffer(sink_), [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->stream_.close();
            self->Drop();
        });
    }

    Stream stream_;
    Server::Impl& server_;
    std::unique_ptr<Seat> seat_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool signedIn_ = false;  // its last request was a signed-in user's
    char sink_[4096];
};

namespace {

Response Make(http::status status, std::string_view type, std::string body) {
    Response res{status, 11};
    res.set(http::field::content_type, std::string(type));
    res.body() = std::move(body);
    Secure(res);
    return res;
}

Response Plain(http::status status, std::string_view title, std::string_view words) {
    return Make(status, "text/html; charset=utf-8", PlainPage(title, words));
}

Response Json(http::status status, std::string body) {
    return Make(status, "application/json; charset=utf-8", std::move(body));
}

std::string JsonError(std::string_view words) {
    std::string out = "{\"error\":\"";
    for (char c : words) {
        if (c == '"' || c == '\\') out.push_back('\\');
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out.push_back(c);
    }
    return out + "\"}";
}

// Sent back with every change (POST): pages of other sites can make the
// browser post here, but cannot read a page to learn it. It is the
// session's cookie signed (HMAC-SHA1) with a key made afresh at each start,
// and shown only in pages behind the gate: another session's token, or one
// from an earlier run, is refused.
std::string ChangeToken(const std::string& key, std::string_view session) {
    using boost::uuids::detail::sha1;
    auto hash = [](std::string_view a, std::string_view b) {
        sha1 h;
        h.process_bytes(a.data(), a.size());
        h.process_bytes(b.data(), b.size());
        sha1::digest_type digest;
        h.get_digest(digest);
        std::string out;
        for (unsigned word : digest)
            for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((word >> shift) & 0xFF));
        return out;
    };
    std::string inner(64, '\x36'), outer(64, '\x5c');  // the key is 64 bytes, one block
    for (size_t i = 0; i < 64 && i < key.size(); ++i) {
        inner[i] = static_cast<char>(inner[i] ^ key[i]);
        outer[i] = static_cast<char>(outer[i] ^ key[i]);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : hash(outer, hash(inner, session))) hex += {kHex[c >> 4], kHex[c & 15]};
    return hex;
}

// The URL without its token=..., for the redirect once the cookie is set.
std::string WithoutToken(std::string_view path, std::string_view query) {
    std::string kept;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty() || pair.substr(0, pair.find('=')) == "token") continue;
        kept += (kept.empty() ? "" : "&") + std::string(pair);
    }
    return std::string(path) + (kept.empty() ? "" : "?" + kept);
}

}  // namespace

Response Server::Impl::Handle(const Request& req, Takeover* takeover) {
    Response res = Route(req, takeover);
    // Once a browser has met the TLS address it never tries plain HTTP
    // there again, where anyone on the way could read or change the pages.
    if (tls) res.set("Strict-Transport-Security", kStrictTransport);
    return res;
}

std::string Server::Impl::SignOutToken(std::string_view cookies) const {
    return signIn ? ChangeToken(csrf, CookieValue(cookies, gate->CookieName())) : std::string();
}

Response Server::Impl::Route(const Request& req, Takeover* takeover) {
    const std::string_view target(req.target().data(), req.target().size());
    const size_t mark = target.find('?');
    const std::string_view path = target.substr(0, mark);
    const std::string_view query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
    const auto params = ParseQuery(query);
    const auto token = params.find("token");

    const std::string_view host(req[http::field::host].data(), req[http::field::host].size());
    const std::string_view cookies(req[http::field::cookie].data(), req[http::field::cookie].size());
    const bool reading = req.method() == http::verb::get || req.method() == http::verb::head;
    if (signIn && gate->HostAllowed(host)) {
        // The sign-in page, and the style sheet and icon it shows, are for anyone.
        if (path == "/login" && req.method() == http::verb::post) {
            // The sign-in page sends its origin (Referrer-Policy): a hidden
            // page's ("null") must not spend this address's attempts either.
            if (ForeignOrigin(req, false)) return Plain(http::status::forbidden, "Not from here", "Sign in on this server's own page.");
            auto form = ParseQuery(req.body());
            takeover->kind = Takeover::Login;
            takeover->password = std::move(form["password"]);
            takeover->next = LocalPath(form["next"]);
            return Response{};
        }
        if (path == "/login" && reading) {
            Response res = Make(http::status::ok, "text/html; charset=utf-8",
                                LoginPage(params.count("next") ? params.at("next") : "/", ""));
            // The form's Origin is sent only under this policy ("null" under no-referrer).
            res.set("Referrer-Policy", "same-origin");
            return res;
        }
        if (path == "/logout" && req.method() == http::verb::post) {
            // As every change: from a page of this server, with its token.
            auto form = ParseQuery(req.body());
            if (ForeignOrigin(req, true) || !SameSecret(form["csrf"], SignOutToken(cookies)))
                return Plain(http::status::forbidden, "Refused",
                             "This sign-out did not come from a page of this server. Sign out with the page's "
                             "own button.");
            sessions.Close(CookieValue(cookies, gate->CookieName()));
            Response res = Plain(http::status::see_other, "Signed out", "Signed out.");
            res.set(http::field::set_cookie, gate->Cookie(""));
            res.set(http::field::location, "/login");
            return res;
        }
        if (path == "/login" || path == "/logout") {
            Response res = Plain(http::status::method_not_allowed, "Not allowed", "Sign in and out with the page's buttons.");
            res.set(http::field::allow, path == "/login" ? "GET, HEAD, POST" : "POST");
            return res;
        }
        if (const Asset* asset = path.substr(0, 8) == "/static/" && reading ? FindAsset(path) : nullptr)
            return Make(http::status::ok, asset->type, std::string(asset->bytes));
    }
    switch (gate->Judge(host, cookies, token == params.end() ? std::string_view() : std::string_view(token->second))) {
    case Verdict::WrongHost:
        return Plain(http::status::misdirected_request, "Not this server",
                     "This server answers only to its own names (" + gate->Names() + ").");
    case Verdict::SignIn: {
        if (!reading || path.substr(0, 5) == "/api/" || path == "/rows" || path.substr(0, 7) == "/export")
            return Plain(http::status::unauthorized, "Sign in first", "Sign in first, at /login.");
        Response res = Plain(http::status::see_other, "Sign in first", "Sign in first, at /login.");
        res.set(http::field::location, "/login?next=" + UrlEncode(target));
        return res;
    }
    case Verdict::Forbidden:
        return Plain(http::status::forbidden, "No access",
                     "Open the address that dialscope-cli serve printed when it started (the one with ?token=). "
                     "It is also in the token file beside the call history.");
    case Verdict::TakeToken: {
        takeover->signedIn = true;
        Response res = Plain(http::status::see_other, "Signed in", "On to the calls.");
        res.set(http::field::set_cookie, gate->Cookie(sessions.Open(LoginClock::now())));
        res.set(http::field::location, WithoutToken(path, query));
        return res;
    }
    case Verdict::Pass: takeover->signedIn = true; break;
    }
    if (path == "/names" && req.method() == http::verb::post) return ChangeName(req);
    if (req.method() != http::verb::get && req.method() != http::verb::head) {
        Response res = Plain(http::status::method_not_allowed, "Not allowed", "These pages can only be read.");
        res.set(http::field::allow, "GET, HEAD");
        return res;
    }

    if (const Asset* asset = FindAsset(path)) {
        Response res = Make(http::status::ok, asset->type, std::string(asset->bytes));
        return res;
    }
    const history::DateOrder order = options.dateOrder;
    std::string problem;
    if (path == "/") {
        CallsView view;
        view.request = ReadCallsRequest(query, order);
        view.request.query.limit = kPageSize;
        view.request.query.afterId = 0;
        view.lastId = reader->LastId();
        view.instances = reader->Instances();
        view.page = reader->Page(view.request.query, &view.problem);
        view.order = order;
        view.signOut = SignOutToken(cookies);
        return Make(http::status::ok, "text/html; charset=utf-8", CallsPage(view));
    }
    if (path == "/names") return NamesPage(cookies, {});
    if (path == "/caller") {
        CallerView view;
        const auto number = history::ReadWrittenNumber(params.count("n") ? params.at("n") : "");
        if (!number) return Plain(http::status::not_found, "No such number", "The address names no phone number.");
        view.number = *number;
        view.order = order;
        view.calls = reader->Caller(*number, order, 200, &view.problem);
        view.signOut = SignOutToken(cookies);
        return Make(http::status::ok, "text/html; charset=utf-8", CallerPage(view));
    }
    if (path == "/overview") {
        OverviewView view;
        const std::time_t now = std::time(nullptr);
        std::tm local{};
#ifdef _WIN32
        localtime_s(&local, &now);
#else
        localtime_r(&now, &local);
#endif
        char today[16];
        std::strftime(today, sizeof today, "%Y-%m-%d", &local);
        view.history = reader->Overview(today, (local.tm_wday + 6) % 7, order, &view.problem);
        view.adapter = FindAdapter();
        if (certificate) view.certificateEnd = certificate->notAfter;
        view.now = now;
        view.signOut = SignOutToken(cookies);
        return Make(http::status::ok, "text/html; charset=utf-8", OverviewPage(view));
    }
    if (path == "/rows") {
        // The rows after ?after= that match the filter, for a page that is live.
        CallsRequest r = ReadCallsRequest(query, order);
        r.query.before.reset();
        r.query.limit = 500;
        const int64_t last = reader->LastId();
        auto page = reader->Page(r.query, &problem);
        if (!problem.empty()) return Make(http::status::service_unavailable, "text/plain; charset=utf-8", problem);
        Response res = Make(http::status::ok, "text/html; charset=utf-8", RowsHtml(page.rows, order));
        res.set("X-Last-Id", std::to_string(last));
        return res;
    }
    if (path == "/api/calls") {
        CallsRequest r = ReadCallsRequest(query, order);
        if (!r.refusal.empty()) return Json(http::status::bad_request, JsonError(r.refusal));
        r.query.limit = std::clamp<size_t>(params.count("limit") ? std::strtoul(params.at("limit").c_str(), nullptr, 10) : kPageSize, 1, 1000);
        auto page = reader->Page(r.query, &problem);
        if (!problem.empty() && page.rows.empty()) return Json(http::status::service_unavailable, JsonError(problem));
        std::string body = "{\"calls\":[";
        for (size_t i = 0; i < page.rows.size(); ++i) body += (i ? "," : "") + CallJson(page.rows[i], order);
        body += "],\"next\":" + (page.next ? "\"" + CursorText(*page.next) + "\"" : std::string("null")) + "}";
        return Json(http::status::ok, body);
    }
    if (path.substr(0, 11) == "/api/calls/") {
        const std::string id(path.substr(11));
        if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos)
            return Json(http::status::not_found, JsonError("No such call."));
        auto row = reader->Get(std::stoll(id), &problem);
        if (!problem.empty()) return Json(http::status::service_unavailable, JsonError(problem));
        if (!row) return Json(http::status::not_found, JsonError("No such call."));
        return Json(http::status::ok, CallJson(*row, order));
    }
    if (path == "/api/live") {
        takeover->kind = Takeover::Live;
        if (options.auth) takeover->session = CookieValue(cookies, gate->CookieName());
        return Response{};
    }
    if (path == "/export.csv" || path == "/export.json") {
        CallsRequest r = ReadCallsRequest(query, order);
        // A history that cannot be read is said before the file begins.
        r.query.limit = 1;
        reader->Page(r.query, &problem);
        if (!problem.empty()) return Plain(http::status::service_unavailable, "Cannot export", problem);
        takeover->kind = Takeover::Export;
        takeover->request = std::move(r);
        takeover->csv = path == "/export.csv";
        // HEAD: the head alone.
        Response res = Make(http::status::ok, takeover->csv ? "text/csv; charset=utf-8" : "application/x-ndjson; charset=utf-8", {});
        return res;
    }
    return Plain(http::status::not_found, "Not found", "There is no such page here.");
}

Response Server::Impl::SignedIn(SignIn::Outcome outcome, const std::string& session, int wait, const std::string& next) {
    if (outcome == SignIn::Outcome::Right) {
        Response res = Plain(http::status::see_other, "Signed in", "On to the calls.");
        res.set(http::field::set_cookie, gate->Cookie(session));
        res.set(http::field::location, next);
        return res;
    }
    // The sign-in form again; its Origin sent, as on the first.
    Response res = outcome == SignIn::Outcome::Wrong
        ? Make(http::status::forbidden, "text/html; charset=utf-8",
               LoginPage(next, "That is not the password. Each wrong one makes the next answer slower."))
        : Make(http::status::too_many_requests, "text/html; charset=utf-8",
               LoginPage(next, "Too many sign-ins from your address at once. Wait " + std::to_string(wait) +
                                   (wait == 1 ? " second" : " seconds") + " and try again."));
    res.set("Referrer-Policy", "same-origin");
    if (outcome == SignIn::Outcome::Busy) res.set(http::field::retry_after, std::to_string(wait));
    return res;
}

Response Server::Impl::NamesPage(std::string_view cookies, NamesView view,
                                 http::status status) {
    std::string problem;
    view.contacts = reader->Contacts(&problem);
    if (view.problem.empty()) view.problem = problem;
    if (options.changeContacts) view.csrf = ChangeToken(csrf, CookieValue(cookies, gate->CookieName()));
    view.signOut = SignOutToken(cookies);
    // Only what this sign-in's last change did, once: never words from the
    // address, which a link from anywhere could fill.
    if (const auto it = notices.find(ChangeToken(csrf, CookieValue(cookies, gate->CookieName())));
        it != notices.end() && view.problem.empty()) {
        view.notice = it->second;
        notices.erase(it);
    }
    return Make(status, "text/html; charset=utf-8", web::NamesPage(view));
}

// A name set or removed from the names page: its token first, then the
// number and the name, then the history; back to the list when it is kept.
Response Server::Impl::ChangeName(const Request& req) {
    auto form = ParseQuery(req.body());
    const std::string_view header(req["X-CSRF-Token"].data(), req["X-CSRF-Token"].size());
    const std::string given = form.count("csrf") ? form["csrf"] : std::string(header);
    const std::string_view cookies(req[http::field::cookie].data(), req[http::field::cookie].size());
    const std::string token = ChangeToken(csrf, CookieValue(cookies, gate->CookieName()));
    if (ForeignOrigin(req, true) || !SameSecret(given, token))
        return Plain(http::status::forbidden, "Refused",
                     "This change did not come from the names page of this server. Open the names page again and "
                     "make it there.");
    if (!options.changeContacts)
        return Plain(http::status::forbidden, "Refused", "The names can only be read here.");
    NamesView view;
    view.number = form["number"];
    view.name = form["name"];
    // One line, no blanks around it.
    std::string name = view.name;
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    const auto number = history::ReadWrittenNumber(view.number);
    const bool remove = form["do"] == "remove";
    if (!number)
        view.problem = "\"" + view.number + "\" is not a phone number: write it as digits, with + and the country "
                       "code for an international one. Nothing was changed.";
    else if (!remove && name.empty())
        view.problem = "Give a name for " + *number + ", or remove it. Nothing was changed.";
    else if (!remove && !history::IsUtf8(name))
        view.problem = "That name is not text. Nothing was changed.";
    else if (!remove && history::Characters(name) > history::kLongestName)
        view.problem = "That name is longer than " + std::to_string(history::kLongestName) +
                       " characters. Nothing was changed.";
    if (!view.problem.empty()) return NamesPage(cookies, view, http::status::bad_request);
    std::vector<history::Contact> put;
    std::vector<std::string> drop;
    if (remove) drop.push_back(*number);
    else put.push_back({*number, name, "set", 0});
    if (!options.changeContacts(put, drop, &view.problem))
        return NamesPage(cookies, view, http::status::service_unavailable);
    // Sign-ins that leave a notice unread do not pile them up.
    if (notices.size() >= 256) notices.clear();
    notices[token] = "The name for " + *number + (remove ? " is removed." : " is kept.");
    Response res = Plain(http::status::see_other, "Kept", "Back to the names.");
    res.set(http::field::location, "/names");
    return res;
}

void Server::Impl::Accept() {
    acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
        if (!ec) Welcome(std::move(socket));
        if (!acceptor.is_open()) return;
        if (!ec || ec == net::error::operation_aborted) return Accept();
        // Out of descriptors: the oldest connection that is not a signed-in
        // page's makes room, and the next one is taken.
        const bool noDescriptor = ec == net::error::no_descriptors ||
                                  ec == boost::system::errc::too_many_files_open_in_system;
        if (const auto oldest = noDescriptor ? limits.ShedOne() : 0) {
            LetGo(oldest);
            return Accept();
        }
        // Out of memory, or none to let go: the connection waits in the
        // backlog, and asking again at once would fail at once, over and
        // over, with the whole loop busy doing it. Ask again shortly.
        acceptPause.expires_after(100ms);
        acceptPause.async_wait([this](beast::error_code ec) {
            if (!ec && acceptor.is_open()) Accept();
        });
    });
}

void Server::Impl::Welcome(tcp::socket socket) {
    beast::error_code ec;
    const auto from = socket.remote_endpoint(ec);
    if (ec) return;  // gone already
    const auto admission = limits.Admit(AddressKey(from.address()));
    for (const auto id : admission.shed) LetGo(id);
    // Every place is a signed-in page's: this one cannot be taken in.
    if (!admission.admitted) {
        socket.close(ec);
        return;
    }
    std::make_shared<Session>(std::move(socket), *this, std::make_unique<Seat>(*this, admission.id))->Start();
}

void Server::Impl::LetGo(ConnectionLimits::Id id) {
    const auto it = letGo.find(id);
    if (it == letGo.end()) return;
    const auto close = std::move(it->second);
    letGo.erase(it);
    close();
}

void Server::Impl::Send(const std::string& event) {
    // Copied: a stream that closes leaves the set while it is walked.
    auto all = streams;
    for (const auto& stream : all) stream->Push(event);
}

void Server::Impl::Broadcast(const std::vector<history::PageRow>& calls) {
    if (calls.empty()) return;
    std::string data = "{\"calls\":[";
    for (size_t i = 0; i < calls.size(); ++i) {
        data += (i ? "," : "") + CallJson(calls[i], options.dateOrder);
        lastSent = std::max(lastSent, calls[i].call.id);
    }
    data += "],\"last\":" + std::to_string(lastSent) + "}";
    Send("event: calls\ndata: " + data + "\n\n");
}

void Server::Impl::LookForCalls() {
    const auto version = reader->DataVersion();
    if (!version || version == dataVersion) return;
    dataVersion = version;
    for (;;) {
        auto calls = reader->After(lastSent, 200);
        if (calls.empty()) break;
        lastSent = calls.back().call.id;
        Broadcast(calls);
    }
}

// serve --new-token, here or in another process serving the same history:
// the old token opens nothing more, and whoever signed in with it is out.
void Server::Impl::LookForNewToken() {
    if (options.tokenFile.empty()) return;
    std::string text, problem;
    if (ReadSecretFile(options.tokenFile, "the web page's token", &text, &problem) != SecretFile::Found) return;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.size() != 64 || text == options.token) return;
    options.token = text;
    gate->SetToken(text);
    sessions.CloseAll();
    notices.clear();
}

void Server::Impl::Tick() {
    tick.expires_after(200ms);
    tick.async_wait([this](beast::error_code ec) {
        if (ec) return;
        if (options.stopRequested && options.stopRequested()) {
            ioc.stop();
            return;
        }
        if (watching) LookForCalls();
        // A comment now and then keeps idle streams open through proxies and
        // finds the ones whose browser has gone.
        if (++ticks % 75 == 0) Send(": still here\n\n");
        if (ticks % 10 == 0) LookForNewToken();
        // A page left open keeps its sign-in in use; one signed out, or
        // too old, loses its stream.
        if (options.auth && ticks % 5 == 0)
            for (const auto& stream : std::set<std::shared_ptr<LiveStream>>(streams))
                if (!sessions.Valid(stream->session, LoginClock::now())) stream->Close();
        Tick();
    });
}

Server::Server(ServerOptions options, history::CallReader* reader)
    : impl_(std::make_unique<Impl>(std::move(options), reader)) {}

Server::~Server() = default;

bool Server::Listen(std::string* problem) {
    Impl& m = *impl_;
    beast::error_code ec;
    const auto address = net::ip::make_address(m.options.address, ec);
    if (ec) {
        *problem = m.options.address + " is not an address to listen on.";
        return false;
    }
    if (!m.options.tlsCert.empty() || !m.options.tlsKey.empty()) {
        TlsFacts facts;
        m.tls = LoadTls(m.options.tlsCert, m.options.tlsKey, problem, &facts);
        if (!m.tls) return false;
        m.certificate = std::move(facts);
    }
    // Each connection a descriptor: as many as the system lets this
    // process have, some kept for the rest.
    const size_t descriptors = RaiseOpenFileLimit();
    size_t places = kMostConnections;
    if (descriptors) places = std::min(places, descriptors > 2 * kDescriptorsKept ? descriptors - kDescriptorsKept : descriptors / 2);
    m.limits = ConnectionLimits(places, std::min(kMostPerAddress, std::max<size_t>(places / 2, 1)));
    const tcp::endpoint endpoint(address, m.options.port);
    m.acceptor.open(endpoint.protocol(), ec);
    if (!ec) m.acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) m.acceptor.bind(endpoint, ec);
    if (!ec) m.acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        *problem = "Cannot listen on " + m.options.address + " port " + std::to_string(m.options.port) + ": " +
                   ec.message() + (ec == net::error::address_in_use ? ". Another program uses that port; give another with --listen." : ".");
        return false;
    }
    GateRules rules;
    rules.port = port();
    rules.token = m.options.token;
    rules.auth = m.options.auth;
    rules.tls = m.tls != nullptr;
    rules.password = !m.options.passwordHash.empty();
    rules.names = m.options.names;
    if (!address.is_unspecified()) rules.names.push_back(address.is_v6() ? "[" + address.to_string() + "]" : address.to_string());
    if (rules.password) m.signIn = std::make_unique<SignIn>(m.ioc, m.options.passwordHash, m.sessions);
    rules.session = [&m](std::string_view id) { return m.sessions.Valid(id, LoginClock::now()); };
    m.gate = std::make_unique<Gate>(std::move(rules));
    return RandomHex(32, &m.csrf, problem);
}

uint16_t Server::port() const { return impl_->acceptor.local_endpoint().port(); }

const TlsFacts* Server::certificate() const { return impl_->certificate ? &*impl_->certificate : nullptr; }

void Server::WatchHistory() {
    impl_->watching = true;
    impl_->dataVersion = impl_->reader->DataVersion();
    impl_->lastSent = impl_->reader->LastId();
}

void Server::Run() {
    impl_->Accept();
    impl_->Tick();
    impl_->ioc.run();
}

void Server::Stop() {
    net::post(impl_->ioc, [this] { impl_->ioc.stop(); });
}

void Server::Announce(std::vector<history::PageRow> calls) {
    net::post(impl_->ioc, [this, calls = std::move(calls)] { impl_->Broadcast(calls); });
}

}  // namespace dialscope::web
