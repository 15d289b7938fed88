#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include "tools/devsim.h"

namespace dialscope::devsim {

namespace {

constexpr double kTick = 0.010;          // the pacing schedule's step
constexpr double kHangupDrain = 1.0;     // wait this long at most for the program to read
constexpr double kExitDrain = 2.0;
constexpr double kSettle = 0.020;        // bytes just written may still be on their way

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t NoiseSeed(const FaultOptions& f, int download) { return f.seed * 1000003ull + static_cast<uint64_t>(download); }

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

struct Simulator::Segment {
    enum class Kind { kBytes, kPause, kHangUp, kDownloadStart, kDownloadEnd };
    Kind kind = Kind::kBytes;
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    double seconds = 0;
    int download = 0;
};

bool PrepareDownload(const SimOptions& options, DownloadSetup* setup, std::string* error) {
    DownloadSetup s;
    s.frames = BuildDownloadFrames(options.log, options.framePayload);
    if (!PlanDownload(s.frames, options.faults, true, NoiseSeed(options.faults, 1), &s.firstPlan, error)) return false;
    s.prediction = PredictProgramLog(options.log, s.firstPlan, options.faults);
    *setup = std::move(s);
    return true;
}

// The device knows two commands, both without payload. Until the program
// sets its end raw the tty echoes the device's own frames back to it; those
// ('1', '0', 'E', the header's 'D' with its payload) are skipped.
Simulator::Simulator(SimOptions options)
    : options_(std::move(options)), scanner_(0, [](uint8_t c) { return c == '2' || c == 'D'; }) {
    if (options_.rate <= 0) options_.rate = kLineRate;
}

Simulator::~Simulator() {
    Stop();
    if (wakeFd_ >= 0) close(wakeFd_);
    if (doneFd_ >= 0) close(doneFd_);
}

bool Simulator::Start(std::string* error) {
    if (thread_.joinable() || finished_) {
        if (error) *error = "already started";
        return false;
    }
    if (!PrepareDownload(options_, &setup_, error)) return false;
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    doneFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0 || doneFd_ < 0) {
        if (error) *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (options_.fakeAdapter) {
        if (options_.adapter.sysfsRoot.empty() || options_.adapter.devRoot.empty()) {
            if (error) *error = "a fake adapter needs both a sysfs root and a dev root";
            return false;
        }
        adapter_ = std::make_unique<FakeAdapter>(options_.adapter);
    }
    if (!OpenPty(error)) return false;
    if (options_.startPlugged) {
        DoPlug();
        if (!plugged_) {
            if (error) *error = "cannot present the adapter (see the error event)";
            ClosePty();
            return false;
        }
    } else {
        Emit("unplugged");
    }
    thread_ = std::thread(&Simulator::Loop, this);
    return true;
}

void Simulator::Stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            controls_.push_back("quit");
        }
        uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
        thread_.join();
    } else if (!finished_) {
        // Start failed half way: undo what it made.
        if (adapter_) adapter_->Unplug();
        ClosePty();
    }
}

bool Simulator::Control(const std::string& raw) {
    std::string line = Trim(raw);
    bool known = line == "plug" || line == "unplug" || line == "status" || line == "quit" || line == "send 0" ||
                 line == "send 1";
    if (!known) {
        if (!line.empty()) Emit("error unknown command: " + line);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        controls_.push_back(line);
    }
    uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
    return true;
}

void Simulator::Plug() { Control("plug"); }
void Simulator::Unplug() { Control("unplug"); }
void Simulator::SendUnasked(uint8_t command) { Control(std::string("send ") + static_cast<char>(command)); }

std::string Simulator::SlavePath() const {
    std::lock_guard<std::mutex> lock(mu_);
    return slavePath_;
}
bool Simulator::Plugged() const {
    std::lock_guard<std::mutex> lock(mu_);
    return pluggedShared_;
}
int Simulator::DownloadsStarted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return started_;
}
int Simulator::DownloadsCompleted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return completed_;
}
uint64_t Simulator::BytesSent() const {
    std::lock_guard<std::mutex> lock(mu_);
    return bytesSent_;
}
size_t Simulator::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return queued_;
}
std::vector<uint8_t> Simulator::CommandsReceived() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
}

