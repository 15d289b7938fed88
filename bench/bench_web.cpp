// The calls page over a history of a million calls, through the real server
// on a loopback port (as a browser asks, without the token):
//   web_first_page_1m      GET /: the newest 50 calls, page made
//   web_deep_page_1m       GET /?before=...: a page from a cursor half-way down
//   web_search_1m          GET /?q=...: a trigram search of a caller's number
//   web_search_label_1m    GET /?q=...&label=...: a search of 11 calls narrowed by label to 3
//   web_api_calls_1m       GET /api/calls: the newest 50 as JSON
//   web_caller_1m          GET /caller?n=...: every call of one line, read out of every text
//   web_overview_1m        GET /overview: the last download, today, this week, 30 days
// Each the median of 15 requests, in ms. Then
//   web_export_csv_1m      GET /export.csv: all million calls, in s (checked: every row)
//   web_page_during_export GET / while that export is written, median ms (the
//                          export goes a page at a time: the loop stays free)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_result.h"
#include "bench/history_fill.h"
#include "history/call_history.h"
#include "history/call_reader.h"
#include "web/server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 1000000;

// One GET on a fresh connection; the status line's code and the answer.
int Get(uint16_t port, const std::string& path, std::string* answer) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nConnection: close\r\n\r\n";
    if (write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) return -1;
    answer->clear();
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) answer->append(buf, static_cast<size_t>(n));
    close(fd);
    return answer->size() > 12 ? std::atoi(answer->c_str() + 9) : -1;
}

double Median(uint16_t port, const std::string& path, std::string* answer) {
    std::vector<double> ms;
    for (int i = 0; i < 15; ++i) {
        const auto t0 = Clock::now();
        if (Get(port, path, answer) != 200) {
            std::fprintf(stderr, "GET %s failed\n", path.c_str());
            std::exit(1);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main() {
    using namespace dialscope;
    std::string dir, path;
    if (!bench::NewFilledHistory("web", kCalls, dir, path)) return 1;
    std::string problem;
    auto reader = history::CallReader::Open(path, &problem);
    if (!reader) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    std::atomic<bool> stop{false};
    web::ServerOptions options;
    options.port = 0;
    options.auth = false;
    options.stopRequested = [&] { return stop.load(); };
    web::Server server(options, reader.get());
    if (!server.Listen(&problem)) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    std::thread serving([&] { server.Run(); });
    const uint16_t port = server.port();

    std::string answer;
    // Calls are received a minute apart from 1700000000000: half-way down.
    const std::string middle = std::to_string(1700000000000LL + int64_t{kCalls / 2} * 60000) + "." +
                               std::to_string(kCalls / 2 + 1);
    // Each answer must hold what it was asked for: an empty page is fast too.
    struct Figure {
        const char* name;
        std::string path;
        std::string holds;
        int rows;
    } figures[] = {
        {"web_first_page_1m", "/", "5550999999 CALLER 999999", 50},
        {"web_deep_page_1m", "/?before=" + middle, "5550499999 CALLER 499999", 50},
        {"web_search_1m", "/?q=5550123456", "5550123456 CALLER 123456", 1},
        {"web_search_label_1m", "/?q=caller+12345&label=office", "CALLER 123457", 3},
        {"web_api_calls_1m", "/api/calls", "5550999999 CALLER 999999", 50},
        {"web_caller_1m", "/caller?n=5550123456", "5550123456 CALLER 123456", 1},
        {"web_overview_1m", "/overview", "calls since Monday", 0},
    };
    int failed = 0;
    for (const Figure& f : figures) {
        const double ms = Median(port, f.path, &answer);
        size_t rows = 0;
        for (size_t at = 0; (at = answer.find(f.path == "/api/calls" ? "\"id\":" : "<tr data-id", at)) != std::string::npos; ++at) ++rows;
        std::printf("%s: %zu bytes, %zu rows\n", f.path.c_str(), answer.size(), rows);
        if (answer.find(f.holds) == std::string::npos || static_cast<int>(rows) != f.rows) {
            std::fprintf(stderr, "%s: the answer does not hold %s in %d rows\n", f.path.c_str(), f.holds.c_str(), f.rows);
            ++failed;
        }
        bench::PrintResult(f.name, ms, "ms", "<=100");
    }
    // The whole history as CSV, and the first page asked for meanwhile.
    std::string csv;
    const auto t0 = Clock::now();
    std::thread exporting([&] {
        if (Get(port, "/export.csv", &csv) != 200) csv.clear();
    });
    std::vector<double> during;
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto g0 = Clock::now();
        if (Get(port, "/", &answer) != 200) ++failed;
        during.push_back(std::chrono::duration<double, std::milli>(Clock::now() - g0).count());
    }
    exporting.join();
    const double exportS = std::chrono::duration<double>(Clock::now() - t0).count();
    size_t lines = 0;
    const size_t body = csv.find("\r\n\r\n");
    for (size_t i = body == std::string::npos ? csv.size() : body + 4; i < csv.size(); ++i) lines += csv[i] == '\n';
    std::printf("/export.csv: %zu bytes, %zu lines\n", csv.size(), lines);
    // The CSV header row, then a row per call.
    if (lines != static_cast<size_t>(kCalls) + 1 || csv.find(",5550000000 CALLER 0,") == std::string::npos) {
        std::fprintf(stderr, "/export.csv does not hold every call\n");
        ++failed;
    }
    std::sort(during.begin(), during.end());
    bench::PrintResult("web_export_csv_1m", exportS, "s", "<=30");
    bench::PrintResult("web_page_during_export", during[during.size() / 2], "ms", "<=100");
    stop = true;
    serving.join();
    std::filesystem::remove_all(dir);
    return failed ? 1 : 0;
}
