// The console program as a user runs it: real processes (dialscope-cli and
// the device simulator) in a fake sysfs tree inside a temporary folder, with
// real history files. Paths of the programs come from the build.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/devsim_log.h"

namespace dialscope::cli::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A temporary folder holding an empty fake tree (sys/, dev/) and whatever
// files a test puts there.
struct Scratch {
    std::string path;
    Scratch() {
        char name[] = "/tmp/dialscope-cli-XXXXXX";
        path = mkdtemp(name);
        std::filesystem::create_directories(path + "/sys/class/tty");
        std::filesystem::create_directories(path + "/sys/bus/usb/devices");
        std::filesystem::create_directories(path + "/dev");
        // Unprivileged children (the permission cases) must reach it.
        std::filesystem::permissions(path, std::filesystem::perms::all);
    }
    ~Scratch() { std::filesystem::remove_all(path); }
    std::string File(const std::string& name) const { return path + "/" + name; }
    // The environment that points a program at the fake tree.
    std::vector<std::string> Env() const {
        return {"DIALSCOPE_SYSFS_ROOT=" + path + "/sys", "DIALSCOPE_DEV_ROOT=" + path + "/dev"};
    }
};

// A child process with its stdout and stderr in files (or stdin from a pipe
// the test writes to). `before` runs in the child just before exec.
class Process {
public:
    Process(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& out,
            const std::string& err, bool pipeStdin = false, const std::function<void()>& before = {}) {
        signal(SIGPIPE, SIG_IGN);  // a child that has gone must not take the test with it
        int in[2] = {-1, -1};
        if (pipeStdin && pipe2(in, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
        pid_ = fork();
        if (pid_ == 0) {
            if (pipeStdin) dup2(in[0], 0);
            else dup2(open("/dev/null", O_RDONLY), 0);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666), 2);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            if (before) before();
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (pipeStdin) {
            close(in[0]);
            stdin_ = in[1];
        }
    }
    ~Process() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            Wait(5s);
        }
        if (stdin_ >= 0) close(stdin_);
    }
    pid_t pid() const { return pid_; }
    void Send(const std::string& line) {
        const std::string l = line + "\n";
        EXPECT_EQ(write(stdin_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // The exit code (128 + signal when killed), or -1 when it is still
    // running after `limit`.
    int Wait(std::chrono::milliseconds limit) {
        if (exited_) return code_;
        const auto deadline = Clock::now() + limit;
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return code_;
            }
            if (Clock::now() > deadline) return -1;
            std::this_thread::sleep_for(5ms);
        }
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

// Polls `done` until it holds or `limit` passes.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

inline int CountLines(const std::string& text, const std::string& line) {
    int n = 0;
    size_t at = 0;
    while ((at = text.find(line + "\n", at)) != std::string::npos) {
        if (at == 0 || text[at - 1] == '\n') ++n;
        at += line.size();
    }
    return n;
}

// The simulator presenting the adapter in the scratch tree, controlled
// through its stdin; its event lines go to sim-N.out.
class Sim {
public:
    Sim(const Scratch& s, std::vector<std::string> extra, int n = 1) : out_(s.File("sim-" + std::to_string(n) + ".out")) {
        std::vector<std::string> args = {DIALSCOPE_DEVSIM_PATH, "--sysfs-root", s.path + "/sys", "--dev-root",
                                         s.path + "/dev", "--stdin-control"};
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<Process>(args, std::vector<std::string>{}, out_,
                                             s.File("sim-" + std::to_string(n) + ".err"), true);
        if (std::find(extra.begin(), extra.end(), "--start-unplugged") == extra.end()) {
            EXPECT_TRUE(WaitFor([&] { return !Pty().empty() && Count("plugged " + Pty()) >= 1; }, 10s)) << Events();
        }
    }
    ~Sim() {
        process_->Send("quit");
        process_->Wait(5s);
    }
    void Control(const std::string& line) { process_->Send(line); }
    std::string Events() const { return ReadAll(out_); }
    int Count(const std::string& line) const { return CountLines(Events(), line); }
    // The pseudo-terminal the device is on now.
    std::string Pty() const {
        const std::string e = Events();
        size_t at = e.rfind("pty ");
        if (at == std::string::npos) return {};
        return e.substr(at + 4, e.find('\n', at) - at - 4);
    }

private:
    std::string out_;
    std::unique_ptr<Process> process_;
};

// The console program, run to its end (at most `limit`).
struct CliRun {
    int code = -1;
    std::string out, err;
};
// `during` runs in the test while the program runs.
inline CliRun RunCli(const Scratch& s, std::vector<std::string> args, std::chrono::milliseconds limit = 60s,
                  const std::function<void()>& before = {}, const std::function<void(Process&)>& during = {}) {
    static int runs = 0;
    const std::string out = s.File("cli-" + std::to_string(++runs) + ".out");
    const std::string err = s.File("cli-" + std::to_string(runs) + ".err");
    args.insert(args.begin(), DIALSCOPE_CLI_PATH);
    CliRun r;
    {
        Process p(args, s.Env(), out, err, false, before);
        if (during) during(p);
        r.code = p.Wait(limit);
        EXPECT_NE(r.code, -1) << "dialscope-cli did not end within " << limit.count() << " ms";
    }
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

// What the program running now has said on stderr so far.
inline std::string NewestErr(const Scratch& s) {
    int newest = 0;
    for (const auto& entry : std::filesystem::directory_iterator(s.path)) {
        const std::string name = entry.path().filename();
        if (name.rfind("cli-", 0) == 0 && name.size() > 8 && name.compare(name.size() - 4, 4, ".err") == 0)
            newest = std::max(newest, std::atoi(name.c_str() + 4));
    }
    return ReadAll(s.File("cli-" + std::to_string(newest) + ".err"));
}

// The kept calls, as the history command lists them in JSON.
inline std::vector<nlohmann::json> KeptCalls(const Scratch& s, const std::string& history,
                                             const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"--history", history, "history", "--format", "json"};
    args.insert(args.end(), more.begin(), more.end());
    CliRun r = RunCli(s, args);
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<nlohmann::json> calls;
    size_t at = 0, nl;
    while ((nl = r.out.find('\n', at)) != std::string::npos) {
        calls.push_back(nlohmann::json::parse(r.out.substr(at, nl - at)));
        at = nl + 1;
    }
    EXPECT_EQ(at, r.out.size()) << "a JSON line without its line end";
    return calls;
}

inline std::string Hex(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {kHex[c >> 4], kHex[c & 15]};
    return out;
}

// The simulator's call log file for these records.
inline std::string LogFile(const Scratch& s, const std::string& name, const devsim::CallLog& log) {
    WriteAll(s.File(name), devsim::FormatCallLog(log));
    return s.File(name);
}

// Each LF as CR LF: the window's Save.
inline std::string SavedBytes(const std::string& shown) {
    std::string out;
    for (char c : shown) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

}  // namespace dialscope::cli::test
