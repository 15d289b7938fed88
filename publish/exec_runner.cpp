#include "publish/exec_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>

extern char** environ;

namespace dialscope::publish {

bool SplitCommand(const std::string& text, std::vector<std::string>* argv, std::string* error) {
    argv->clear();
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) argv->push_back(word), word.clear(), inWord = false;
        } else if (c == '\'') {
            auto end = text.find('\'', i + 1);
            if (end == std::string::npos) return *error = "The command has an unclosed ' quote.", false;
            word += text.substr(i + 1, end - i - 1);
            i = end;
            inWord = true;
        } else if (c == '"') {
            // Inside double quotes a backslash escapes only $ ` " \ and a line
            // end (which it removes, as a shell joins the lines); before anything
            // else it is kept.
            std::size_t j = i + 1;
            for (; j < text.size() && text[j] != '"'; ++j) {
                const bool escape = text[j] == '\\' && j + 1 < text.size() &&
                                    std::string_view("\"\\$`\n").find(text[j + 1]) != std::string_view::npos;
                if (escape && text[++j] == '\n') continue;
                word += text[j];
            }
            if (j >= text.size()) return *error = "The command has an unclosed \" quote.", false;
            i = j;
            inWord = true;
        } else if (c == '\\') {
            if (i + 1 >= text.size()) return *error = "The command ends with a lone backslash.", false;
            // A backslash and a line end join two lines.
            if (text[++i] == '\n') continue;
            word += text[i];
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) argv->push_back(word);
    if (argv->empty()) return *error = "The command is empty.", false;
    return true;
}

namespace {

std::string Seconds(std::chrono::milliseconds ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", ms.count() / 1000.0);
    return buf;
}

int PidFd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

struct ExecRunner::Core {
    ExecOptions opt;
    ReportFn report;
    DoneFn done;
    std::size_t dropped = 0;
    mutable std::mutex mu;
    std::condition_variable cv;
    std::deque<ExecCall> queue;
    bool running = false;  // a command is running now
    bool stopping = false;
    bool started = false;
    int stopFd = -1;  // eventfd: Stop cuts a running command short
    std::thread thread;

    void Say(const std::string& text) {
        if (report)
            report(text);
        else
            std::fprintf(stderr, "dialscope: %s\n", text.c_str());
    }
    void Run();
    ExecResult RunOne(const ExecCall& call);
};

void ExecRunner::Core::Run() {
    // A command that exits without reading all of its stdin must give this thread
    // EPIPE, not a SIGPIPE that ends the whole program. SIGPIPE from a write is sent
    // to the writing thread, so blocking it here is enough.
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
    for (;;) {
        ExecCall call;
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return stopping || !queue.empty(); });
            if (stopping) break;
            call = std::move(queue.front());
            queue.pop_front();
            running = true;
        }
        const ExecResult result = RunOne(call);
        if (done) done(call, result);
        timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
        }
        std::lock_guard<std::mutex> lock(mu);
        running = false;
    }
    std::lock_guard<std::mutex> lock(mu);
    dropped = queue.size();
    queue.clear();
}

