// The server on a loopback port: many pages (or a load client) hold live
// streams at once, and each gets the call; out of descriptors, it waits for
// them without keeping the machine busy.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "history/call_history.h"
#include "history/call_reader.h"
#include "tests/history/history_support.h"
#include "web/server.h"

namespace dialscope::web {
namespace {

int Socket() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval patience{5, 0};  // a server that never answers fails the test instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return fd;
}

int Ask(int fd, uint16_t port, const std::string& path) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// What came on fd until it holds `until`, the stream closes or 5 s pass.
std::string ReadUntil(int fd, const std::string& until) {
    std::string got;
    char buf[4096];
    for (ssize_t n; got.find(until) == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

// The real server over an empty history, serving on a thread of its own.
struct Serving {
    history::test::TempDir dir;
    std::unique_ptr<history::CallReader> reader;
    std::unique_ptr<Server> server;
    std::thread thread;

    // change: the options but the port and the history's.
    explicit Serving(std::function<void(ServerOptions&)> change = {}) {
        std::string problem;
        EXPECT_TRUE(history::CallHistory::Open(dir.File(), &problem)) << problem;
        reader = history::CallReader::Open(dir.File(), &problem);
        ServerOptions options;
        options.port = 0;
        options.auth = false;
        if (change) change(options);
        server = std::make_unique<Server>(options, reader.get());
        EXPECT_TRUE(server->Listen(&problem)) << problem;
        thread = std::thread([this] { server->Run(); });
    }
    ~Serving() {
        server->Stop();
        thread.join();
    }
};

TEST(WebLive, HundredStreamsHeldAtOnceEachGetTheCall) {
    Serving s;
    Server& server = *s.server;

    std::vector<int> streams, held;
    for (int i = 0; i < 100; ++i) {
        const int fd = Ask(Socket(), server.port(), "/api/live");
        ASSERT_GE(fd, 0);
        streams.push_back(fd);
        const std::string head = ReadUntil(fd, "\r\n\r\n");
        if (head.substr(0, 12) == "HTTP/1.1 200") held.push_back(fd);
        else ADD_FAILURE() << "stream " << i + 1 << ": " << head.substr(0, head.find('\r'));
    }
    history::PageRow row;
    row.call.id = 1;
    row.call.fields = history::test::Record("HOME", "5550100 LIVE", {12, 9, 26, 10, 0});
    server.Announce({row});
    int heard = 0;
    for (int fd : held) heard += ReadUntil(fd, "5550100 LIVE").find("5550100 LIVE") != std::string::npos;
    EXPECT_EQ(heard, 100);
    for (int fd : streams) close(fd);
}

TEST(WebLive, OutOfDescriptorsTheServerWaitsWithoutSpinning) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtimes need descriptors of their own (the checker of
    // a vtable pointer opens a pipe to probe memory): with none free they
    // report the server's sound objects as broken.
    GTEST_SKIP() << "needs a process without a sanitizer's runtime";
#endif
    Serving s;
    // The clients' sockets first; then the process may open no more, and
    // the server cannot take their connections.
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(Socket());
    const int lowestFree = dup(0);
    close(lowestFree);
    rlimit was{};
    getrlimit(RLIMIT_NOFILE, &was);
    rlimit none = was;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    for (int fd : clients) EXPECT_EQ(Ask(fd, s.server->port(), "/"), fd);
    // A third of a second with no descriptor free: the loop should sleep
    // through it, not try again and again (that took the whole of a core).
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    pollfd first{clients[0], POLLIN, 0};
    EXPECT_EQ(poll(&first, 1, 300), 0) << "answered with no descriptor to answer on";
    getrusage(RUSAGE_SELF, &after);
    setrlimit(RLIMIT_NOFILE, &was);
    auto ms = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
    };
    EXPECT_LT(ms(after) - ms(before), 50.0) << "CPU time spent waiting for a descriptor, ms";
    // Descriptors again: every connection that waited is answered.
    for (int fd : clients) {
        EXPECT_EQ(ReadUntil(fd, "\r\n\r\n").substr(0, 12), "HTTP/1.1 200");
        close(fd);
    }
}

struct Answer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One request on a connection of its own; the answer read to its end.
Answer Exchange(uint16_t port, const std::string& method, const std::string& target, const std::string& cookie = {},
                const std::string& body = {}, const std::string& origin = {}) {
    std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\nConnection: close\r\n";
    if (!cookie.empty()) req += "Cookie: " + cookie + "\r\n";
    if (!origin.empty()) req += "Origin: " + origin + "\r\n";
    if (!body.empty() || method == "POST")
        req += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n" + body;
    const int fd = Socket();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Answer a;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) {
        close(fd);
        return a;
    }
    const std::string got = ReadUntil(fd, "\x01never");
    close(fd);
    const size_t end = got.find("\r\n\r\n");
    if (got.size() < 12 || end == std::string::npos) return a;
    a.status = std::atoi(got.substr(9, 3).c_str());
    for (size_t at = got.find("\r\n") + 2; at < end;) {
        const size_t next = got.find("\r\n", at), colon = got.find(':', at);
        std::string name = got.substr(at, colon - at);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        a.headers[name] = got.substr(colon + 2, next - colon - 2);
        at = next + 2;
    }
    a.body = got.substr(end + 4);
    return a;
}

std::string CookieOf(const Answer& a) {
    const auto it = a.headers.find("set-cookie");
    return it == a.headers.end() ? "" : it->second.substr(0, it->second.find(';'));
}

// On this machine's addresses: the token opens a sign-in whose id is the
// cookie, never the token; a new token in its file ends every sign-in.
// Notices come from the server's own state, the API refuses a bad date in
// those words, and every answer carries the whole policy.
TEST(WebServe, SignInsNoticesAndRefusals) {
    const std::string token(64, 'a');
    std::vector<std::string> kept;
    history::test::TempDir files;
    const std::string tokenFile = files.File() + ".web-token";
    // As serve keeps it: its owner's alone (a file others may read is refused).
    auto keep = [&](const std::string& t) {
        std::ofstream(tokenFile) << t << "\n";
        std::filesystem::permissions(tokenFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    };
    keep(token);
    Serving s([&](ServerOptions& o) {
        o.auth = true;
        o.token = token;
        o.tokenFile = tokenFile;
        o.changeContacts = [&](const std::vector<history::Contact>& put, const std::vector<std::string>&,
                               std::string*) {
            for (const auto& c : put) kept.push_back(c.name);
            return true;
        };
    });
    const uint16_t port = s.server->port();
    const std::string name = "dialscope_" + std::to_string(port);

    Answer a = Exchange(port, "GET", "/?token=" + token);
    const std::string cookie = CookieOf(a);
    EXPECT_EQ(a.status, 303);
    ASSERT_EQ(cookie.size(), name.size() + 1 + 64) << cookie;
    EXPECT_EQ(cookie.find(token), std::string::npos) << "the cookie is the token";
    EXPECT_EQ(Exchange(port, "GET", "/", name + "=" + token).status, 403);
    a = Exchange(port, "GET", "/", cookie);
    EXPECT_EQ(a.status, 200);
    // The whole policy: nothing inline, nothing evaluated, nothing from elsewhere.
    EXPECT_EQ(a.headers["content-security-policy"],
              "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
              "object-src 'none'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    EXPECT_EQ(a.headers.count("strict-transport-security"), 0u) << "plain HTTP has no use for it";

    a = Exchange(port, "GET", "/api/calls?since=abc", cookie);
    EXPECT_EQ(a.status, 400);
    EXPECT_NE(a.body.find("\\\"abc\\\" is not a date of the form YYYY-MM-DD, so the request is refused"), std::string::npos)
        << a.body;
    EXPECT_EQ(a.body.find("left out"), std::string::npos) << a.body;

    // A notice only for the change this sign-in made, once; none from the address.
    a = Exchange(port, "GET", "/names?removed=ANY+TEXT&saved=MORE+TEXT", cookie);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body.find("TEXT"), std::string::npos);
    EXPECT_EQ(a.body.find("class=\"notice\""), std::string::npos);
    const size_t at = a.body.find("name=\"csrf\" value=\"");
    ASSERT_NE(at, std::string::npos);
    const std::string csrf = a.body.substr(at + 19, 40);
    const std::string change = "csrf=" + csrf + "&number=030+1234567&name=Dora&do=save";
    EXPECT_EQ(Exchange(port, "POST", "/names", cookie, change, "http://attacker.example").status, 403);
    a = Exchange(port, "POST", "/names", cookie, change, "null");  // the pages' own, under no-referrer
    EXPECT_EQ(a.status, 303);
    EXPECT_EQ(a.headers["location"], "/names");
    EXPECT_EQ(kept, std::vector<std::string>{"Dora"});
    const std::string notice = "<p class=\"notice\" role=\"status\">The name for 0301234567 is kept.</p>";
    EXPECT_NE(Exchange(port, "GET", "/names", cookie).body.find(notice), std::string::npos);
    EXPECT_EQ(Exchange(port, "GET", "/names", cookie).body.find("class=\"notice\""), std::string::npos) << "shown twice";
    // Names the page cannot hold are refused, by characters, not bytes.
    const std::string longest = [] {
        std::string n;
        for (int i = 0; i < 100; ++i) n += "%C3%9C";  // U+00DC, two bytes each
        return n;
    }();
    EXPECT_EQ(Exchange(port, "POST", "/names", cookie, "csrf=" + csrf + "&number=0301234567&do=save&name=" + longest).status, 303);
    EXPECT_EQ(Exchange(port, "POST", "/names", cookie, "csrf=" + csrf + "&number=0301234567&do=save&name=" + longest + "x").status, 400);

    // serve --new-token (here, or in another process on the same history).
    const std::string fresh(64, 'b');
    keep(fresh);
    int status = 0;
    for (int i = 0; i < 100 && (status = Exchange(port, "GET", "/", cookie).status) == 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(status, 403) << "a sign-in with the old token outlives the new one";
    EXPECT_EQ(Exchange(port, "GET", "/?token=" + token).status, 403);
    EXPECT_EQ(Exchange(port, "GET", "/", CookieOf(Exchange(port, "GET", "/?token=" + fresh))).status, 200);
}

}  // namespace
}  // namespace dialscope::web
