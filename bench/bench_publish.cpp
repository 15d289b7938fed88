// Time from MqttPublisher::Publish() to a subscriber on the same machine receiving the
// call: a real broker (mosquitto) on a free loopback port and a real client
// (mosquitto_sub) reading from a pipe. Calls go one at a time, so each figure is one
// call's latency, not a queue's.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"
#include "bench/bench_result.h"
#include "publish/mqtt_publisher.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using dialscope::bench::Accepts;
using dialscope::bench::FreePort;
using dialscope::bench::Spawn;

}  // namespace

int main() {
    using namespace dialscope::publish;
    char pattern[] = "/tmp/dialscope-bench-XXXXXX";
    std::string dir = mkdtemp(pattern);
    int port = FreePort();
    std::ofstream(dir + "/broker.conf") << (geteuid() == 0 ? "user root\n" : "") << "allow_anonymous true\nlistener "
                                        << port << " 127.0.0.1\n";
    int quiet = open("/dev/null", O_WRONLY);
    pid_t broker = Spawn({"/usr/sbin/mosquitto", "-c", dir + "/broker.conf"}, quiet, quiet);
    int fds[2];
    if (broker < 0 || pipe(fds) != 0) return 1;
    for (int i = 0; i < 500 && !Accepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pid_t sub = Spawn({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-t",
                       "bench/bench/call", "-F", "%p"},
                      fds[1]);
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");

    MqttOptions o;
    o.url = ParseMqttUrl("mqtt://127.0.0.1:" + std::to_string(port) + "/bench").url;
    o.instance = "bench";
    o.discoveryPrefix.clear();
    MqttPublisher pub(o, {}, {});
    std::string error;
    if (!pub.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    auto call = [](int n) {
        return "{\"seq\":" + std::to_string(n) +
               ",\"label\":\"Line 1\",\"letter\":\"A\",\"date\":\"07/15/24\",\"time\":\"09:41\","
               "\"text\":\"PHONE 555 0100 CALLER NAME\"}";
    };
    // Warm up until the subscriber hears calls: its subscription is then in place.
    char* line = nullptr;
    size_t cap = 0;
    std::atomic<bool> heard{false};
    std::thread warm([&] {
        for (int i = 1; !heard && i < 1000; ++i) {
            pub.Publish(1000000 + i, call(-i));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    bool any = getline(&line, &cap, in) > 0;
    heard = true;
    warm.join();
    if (!any) return 1;
    pub.Publish(999999, call(-999999));
    while (getline(&line, &cap, in) > 0 && std::string(line).find("\"seq\":-999999,") == std::string::npos) {
    }

    const int kCalls = 1000;
    std::vector<double> ms;
    for (int n = 0; n < kCalls; ++n) {
        auto t0 = Clock::now();
        pub.Publish(n, call(n));
        std::string want = "\"seq\":" + std::to_string(n) + ",";
        bool got = false;
        while (getline(&line, &cap, in) > 0) {
            if (std::string(line).find(want) != std::string::npos) {
                got = true;
                break;
            }
        }
        if (!got) {
            std::fprintf(stderr, "bench_publish: the subscriber stopped receiving at call %d\n", n);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    pub.Stop();
    kill(sub, SIGTERM);
    kill(broker, SIGTERM);
    waitpid(sub, nullptr, 0);
    waitpid(broker, nullptr, 0);
    std::filesystem::remove_all(dir);

    std::sort(ms.begin(), ms.end());
    std::printf("%d calls, Publish() to a subscriber on this machine\n", kCalls);
    dialscope::bench::PrintResult("mqtt_publish_to_subscriber_median", ms[ms.size() / 2], "ms");
    dialscope::bench::PrintResult("mqtt_publish_to_subscriber_p99", ms[ms.size() * 99 / 100], "ms", "<=50");
    dialscope::bench::PrintResult("mqtt_publish_to_subscriber_max", ms.back(), "ms");
    return 0;
}