ExecResult ExecRunner::Core::RunOne(const ExecCall& call) {
    const ExecResult notStarted{ExecResult::NotStarted, 0};
    // Everything the child needs is built before fork: after fork in a threaded
    // program only async-signal-safe calls are allowed.
    std::vector<std::string> envText;
    for (char** e = environ; e && *e; ++e) {
        std::string s = *e;
        std::string name = s.substr(0, s.find('='));
        if (name.rfind("DIALSCOPE_", 0) == 0 || call.env.count(name)) continue;
        envText.push_back(std::move(s));
    }
    for (const auto& [name, value] : call.env) {
        if (name.empty() || name.find('=') != std::string::npos) continue;
        std::string v;
        for (char c : value)
            if (c != '\0') v += c;  // an environment string ends at NUL
        envText.push_back(name + "=" + v);
    }
    std::vector<char*> envp, argv;
    for (auto& s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = opt.argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    int in[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        Say("The command for call " + call.id + " cannot be started: " + std::strerror(errno) + ".");
        return notStarted;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        Say("The command for call " + call.id + " cannot be started: " + std::strerror(errno) + ".");
        close(in[0]), close(in[1]);
        return notStarted;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        // The watcher's stdout carries its JSON lines; what the command prints goes
        // to stderr (the journal, for the service) so it never mixes into that stream.
        dup2(2, 1);
        // Only stdin, stdout, stderr and the exec-error pipe (as fd 3, closed by the
        // exec itself) stay open: never the serial port, the history's database or
        // the broker's socket.
        if (err[1] != 3) dup3(err[1], 3, O_CLOEXEC);
        syscall(SYS_close_range, 4, ~0U, 0);
        execvpe(argv[0], argv.data(), envp.data());
        int e = errno;
        ssize_t n = write(3, &e, sizeof e);
        (void)n;
        _exit(127);
    }
    close(in[0]);
    close(err[1]);
    if (pid < 0) {
        Say("The command for call " + call.id + " cannot be started: " + std::strerror(errno) + ".");
        close(in[1]), close(err[0]);
        return notStarted;
    }
    setpgid(pid, pid);  // either side may get there first

    int execErr = 0;
    ssize_t got = read(err[0], &execErr, sizeof execErr);  // EOF once exec succeeded
    close(err[0]);
    if (got == static_cast<ssize_t>(sizeof execErr)) {
        close(in[1]);
        waitpid(pid, nullptr, 0);
        Say("The command \"" + opt.argv[0] + "\" for call " + call.id + " cannot be started: " +
            std::strerror(execErr) + ".");
        return notStarted;
    }

    int pidfd = PidFd(pid);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    int inFd = in[1];
    if (call.json.empty()) close(inFd), inFd = -1;
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + opt.timeLimit;
    enum { Running, Terminated, Killed } phase = Running;
    bool stopRequested = false;
    bool leaderGone = false;
    int status = 0;
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline || (stopRequested && phase == Running)) {
            if (phase == Running) {
                kill(-pid, SIGTERM);
                phase = Terminated;
                deadline = now + opt.killGrace;
            } else if (phase == Terminated) {
                kill(-pid, SIGKILL);
                phase = Killed;
                deadline = now + std::chrono::hours(1);
            }
        }
        // The command was stopped and has ended; what else of its group got
        // SIGTERM with it (a helper cleaning up) has the rest of the grace
        // period, then is killed. An exited one counts until it is reaped.
        if (leaderGone && (phase == Killed || kill(-pid, 0) != 0)) break;
        pollfd p[3] = {{leaderGone ? -1 : pidfd, POLLIN, 0}, {stopFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
        int wait = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
        // No pidfd (old kernel), or nothing to wait on but the group: look now and then.
        if (pidfd < 0 || leaderGone) wait = std::min(wait, 10);
        if (poll(p, inFd >= 0 ? 3 : 2, wait) < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) stopRequested = true;
        if (inFd >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(inFd, call.json.data() + written, call.json.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN) || written == call.json.size()) close(inFd), inFd = -1;
        }
        if (!leaderGone && waitpid(pid, &status, WNOHANG) == pid) {
            leaderGone = true;
            // Ended by itself: what it left running in the background stays.
            if (phase == Running) break;
        }
    }
    if (!leaderGone) {
        // poll failed: do not leave the command behind.
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (inFd >= 0) close(inFd);
    if (pidfd >= 0) close(pidfd);
    if (phase != Running) kill(-pid, SIGKILL);
    // Cut short by Stop, or killed because poll failed: it did not finish. One
    // that ended by itself as the stop came has run.
    if (!leaderGone || (stopRequested && phase != Running)) return {ExecResult::Stopped, 0};
    if (phase != Running) {
        Say("The command for call " + call.id + " ran longer than " + Seconds(opt.timeLimit) + " and was stopped.");
        return {ExecResult::TimedOut, 0};
    }
    if (WIFSIGNALED(status)) {
        Say("The command for call " + call.id + " was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
            strsignal(WTERMSIG(status)) + ").");
        return {ExecResult::Signalled, WTERMSIG(status)};
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    if (code != 0)
        Say("The command for call " + call.id + " failed with exit status " + std::to_string(code) + ".");
    return {ExecResult::Exited, code};
}

ExecRunner::ExecRunner(ExecOptions options, ReportFn report, DoneFn done) : core_(std::make_unique<Core>()) {
    core_->opt = std::move(options);
    core_->report = std::move(report);
    core_->done = std::move(done);
}

ExecRunner::~ExecRunner() { Stop(); }

bool ExecRunner::Start(std::string* error) {
    Core& c = *core_;
    if (c.started) return true;
    if (c.opt.argv.empty() || c.opt.argv[0].empty()) {
        if (error) *error = "The command to run for each call is empty.";
        return false;
    }
    c.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (c.stopFd < 0) {
        if (error) *error = std::string("Cannot start the command runner: ") + std::strerror(errno) + ".";
        return false;
    }
    c.started = true;
    c.thread = std::thread([&c] { c.Run(); });
    return true;
}

bool ExecRunner::Submit(ExecCall call) {
    Core& c = *core_;
    std::unique_lock<std::mutex> lock(c.mu);
    if (!c.started || c.stopping) return false;
    if (c.queue.size() >= c.opt.maxQueued) {
        lock.unlock();
        c.Say(std::to_string(c.opt.maxQueued) + " calls already wait for the command; call " + call.id +
              " is not run for it.");
        return false;
    }
    c.queue.push_back(std::move(call));
    c.cv.notify_one();
    return true;
}

std::size_t ExecRunner::Stop() {
    Core& c = *core_;
    {
        std::lock_guard<std::mutex> lock(c.mu);
        if (!c.started || c.stopping) return 0;
        c.stopping = true;
        c.cv.notify_one();
    }
    std::uint64_t one = 1;
    ssize_t n = write(c.stopFd, &one, sizeof one);
    (void)n;
    c.thread.join();
    close(c.stopFd);
    return c.dropped;
}

std::size_t ExecRunner::Pending() const {
    std::lock_guard<std::mutex> lock(core_->mu);
    return core_->queue.size() + (core_->running ? 1 : 0);
}

}  // namespace dialscope::publish
