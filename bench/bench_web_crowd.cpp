// `dialscope-cli serve` (started with the soft descriptor limit at 1024, as
// a desktop session starts it) over a history of 10,000 calls, while a crowd
// holds 2,000 connections from 127.0.0.1 and 200 from 127.0.0.2-127.0.0.201
// that sent half a request or nothing, each opened again as soon as serve
// lets it go:
//   web_signed_in_alone_ms         GET / with the sign-in cookie, no crowd, median ms
//   web_signed_in_under_crowd_ms   the same under the crowd, median ms, from its
//                                  arrival until as many were let go and opened again
//   web_signed_in_under_crowd_worst_ms   the slowest of those
//   web_crowd_reopened             connections of the crowd let go and opened again meanwhile
//   web_serve_rss_crowd_mb         serve's resident memory under the crowd
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"
#include "bench/bench_result.h"
#include "bench/history_fill.h"
#include "history/call_history.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 10000;
constexpr int kHere = 2000, kElsewhere = 200;
constexpr int kAsks = 100;

// A connection to 127.0.0.1:port from source (127.0.0.x); -1 when refused.
int Connect(int port, uint32_t source = INADDR_LOOPBACK) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One GET on a fresh connection: the status, the head in *head.
int Get(int port, const std::string& path, const std::string& cookie, std::string* head) {
    const int fd = Connect(port);
    if (fd < 0) return -1;
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            (cookie.empty() ? "" : "\r\nCookie: " + cookie) + "\r\nConnection: close\r\n\r\n";
    std::string answer;
    if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t end = answer.find("\r\n\r\n");
    if (answer.size() < 12 || end == std::string::npos) return -1;
    *head = answer.substr(0, end);
    return std::atoi(answer.c_str() + 9);
}

// The signed-in page asked kAsks times, and on while more() says so (at
// most 100 times as many): the times in ms, sorted; false when one was not
// the page.
template <class More>
bool Ask(int port, const std::string& cookie, std::vector<double>* ms, More more) {
    bool ok = true;
    std::string head;
    for (int i = 0; i < 100 * kAsks && (i < kAsks || more()); ++i) {
        const auto t0 = Clock::now();
        if (Get(port, "/", cookie, &head) != 200) ok = false;
        ms->push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms->begin(), ms->end());
    return ok;
}

// Connections that sent half a request or nothing, each opened again as
// soon as it is let go (at most ten times the crowd in all).
class Crowd {
public:
    Crowd(int port) : port_(port) {
        for (int i = 0; i < kElsewhere; ++i) sources_.push_back(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(i));
        sources_.insert(sources_.end(), kHere, INADDR_LOOPBACK);
        fds_.assign(sources_.size(), -1);
        for (size_t i = 0; i < fds_.size(); ++i) Open(i);
        thread_ = std::thread([this] { KeepUp(); });
    }
    ~Crowd() {
        stop_ = true;
        thread_.join();
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    int reopened() const { return reopened_; }

private:
    void Open(size_t i) {
        fds_[i] = Connect(port_, sources_[i]);
        if (fds_[i] >= 0 && i % 2 == 0) {
            const std::string half = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\nUser-Agent: slo";
            if (write(fds_[i], half.data(), half.size()) < 0) {}
        }
    }
    void KeepUp() {
        std::vector<pollfd> polled;
        std::vector<size_t> which;
        while (!stop_ && reopened_ < 10 * static_cast<int>(fds_.size())) {
            polled.clear();
            which.clear();
            for (size_t i = 0; i < fds_.size(); ++i) {
                if (fds_[i] < 0) {
                    ++reopened_;
                    Open(i);
                    continue;
                }
                polled.push_back({fds_[i], POLLIN, 0});
                which.push_back(i);
            }
            if (poll(polled.data(), polled.size(), 100) <= 0) continue;
            for (size_t k = 0; k < polled.size(); ++k) {
                if (!polled[k].revents) continue;
                char buf[4096];
                if (read(polled[k].fd, buf, sizeof buf) > 0) continue;
                close(polled[k].fd);
                ++reopened_;
                Open(which[k]);
            }
        }
    }

    int port_;
    std::vector<uint32_t> sources_;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::atomic<int> reopened_{0};
    std::thread thread_;
};

double RssMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

}  // namespace

int main() {
    using namespace dialscope;
    signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kHere + kElsewhere + 500) {
        std::fprintf(stderr, "the crowd needs %d open files; the hard limit is %ld\n", kHere + kElsewhere + 500,
                     static_cast<long>(limit.rlim_max));
        return 1;
    }
    std::string dir, path;
    if (!bench::NewFilledHistory("crowd", kCalls, dir, path)) return 1;

    const int port = bench::FreePort();
    const int log = open((dir + "/serve.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // serve inherits a desktop session's soft limit; this process then takes
    // its own hard one for the crowd.
    rlimit desktop = limit;
    desktop.rlim_cur = std::min<rlim_t>(1024, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &desktop);
    const pid_t serve = bench::Spawn({DIALSCOPE_CLI, "--history", path, "serve", "--listen",
                                      "127.0.0.1:" + std::to_string(port)},
                                     log, log);
    close(log);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (serve > 0 && !bench::Accepts(port) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string token;
    std::getline(std::ifstream(path + ".web-token"), token);
    if (serve <= 0 || !bench::Accepts(port) || token.empty()) {
        std::fprintf(stderr, "serve did not start (see %s/serve.log)\n", dir.c_str());
        return 1;
    }
    int failed = 0;

    // The printed address gives the sign-in cookie.
    std::string head, cookie;
    if (Get(port, "/?token=" + token, "", &head) == 303) {
        const size_t at = head.find("Set-Cookie: ");
        if (at != std::string::npos) cookie = head.substr(at + 12, head.find_first_of(";\r", at) - at - 12);
    }
    if (cookie.empty()) {
        std::fprintf(stderr, "no sign-in cookie from the printed address:\n%s\n", head.c_str());
        ++failed;
    }
    std::vector<double> alone, crowded;
    if (!Ask(port, cookie, &alone, [] { return false; })) ++failed;
    bench::PrintResult("web_signed_in_alone_ms", alone[alone.size() / 2], "ms", "<=100");

    int reopened = 0;
    double rss = 0;
    {
        const auto t0 = Clock::now();
        Crowd crowd(port);
        std::printf("%d connections opened in %.0f ms\n", kHere + kElsewhere,
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        // From the crowd's arrival until all of it was let go and opened again.
        if (!Ask(port, cookie, &crowded, [&] { return crowd.reopened() < kHere + kElsewhere; })) {
            std::fprintf(stderr, "the signed-in page was not answered under the crowd\n");
            ++failed;
        }
        std::printf("the signed-in page asked %zu times under the crowd\n", crowded.size());
        rss = RssMb(serve);
        reopened = crowd.reopened();
    }
    bench::PrintResult("web_signed_in_under_crowd_ms", crowded[crowded.size() / 2], "ms", "<=100");
    bench::PrintResult("web_signed_in_under_crowd_worst_ms", crowded.back(), "ms", "-");
    bench::PrintResult("web_crowd_reopened", reopened, "connections", "-");
    bench::PrintResult("web_serve_rss_crowd_mb", rss, "MB", "-");

    if (!bench::StopCleanly(serve, "serve")) ++failed;
    std::filesystem::remove_all(dir);
    return failed ? 1 : 0;
}
