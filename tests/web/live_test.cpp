// The live stream through the real server on a loopback port: many pages
// (or a load client) hold streams at once, and each gets the call.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "history/call_history.h"
#include "history/call_reader.h"
#include "tests/history/history_support.h"
#include "web/server.h"

namespace dialscope::web {
namespace {

int OpenLive(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval patience{5, 0};  // a stream that never answers fails the test instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string req = "GET /api/live HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
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

TEST(WebLive, HundredStreamsHeldAtOnceEachGetTheCall) {
    history::test::TempDir dir;
    std::string problem;
    ASSERT_TRUE(history::CallHistory::Open(dir.File(), &problem)) << problem;
    auto reader = history::CallReader::Open(dir.File(), &problem);
    ASSERT_TRUE(reader) << problem;
    ServerOptions options;
    options.port = 0;
    options.auth = false;
    Server server(options, reader.get());
    ASSERT_TRUE(server.Listen(&problem)) << problem;
    std::thread serving([&] { server.Run(); });

    std::vector<int> streams, held;
    for (int i = 0; i < 100; ++i) {
        const int fd = OpenLive(server.port());
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
    server.Stop();
    serving.join();
}

}  // namespace
}  // namespace dialscope::web
