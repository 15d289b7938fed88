// Runs the user's command once per new call (--exec), one call at a time.
//
// The command is run directly (fork + execvp) with its own argument list; no shell
// ever sees the caller's text, which anyone can spoof through the phone line. The
// call reaches the command in environment variables and as JSON on its stdin. Its
// stdout goes to stderr, beside ours, so that the watcher's stdout stays a clean
// stream of JSON lines. The child inherits only stdin, stdout and stderr, runs in its own process group, and
// is stopped when it outlives the time limit: SIGTERM to the whole group, then, after
// a grace period, SIGKILL to what is left of it (what the command started too). Inherited DIALSCOPE_* variables (the MQTT password among them) are not
// passed on.
//
// A bounded queue sits in front of it: when it is full the newest call is not run
// (the earlier ones keep their order), and that is reported. All reports are plain
// words through the report callback (stderr by default), from the runner's thread.
// How each run ended goes to the done callback, also from the runner's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dialscope::publish {

// Splits an --exec option value into arguments with shell-like quoting only:
// whitespace separates, '...' is literal, inside "..." a backslash escapes only
// \" \\ \$ \` (and is kept before anything else), and a backslash outside quotes
// escapes the next character; a backslash before a line end joins the lines.
// Nothing is expanded ($, `, *, ~ stay as they are). False with *error set for an
// unclosed quote or an empty command.
bool SplitCommand(const std::string& text, std::vector<std::string>* argv, std::string* error);

struct ExecOptions {
    std::vector<std::string> argv;                 // argv[0] is looked up in PATH
    std::chrono::milliseconds timeLimit{30000};
    std::chrono::milliseconds killGrace{2000};    // between SIGTERM and SIGKILL
    std::size_t maxQueued = 100;
};

struct ExecCall {
    std::string id;                           // for reports ("call pi-7")
    std::map<std::string, std::string> env;   // e.g. DIALSCOPE_CALL_ID -> "pi-7"
    std::string json;                         // written to the command's stdin
    std::int64_t number = 0;                  // the caller's own number for it, for its DoneFn
};

// How one run of the command ended.
struct ExecResult {
    enum Kind {
        Exited,      // code: its exit status
        Signalled,   // code: the signal that ended it
        TimedOut,    // ran longer than the time limit and was stopped
        NotStarted,  // the command could not be started (said through the report callback)
        Stopped,     // cut short by Stop(): it did not finish
    } kind = Exited;
    int code = 0;
};

class ExecRunner {
public:
    using ReportFn = std::function<void(const std::string& message)>;
    using DoneFn = std::function<void(const ExecCall& call, const ExecResult& result)>;
    explicit ExecRunner(ExecOptions options, ReportFn report = {}, DoneFn done = {});
    ~ExecRunner();  // Stop()
    ExecRunner(const ExecRunner&) = delete;
    ExecRunner& operator=(const ExecRunner&) = delete;

    bool Start(std::string* error);
    // Returns at once. False (and reported) when the queue is full or not started.
    bool Submit(ExecCall call);
    // Stops a running command at once (SIGTERM, then SIGKILL; its done callback gets
    // Stopped), drops the calls still waiting and ends the thread. Returns how many
    // calls were dropped; saying so is the caller's business.
    std::size_t Stop();
    std::size_t Pending() const;  // calls waiting or running

    struct Core;

private:
    std::unique_ptr<Core> core_;
};

}  // namespace dialscope::publish
