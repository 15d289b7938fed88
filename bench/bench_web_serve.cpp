// `dialscope-cli serve` as a process of its own over a history of 10,000
// calls, asked as a browser and a load client ask:
//   web_page_weight_kb         the calls page with all it loads (HTML, style
//                              sheet, script, icon), bytes of the bodies, in KB
//   web_serve_rss_idle_mb      serve's resident memory once it answered a page
//   web_page_with_100_live_ms  GET / while 100 live streams are held, median ms
//   web_live_streams_heard     of those 100 streams, how many got a new call
//                              written into the history by this process
//   web_live_all_heard_ms      from that call written to the last stream that had it
//   web_serve_rss_100_live_mb  serve's resident memory with the 100 streams held
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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
constexpr int kStreams = 100;

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Ask(int fd, int port, const std::string& path) {
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nConnection: close\r\n\r\n";
    return write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size());
}

// One GET on a fresh connection; the status code, and the body in *body.
int Get(int port, const std::string& path, std::string* body) {
    const int fd = Connect(port);
    if (fd < 0 || !Ask(fd, port, path)) return -1;
    std::string answer;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
    close(fd);
    const size_t head = answer.find("\r\n\r\n");
    if (answer.size() < 12 || head == std::string::npos) return -1;
    *body = answer.substr(head + 4);
    return std::atoi(answer.c_str() + 9);
}

double MedianGet(int port, const std::string& path, bool* failed) {
    std::vector<double> ms;
    std::string body;
    for (int i = 0; i < 15; ++i) {
        const auto t0 = Clock::now();
        if (Get(port, path, &body) != 200) *failed = true;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

double RssMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

// One more call, written by this process as a download would write it; serve
// sees the file change.
bool AddCall(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string sql =
        "INSERT INTO records(download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2, has_text, "
        "text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key) VALUES (1, " +
        std::to_string(now) +
        ", CAST('HOME    ' AS BLOB), 0, 0, 12, 9, 26, 10, 0, 1, CAST('5559999999 LIVE CALL' AS BLOB), 0, 0, "
        "CAST('5559999999 LIVE CALL' AS BLOB), 202612091000, 202609121000, 201209261000, 'home')";
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) std::fprintf(stderr, "add a call: %s\n", error ? error : "?");
    sqlite3_free(error);
    sqlite3_close(db);
    return rc == SQLITE_OK;
}

}  // namespace

int main() {
    using namespace dialscope;
    signal(SIGPIPE, SIG_IGN);
    std::string dir, path;
    if (!bench::NewFilledHistory("serve", kCalls, dir, path)) return 1;

    const int port = bench::FreePort();
    const int log = open((dir + "/serve.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t serve = bench::Spawn({DIALSCOPE_CLI, "--history", path, "serve", "--listen",
                                      "127.0.0.1:" + std::to_string(port), "--no-auth"},
                                     log, log);
    close(log);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (serve > 0 && !bench::Accepts(port) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (serve <= 0 || !bench::Accepts(port)) {
        std::fprintf(stderr, "serve did not start (see %s/serve.log)\n", dir.c_str());
        return 1;
    }
    int failed = 0;

    // The page and what it loads, as named in it.
    std::string page, asset;
    if (Get(port, "/", &page) != 200) ++failed;
    size_t bytes = page.size();
    int assets = 0;
    const std::regex link(R"re((?:href|src)="(/static/[^"]+)")re");
    std::vector<std::string> seen;
    for (std::sregex_iterator it(page.begin(), page.end(), link), end; it != end; ++it) {
        const std::string url = (*it)[1];
        if (std::find(seen.begin(), seen.end(), url) != seen.end()) continue;
        seen.push_back(url);
        if (Get(port, url, &asset) != 200) ++failed;
        std::printf("%s: %zu bytes\n", url.c_str(), asset.size());
        bytes += asset.size();
        ++assets;
    }
    std::printf("/: %zu bytes; %d assets\n", page.size(), assets);
    if (assets < 3) {
        std::fprintf(stderr, "the page names %d assets; a style sheet, a script and an icon were expected\n", assets);
        ++failed;
    }
    bench::PrintResult("web_page_weight_kb", bytes / 1024.0, "KB", "<=100");
    bench::PrintResult("web_serve_rss_idle_mb", RssMb(serve), "MB", "<=30");

    // The live streams, each its head read before the next is opened.
    std::vector<int> streams;
    int refused = 0;
    for (int i = 0; i < kStreams; ++i) {
        const int fd = Connect(port);
        if (fd < 0 || !Ask(fd, port, "/api/live")) break;
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
        if (head.rfind("HTTP/1.1 200", 0) != 0) {
            if (refused++ == 0)
                std::fprintf(stderr, "live stream %d refused: %s\n", i + 1, head.substr(0, head.find('\r')).c_str());
            close(fd);
            continue;
        }
        streams.push_back(fd);
    }
    std::printf("%zu of %d live streams open\n", streams.size(), kStreams);
    bool getFailed = false;
    bench::PrintResult("web_page_with_100_live_ms", MedianGet(port, "/", &getFailed), "ms", "<=100");
    if (getFailed) ++failed;

    // A new call; every stream should carry it.
    if (!AddCall(path)) ++failed;
    const auto written = Clock::now();
    std::vector<std::string> heard(streams.size());
    std::vector<bool> has(streams.size(), false);
    size_t heardCount = 0;
    double lastMs = 0;
    const auto until = written + std::chrono::seconds(5);
    while (heardCount < streams.size() && Clock::now() < until) {
        std::vector<pollfd> fds;
        for (size_t i = 0; i < streams.size(); ++i)
            if (!has[i]) fds.push_back({streams[i], POLLIN, 0});
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
        if (poll(fds.data(), fds.size(), std::max(left, 0)) <= 0) break;
        for (const pollfd& p : fds) {
            if (!p.revents) continue;
            const size_t i = std::find(streams.begin(), streams.end(), p.fd) - streams.begin();
            char buf[4096];
            const ssize_t n = read(p.fd, buf, sizeof buf);
            if (n <= 0) {
                has[i] = true;  // closed: it will not hear it
                continue;
            }
            heard[i].append(buf, static_cast<size_t>(n));
            if (heard[i].find("5559999999 LIVE CALL") != std::string::npos) {
                has[i] = true;
                ++heardCount;
                lastMs = std::chrono::duration<double, std::milli>(Clock::now() - written).count();
            }
        }
    }
    bench::PrintResult("web_live_streams_heard", static_cast<double>(heardCount), "of100", ">=100");
    bench::PrintResult("web_live_all_heard_ms", lastMs, "ms", "<=1000");
    bench::PrintResult("web_serve_rss_100_live_mb", RssMb(serve), "MB", "<=30");

    for (int fd : streams) close(fd);
    if (!bench::StopCleanly(serve, "serve")) ++failed;
    std::filesystem::remove_all(dir);
    return failed ? 1 : 0;
}