void Simulator::Emit(const std::string& line) {
    if (options_.onEvent) options_.onEvent(line);
}

// ---------------------------------------------------------------- the pty

bool Simulator::OpenPty(std::string* error) {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        if (error) *error = std::string("openpty: ") + std::strerror(errno);
        master_ = slave_ = -1;
        return false;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    // No line settings on either end: a pty has one set for both, and the
    // program must meet its end as a freshly plugged adapter's tty, at the
    // kernel's defaults (echo, canonical input, XON/XOFF, CR/LF translation),
    // and set the line up itself.
    scanner_.Reset();
    blocked_ = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        slavePath_ = name;
    }
    Emit(std::string("pty ") + name);
    return true;
}

void Simulator::ClosePty() {
    // Closing the master is what a pulled adapter looks like from the
    // program's side: its descriptor reports a hang-up.
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
}

// ---------------------------------------------------------------- plug state

void Simulator::DoPlug() {
    if (plugged_) return;
    if (master_ < 0) {
        std::string why;
        if (!OpenPty(&why)) {
            Emit("error " + why);
            return;
        }
    }
    std::string path = SlavePath();
    if (adapter_) {
        std::string why;
        if (!adapter_->Plug(path, &why)) {
            adapter_->Unplug();
            Emit("error " + why);
            return;
        }
    }
    plugged_ = true;
    {
        std::lock_guard<std::mutex> lock(mu_);
        pluggedShared_ = true;
    }
    Emit("plugged " + path);
}

void Simulator::DoUnplug(bool hangup) {
    if (!plugged_ && !hangup) return;
    if (hangup) Emit("hangup");
    if (adapter_) adapter_->Unplug();
    ClosePty();
    out_.clear();
    pauseUntil_ = 0;
    drainDeadline_ = -1;
    plugged_ = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        pluggedShared_ = false;
        queued_ = 0;
    }
    Emit("unplugged");
    std::string why;
    if (!OpenPty(&why)) {   // a fresh line for the next plug
        Emit("error " + why);
        quit_ = true;
    }
}

void Simulator::HandleControl(const std::string& line) {
    if (line == "plug") {
        DoPlug();
    } else if (line == "unplug") {
        DoUnplug(false);
    } else if (line == "quit") {
        quit_ = true;
    } else if (line == "status") {
        std::lock_guard<std::mutex> lock(mu_);
        std::string s = std::string("status ") + (plugged_ ? "plugged" : "unplugged") + " pty " + slavePath_ +
                        " downloads " + std::to_string(started_) + " " + std::to_string(completed_);
        if (options_.onEvent) options_.onEvent(s);
    } else if (line.rfind("send ", 0) == 0) {
        if (plugged_) QueueFrame(static_cast<uint8_t>(line[5]));
    }
}

// ---------------------------------------------------------------- dialogue

void Simulator::OnCommand(uint8_t command) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        commands_.push_back(command);
    }
    Emit(std::string("rx ") + static_cast<char>(command));
    if (!plugged_) return;
    if (command == '2' && options_.respond != Respond::kNone) {
        QueueFrame(options_.pollAnswer);
    } else if (command == 'D' && options_.respond == Respond::kAll) {
        QueueDownload();
    }
}

void Simulator::QueueFrame(uint8_t command) {
    Segment s;
    s.bytes = EncodeFrame(Frame{command, {}});
    {
        std::lock_guard<std::mutex> lock(mu_);
        queued_ += s.bytes.size();
    }
    out_.push_back(std::move(s));
    Emit(std::string("tx ") + static_cast<char>(command));
}

