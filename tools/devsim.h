// The caller-identification device, simulated on a pseudo-terminal: it
// answers the program's polls, sends its call log when asked, paces its bytes
// at the line rate, puts faults into the first download on request and can
// present itself as a plugged-in adapter in a fake sysfs tree.
//
// The simulator runs its own thread (Start); every public member function is
// safe to call from any thread. Events are reported as text lines (see
// tools/README.md) through the callback given in the options, mostly on the
// simulator's thread (Start and a refused Control line report on the
// caller's); the callback must not call Stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/devsim_log.h"
#include "tools/devsim_wire.h"
#include "tools/fake_adapter.h"

namespace dialscope::devsim {

enum class Respond {
    kAll,        // '2' gets the poll answer, 'D' gets a download
    kPollOnly,   // '2' gets the poll answer, 'D' gets nothing
    kNone,       // a silent device
};

struct SimOptions {
    CallLog log;
    size_t framePayload = kMaxFramePayload;   // data bytes per data frame
    double rate = kLineRate;                   // bytes per second when paced
    bool fast = false;                         // write as fast as the pty takes it
    Respond respond = Respond::kAll;
    uint8_t pollAnswer = '1';                  // or '0': "not now"
    FaultOptions faults;
    bool fakeAdapter = false;                  // build the sysfs tree in `adapter`
    AdapterLayout adapter;
    bool startPlugged = true;
    int exitAfterDownloads = 0;                // > 0: stop after this many complete downloads
    std::function<void(const std::string&)> onEvent;
};

// Parses the command line of dialscope-devsim. Returns false with *error set
// on a bad option; sets *help for --help and *version for --version. Options
// that only the executable uses are returned in the extra fields.
struct CommandLine {
    SimOptions sim;
    std::string expectPath;
    std::string writeLogPath;
    bool stdinControl = false;
    bool dryRun = false;
    bool dumpFrames = false;
    bool help = false;
    bool version = false;
};
bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);
std::string UsageText();

// The frames of a download and the plan of the first one, as the simulator
// will send them; what a correct program shows when the line spoils nothing.
struct DownloadSetup {
    std::vector<DownloadFrame> frames;
    WirePlan firstPlan;
    Prediction prediction;
};
bool PrepareDownload(const SimOptions& options, DownloadSetup* setup, std::string* error);

class Simulator {
public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Makes the pty (and, when plugged at start, the fake tree) and starts the
    // thread. SlavePath() is valid when it returns true.
    bool Start(std::string* error);
    // Ends the thread, hangs up the pty and removes the fake tree. Idempotent.
    void Stop();
    // Control, carried out on the simulator's thread soon after the call.
    void Plug();
    void Unplug();
    void SendUnasked(uint8_t command);           // a lone '0' or '1' frame
    // A control line: plug, unplug, status, quit, "send 0", "send 1".
    // Returns false for an unknown line (an "error ..." event is also sent).
    bool Control(const std::string& line);

    // Readable once the thread has ended (quit, --exit-after or Stop), for
    // a caller's poll(); -1 before Start.
    int DoneFd() const { return doneFd_; }
    bool Finished() const { return finished_.load(); }

    std::string SlavePath() const;
    bool Plugged() const;
    int DownloadsStarted() const;
    int DownloadsCompleted() const;
    uint64_t BytesSent() const;       // device bytes written to the pty in total
    size_t QueuedBytes() const;       // device bytes waiting to be sent
    std::vector<uint8_t> CommandsReceived() const;   // good command frames, in order
    const DownloadSetup& setup() const { return setup_; }

private:
    struct Segment;
    void Loop();
    void Emit(const std::string& line);
    bool OpenPty(std::string* error);
    void ClosePty();
    void DoPlug();
    void DoUnplug(bool hangup);
    void HandleControl(const std::string& line);
    void OnCommand(uint8_t command);
    void QueueDownload();
    void QueueFrame(uint8_t command);
    bool Step();
    bool WriteDue();                  // false when the pty is full
    bool DrainedOrLate();
    int PollTimeoutMs() const;

    SimOptions options_;
    DownloadSetup setup_;
    std::unique_ptr<FakeAdapter> adapter_;

    // The simulator thread's own state.
    int master_ = -1;
    int slave_ = -1;                  // held open, so the master never sees a hang-up
    FrameScanner scanner_;
    std::deque<Segment> out_;
    bool plugged_ = false;
    bool quit_ = false;
    int downloadsServed_ = 0;
    double pauseUntil_ = 0;           // steady seconds
    double originAt_ = -1;            // start of the pacing schedule; -1: start afresh
    uint64_t sentSinceOrigin_ = 0;
    bool blocked_ = false;            // the pty refused bytes; wait for POLLOUT
    double lastWriteAt_ = 0;
    double drainDeadline_ = -1;       // waiting for the program to read before a hang-up or exit
    bool exitAfterDrain_ = false;

    // Shared with callers.
    mutable std::mutex mu_;
    std::vector<std::string> controls_;
    std::string slavePath_;
    bool pluggedShared_ = false;
    int started_ = 0, completed_ = 0;
    uint64_t bytesSent_ = 0;
    size_t queued_ = 0;
    std::vector<uint8_t> commands_;

    int wakeFd_ = -1;
    int doneFd_ = -1;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace dialscope::devsim
