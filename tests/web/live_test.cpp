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

#include <memory>
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

    Serving() {
        std::string problem;
        EXPECT_TRUE(history::CallHistory::Open(dir.File(), &problem)) << problem;
        reader = history::CallReader::Open(dir.File(), &problem);
        ServerOptions options;
        options.port = 0;
        options.auth = false;
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

}  // namespace
}  // namespace dialscope::web