void Simulator::QueueDownload() {
    // A download asked for while another one waits to start is the same
    // request twice (the program polls again after its time-outs).
    for (const Segment& s : out_)
        if (s.kind == Segment::Kind::kDownloadStart) return;

    const int number = ++downloadsServed_;
    WirePlan later;
    const WirePlan* plan = &setup_.firstPlan;
    if (number > 1) {
        PlanDownload(setup_.frames, options_.faults, false, NoiseSeed(options_.faults, number), &later, nullptr);
        plan = &later;
    }
    Segment start;
    start.kind = Segment::Kind::kDownloadStart;
    start.download = number;
    out_.push_back(std::move(start));
    size_t bytes = 0;
    bool hangup = false;
    for (const WireItem& item : plan->items) {
        Segment s;
        switch (item.kind) {
        case WireItem::Kind::kBytes:
            s.bytes = item.bytes;
            bytes += s.bytes.size();
            break;
        case WireItem::Kind::kPause:
            s.kind = Segment::Kind::kPause;
            s.seconds = item.seconds;
            break;
        case WireItem::Kind::kHangUp:
            s.kind = Segment::Kind::kHangUp;
            hangup = true;
            break;
        }
        out_.push_back(std::move(s));
    }
    if (!hangup) {
        Segment end;
        end.kind = Segment::Kind::kDownloadEnd;
        end.download = number;
        out_.push_back(std::move(end));
    }
    std::lock_guard<std::mutex> lock(mu_);
    queued_ += bytes;
}

// ---------------------------------------------------------------- the loop

bool Simulator::DrainedOrLate() {
    double now = Now();
    if (now >= drainDeadline_) return true;
    if (now - lastWriteAt_ < kSettle) return false;
    int unread = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &unread) != 0) return true;
    return unread == 0;
}

bool Simulator::WriteDue() {
    const double now = Now();
    size_t allowance;
    if (options_.fast) {
        allowance = SIZE_MAX;
    } else {
        // The line carries `rate` bytes a second; every tick sends what is due
        // by its end. After a stall (a full pty) the schedule does not catch
        // up in a burst the line could never carry.
        if (originAt_ < 0) {
            originAt_ = now;
            sentSinceOrigin_ = 0;
        }
        const auto target = static_cast<uint64_t>(std::ceil((now - originAt_ + kTick) * options_.rate));
        const auto burst = static_cast<uint64_t>(std::max(1.0, 2 * kTick * options_.rate));
        if (target > sentSinceOrigin_ + burst) sentSinceOrigin_ = target - burst;
        allowance = target > sentSinceOrigin_ ? static_cast<size_t>(target - sentSinceOrigin_) : 0;
    }
    while (allowance > 0 && !out_.empty() && out_.front().kind == Segment::Kind::kBytes) {
        Segment& s = out_.front();
        size_t n = std::min(allowance, s.bytes.size() - s.offset);
        ssize_t w = n == 0 ? 0 : write(master_, s.bytes.data() + s.offset, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;                    // EAGAIN: the pty is full
        }
        s.offset += static_cast<size_t>(w);
        allowance -= static_cast<size_t>(w);
        sentSinceOrigin_ += static_cast<uint64_t>(w);
        if (w > 0) lastWriteAt_ = now;
        {
            std::lock_guard<std::mutex> lock(mu_);
            bytesSent_ += static_cast<uint64_t>(w);
            queued_ -= static_cast<size_t>(w);
        }
        if (s.offset == s.bytes.size()) out_.pop_front();
        else if (static_cast<size_t>(w) < n) return false;
    }
    return true;
}

