// A real broker for the publisher's tests: Debian's mosquitto on free loopback ports
// (plain with a password file, and TLS with a CA made by the openssl tool), and
// subscribers that are real clients (mosquitto_sub) writing what they get to a file.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/temp_dir.h"

#include "tests/support/loopback.h"

extern char** environ;

namespace dialscope::testing {

// Waits, polling, for a real process to do something; false after `limit`.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Starts argv with stdout and stderr going to `output` (or /dev/null); returns its pid.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& output = "/dev/null") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

inline int Run(const std::vector<std::string>& args, const std::string& output = "/dev/null") {
    pid_t pid = Spawn(args, output);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline void Reap(pid_t& pid, int sig = SIGKILL) {
    if (pid <= 0) return;
    kill(pid, sig);
    waitpid(pid, nullptr, 0);
    pid = -1;
}


class Broker {
public:
    static constexpr const char* kUser = "watcher";
    static constexpr const char* kPassword = "s3cret pass";

    // Without persistence a restarted broker has forgotten every retained message.
    explicit Broker(bool persistence = true) : port(FreePort()), tlsPort(FreePort()) {
        std::string d = dir.path();
        ok = Run({"mosquitto_passwd", "-b", "-c", d + "/passwd", kUser, kPassword}) == 0 &&
             MakeCertificates();
        std::ostringstream conf;
        if (geteuid() == 0) conf << "user root\n";  // else it drops to a user who cannot read the folder
        conf << "persistence " << (persistence ? "true" : "false") << "\npersistence_location " << d << "/\n"
             << "allow_anonymous false\npassword_file " << d << "/passwd\n"
             << "listener " << port << " 127.0.0.1\n"
             << "listener " << tlsPort << " 127.0.0.1\n"
             << "cafile " << d << "/ca.pem\ncertfile " << d << "/server.pem\nkeyfile " << d << "/server.key\n";
        WriteBytes(d + "/mosquitto.conf", conf.str());
        ok = ok && Start();
    }
    ~Broker() { Reap(pid, SIGKILL); }

    bool Start() {
        pid = Spawn({"/usr/sbin/mosquitto", "-c", dir.File("mosquitto.conf")}, dir.File("broker.log"));
        return pid > 0 && WaitUntil([&] { return Accepts(port) && Accepts(tlsPort); });
    }
    void Stop(int sig) { Reap(pid, sig); }

    std::string Ca() const { return dir.File("ca.pem"); }
    std::string OtherCa() const { return dir.File("other-ca.pem"); }

    TempDir dir;
    int port, tlsPort;
    pid_t pid = -1;
    bool ok = false;

private:
    bool MakeCertificates() {
        std::string d = dir.path();
        auto ca = [&](const std::string& name) {
            return Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=Test " + name, "-keyout", d + "/" + name + ".key", "-out", d + "/" + name + ".pem"}) == 0;
        };
        WriteBytes(d + "/san.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        return ca("ca") && ca("other-ca") &&
               Run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
                    d + "/server.key", "-out", d + "/server.csr"}) == 0 &&
               Run({"openssl", "x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.pem", "-CAkey",
                    d + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile", d + "/san.ext", "-out",
                    d + "/server.pem"}) == 0;
    }
};

// mosquitto_sub printing "<retained> <topic> <payload>" lines for everything under `filter`.
class Subscriber {
public:
    Subscriber(const Broker& b, const std::string& filter, const std::string& id = "")
        : file_(b.dir.File("sub-" + std::to_string(++Count()) + ".txt")) {
        std::vector<std::string> args = {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(b.port), "-u",
                                         Broker::kUser, "-P", Broker::kPassword, "-q", "1", "-t", filter,
                                         "-t", "probe", "-F", "%r %t %p"};
        if (!id.empty()) args.insert(args.end(), {"-c", "-i", id});
        pid_ = Spawn(args, file_);
        // Subscribed once a message published after it arrives.
        ready = WaitUntil([&] {
            Run({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(b.port), "-u", Broker::kUser, "-P",
                 Broker::kPassword, "-t", "probe", "-m", "probe"});
            return Text().find(" probe probe") != std::string::npos;
        });
    }
    ~Subscriber() { Reap(pid_); }

    std::string Text() const { return ReadBytes(file_); }
    // The lines received on `topic` (the payloads), in order.
    std::vector<std::string> On(const std::string& topic, bool* retained = nullptr) const {
        std::vector<std::string> out;
        std::istringstream in(Text());
        std::string line;
        while (std::getline(in, line)) {
            auto sp = line.find(' ', 2);
            if (sp == std::string::npos || line.compare(2, sp - 2, topic) != 0) continue;
            out.push_back(line.substr(sp + 1));
            if (retained) *retained = line[0] == '1';
        }
        return out;
    }

    bool ready = false;

private:
    static int& Count() {
        static int n = 0;
        return n;
    }
    std::string file_;
    pid_t pid_ = -1;
};

}  // namespace dialscope::testing