// Runs the markers at the head of the queue and writes what is due. Returns
// true when something changed, so the caller goes round again at once.
bool Simulator::Step() {
    const double now = Now();
    if (drainDeadline_ >= 0) {
        if (!DrainedOrLate()) return false;
        drainDeadline_ = -1;
        if (exitAfterDrain_) {
            quit_ = true;
            return true;
        }
        out_.pop_front();                    // the hang-up marker
        DoUnplug(true);
        return true;
    }
    if (out_.empty()) {
        originAt_ = -1;                      // the next answer starts a fresh schedule
        return false;
    }
    Segment& s = out_.front();
    switch (s.kind) {
    case Segment::Kind::kDownloadStart: {
        {
            std::lock_guard<std::mutex> lock(mu_);
            ++started_;
        }
        Emit("download " + std::to_string(s.download) + " start");
        out_.pop_front();
        return true;
    }
    case Segment::Kind::kDownloadEnd: {
        int done;
        {
            std::lock_guard<std::mutex> lock(mu_);
            done = ++completed_;
        }
        Emit("download " + std::to_string(s.download) + " end");
        out_.pop_front();
        if (options_.exitAfterDownloads > 0 && done >= options_.exitAfterDownloads) {
            exitAfterDrain_ = true;
            drainDeadline_ = now + kExitDrain;
        }
        return true;
    }
    case Segment::Kind::kPause:
        if (pauseUntil_ == 0) {
            pauseUntil_ = now + s.seconds;
            Emit("pause " + std::to_string(s.seconds));
        }
        if (now < pauseUntil_) return false;
        pauseUntil_ = 0;
        originAt_ = -1;
        out_.pop_front();
        Emit("resume");
        return true;
    case Segment::Kind::kHangUp:
        drainDeadline_ = now + kHangupDrain;
        return true;
    case Segment::Kind::kBytes:
        if (blocked_) return false;
        if (!WriteDue()) blocked_ = true;
        if (out_.empty()) originAt_ = -1;    // the next answer starts a fresh schedule
        // Go round at once only for a marker that is now at the head; bytes
        // wait for the next tick (paced) or for room in the pty (fast).
        return !out_.empty() && out_.front().kind != Segment::Kind::kBytes;
    }
    return false;
}

int Simulator::PollTimeoutMs() const {
    if (drainDeadline_ >= 0) return 5;
    if (out_.empty()) return -1;
    const Segment& s = out_.front();
    if (s.kind == Segment::Kind::kPause && pauseUntil_ > 0) {
        double left = pauseUntil_ - Now();
        return left <= 0 ? 0 : static_cast<int>(std::ceil(left * 1000));
    }
    if (s.kind != Segment::Kind::kBytes) return 0;
    if (options_.fast) return blocked_ ? -1 : 0;
    return static_cast<int>(kTick * 1000);
}

void Simulator::Loop() {
    uint8_t buf[512];
    std::vector<FrameScanner::Scanned> frames;
    while (!quit_) {
        std::vector<std::string> controls;
        {
            std::lock_guard<std::mutex> lock(mu_);
            controls.swap(controls_);
        }
        for (const std::string& c : controls) HandleControl(c);
        if (quit_) break;

        for (int guard = 0; guard < 1000 && !quit_ && Step(); ++guard) {
        }
        if (quit_) break;

        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {master_, static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0)), 0}};
        int n = poll(fds, master_ >= 0 ? 2 : 1, PollTimeoutMs());
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            (void)!read(wakeFd_, &v, sizeof v);
        }
        if (master_ < 0) continue;
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN)) {
            // Cannot happen while the slave is held open; should it, do not spin.
            poll(nullptr, 0, 10);
            continue;
        }
        if (fds[1].revents & POLLOUT) blocked_ = false;
        if (fds[1].revents & POLLIN) {
            ssize_t got = read(master_, buf, sizeof buf);
            if (got > 0) {
                frames.clear();
                scanner_.Feed(buf, static_cast<size_t>(got), &frames);
                for (const auto& f : frames) {
                    if (f.crcOk) OnCommand(f.frame.command);
                    else Emit(std::string("rx-bad-crc ") + static_cast<char>(f.frame.command));
                }
            }
        }
    }
    if (adapter_) adapter_->Unplug();
    ClosePty();
    {
        std::lock_guard<std::mutex> lock(mu_);
        pluggedShared_ = false;
    }
    Emit("exit");
    finished_ = true;
    uint64_t one = 1;
    (void)!write(doneFd_, &one, sizeof one);
}

}  // namespace dialscope::devsim
