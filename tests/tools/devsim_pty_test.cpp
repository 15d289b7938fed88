// The simulator on real pseudo-terminals, in-process and as a process. These
// tests wait on conditions with a deadline; nothing assumes a timing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "serial/line_settings_posix.h"
#include "tools/devsim.h"

namespace fs = std::filesystem;

namespace dialscope::devsim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kPoll2 = {0x7E, 0x7E, 0x32, 0x00, 0x63, 0xF7};
const Bytes kPollD = {0x7E, 0x7E, 0x44, 0x00, 0xC1, 0x08};
const Bytes kAnswer1 = {0x7E, 0x7E, 0x31, 0x00, 0x36, 0xA4};
const Bytes kAnswer0 = {0x7E, 0x7E, 0x30, 0x00, 0x05, 0x95};

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool WaitFor(const std::function<bool()>& condition, double seconds = 5.0) {
    const auto start = Clock::now();
    while (!condition()) {
        if (Seconds(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The program's side of the line: it opens its end as the program does,
// applies the program's own line settings to whatever the tty had (the
// kernel's defaults: the simulator sets nothing, as a freshly plugged
// adapter's tty), and drops what waited there.
int OpenLine(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    ApplyLineSettings(t, 57600, false, 8, 0);
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIFLUSH);
    return fd;
}

void Send(int fd, const Bytes& b) { ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

struct Reading {
    Bytes bytes;
    std::vector<std::pair<double, size_t>> arrivals;   // (seconds since start, total bytes)
    bool hungUp = false;
    bool done = false;
};

// Reads until `done` says so, the line hangs up or the deadline passes.
Reading ReadUntil(int fd, const std::function<bool(const Bytes&)>& done, double seconds = 5.0) {
    Reading r;
    const auto start = Clock::now();
    while (!(r.done = done(r.bytes)) && Seconds(start) < seconds) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        uint8_t buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            r.bytes.insert(r.bytes.end(), buf, buf + n);
            r.arrivals.emplace_back(Seconds(start), r.bytes.size());
        } else if (n == 0 || errno == EIO) {
            r.hungUp = true;
            break;
        }
    }
    return r;
}

std::vector<FrameScanner::Scanned> Parse(const Bytes& b, uint64_t* skipped = nullptr) {
    FrameScanner scanner(kMaxFramePayload, IsDeviceCommand);
    std::vector<FrameScanner::Scanned> out;
    scanner.Feed(b.data(), b.size(), &out);
    if (skipped) *skipped = scanner.Skipped();
    return out;
}

bool EndsWithEndFrame(const Bytes& b) {
    auto f = Parse(b);
    return !f.empty() && f.back().frame.command == 'E';
}

void ExpectWholeDownload(const Bytes& got, const std::vector<DownloadFrame>& frames) {
    uint64_t skipped = 1;
    auto parsed = Parse(got, &skipped);
    EXPECT_EQ(skipped, 0u);
    ASSERT_EQ(parsed.size(), frames.size());
    for (size_t i = 0; i < parsed.size(); ++i) {
        EXPECT_TRUE(parsed[i].crcOk) << i;
        EXPECT_EQ(parsed[i].frame, frames[i].frame) << i;
    }
}

struct EventLog {
    std::mutex mu;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> Sink() {
        return [this](const std::string& l) {
            std::lock_guard<std::mutex> lock(mu);
            lines.push_back(l);
        };
    }
    bool Has(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST(DevsimPty, AnswersPollsAndSendsTheWholeDownload) {
    EventLog events;
    SimOptions o;
    o.log = GenerateCallLog(6, 3);
    o.fast = true;
    o.onEvent = events.Sink();
    Simulator sim(o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    ASSERT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0u);
    EXPECT_TRUE(events.Has("pty " + sim.SlavePath()));
    int fd = OpenLine(sim.SlavePath());
    ASSERT_GE(fd, 0);

    Send(fd, kPoll2);
    Reading r = ReadUntil(fd, [](const Bytes& b) { return b.size() >= 6; });
    EXPECT_EQ(r.bytes, kAnswer1);

    for (int round = 1; round <= 2; ++round) {   // back to listening after each download
        Send(fd, kPollD);
        r = ReadUntil(fd, EndsWithEndFrame);
        ASSERT_TRUE(r.done) << "round " << round;
        ExpectWholeDownload(r.bytes, sim.setup().frames);
        EXPECT_TRUE(WaitFor([&] { return sim.DownloadsCompleted() == round; }));
    }
    Send(fd, kPoll2);
    EXPECT_EQ(ReadUntil(fd, [](const Bytes& b) { return b.size() >= 6; }).bytes, kAnswer1);
    EXPECT_EQ(sim.CommandsReceived(), (Bytes{'2', 'D', 'D', '2'}));
    EXPECT_TRUE(events.Has("download 2 end"));
    EXPECT_TRUE(events.Has("rx D"));
    close(fd);
    sim.Stop();
    EXPECT_TRUE(sim.Finished());
}

// Until the program sets its end up, the tty echoes what the device sends
// back to the device; the simulator must take none of it for a command.
TEST(DevsimPty, LeavesTheLineAtKernelDefaultsAndIgnoresItsOwnEcho) {
    SimOptions o;
    o.log = GenerateCallLog(4, 9);
    o.fast = true;
    Simulator sim(o);
    ASSERT_TRUE(sim.Start(nullptr));
    int probe = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), tcflag_t(ICRNL | IXON));
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), tcflag_t(OPOST | ONLCR));
    EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO), tcflag_t(ISIG | ICANON | ECHO));
    t.c_lflag &= ~ECHOCTL;   // as another program may leave it: the echo comes back verbatim
    tcsetattr(probe, TCSANOW, &t);
    sim.SendUnasked('1');
    sim.SendUnasked('0');
    ASSERT_TRUE(WaitFor([&] { return sim.BytesSent() == 12; }));
    uint8_t none;
    EXPECT_LT(read(probe, &none, 1), 0);   // no whole line yet; the read lets the tty echo what came
    close(probe);

    int fd = OpenLine(sim.SlavePath());
    Send(fd, kPollD);
    Reading r = ReadUntil(fd, EndsWithEndFrame);
    ASSERT_TRUE(r.done);
    ExpectWholeDownload(r.bytes, sim.setup().frames);
    EXPECT_EQ(sim.CommandsReceived(), Bytes{'D'});
    close(fd);
}

TEST(DevsimPty, PacedAtTheLineRate) {
    SimOptions o;
    o.log = GenerateCallLog(4, 1);
    Simulator sim(o);
    ASSERT_TRUE(sim.Start(nullptr));
    int fd = OpenLine(sim.SlavePath());
    Send(fd, kPollD);
    Reading r = ReadUntil(fd, EndsWithEndFrame, 10.0);
    ASSERT_TRUE(r.done);
    ExpectWholeDownload(r.bytes, sim.setup().frames);
    // The line cannot carry more than 5760 bytes a second; the schedule may
    // run two 10 ms ticks ahead at most.
    const double span = r.arrivals.back().first - r.arrivals.front().first;
    const double least = (r.bytes.size() - r.arrivals.front().second - 2 * 58) / kLineRate;
    EXPECT_GE(span, least * 0.95) << r.bytes.size() << " bytes";
    EXPECT_LT(span, least * 3 + 1.0);
    close(fd);
}

TEST(DevsimPty, RespondModesAndUnaskedFrames) {
    {
        SimOptions o;
        o.respond = Respond::kNone;
        Simulator sim(o);
        ASSERT_TRUE(sim.Start(nullptr));
        int fd = OpenLine(sim.SlavePath());
        Send(fd, kPoll2);
        Send(fd, kPollD);
        ASSERT_TRUE(WaitFor([&] { return sim.CommandsReceived().size() == 2; }));
        EXPECT_EQ(sim.BytesSent(), 0u);
        EXPECT_EQ(sim.QueuedBytes(), 0u);
        close(fd);
    }
    EventLog events;
    SimOptions o;
    o.respond = Respond::kPollOnly;
    o.pollAnswer = '0';
    o.fast = true;
    o.onEvent = events.Sink();
    Simulator sim(o);
    ASSERT_TRUE(sim.Start(nullptr));
    int fd = OpenLine(sim.SlavePath());
    Send(fd, kPoll2);
    EXPECT_EQ(ReadUntil(fd, [](const Bytes& b) { return b.size() >= 6; }).bytes, kAnswer0);
    Send(fd, kPollD);
    Send(fd, {0x7E, 0x7E, 0x32, 0x00, 0x63, 0xF8});   // bad CRC: ignored
    ASSERT_TRUE(WaitFor([&] { return events.Has("rx-bad-crc 2"); }));
    EXPECT_EQ(sim.CommandsReceived(), (Bytes{'2', 'D'}));
    EXPECT_EQ(sim.BytesSent(), 6u);
    sim.SendUnasked('1');
    EXPECT_EQ(ReadUntil(fd, [](const Bytes& b) { return b.size() >= 6; }).bytes, kAnswer1);
    EXPECT_FALSE(sim.Control("dance"));
    close(fd);
}

TEST(DevsimPty, SilenceMidRecordPausesTheStream) {
    SimOptions o;
    o.log.records.resize(1);
    o.log.records[0].text = std::string(300, 'x');   // four data frames
    o.fast = true;
    o.faults.silenceRecord = 0;
    o.faults.silenceAfter = 1;
    o.faults.silenceSeconds = 0.4;
    Simulator sim(o);
    ASSERT_TRUE(sim.Start(nullptr));
    int fd = OpenLine(sim.SlavePath());
    Send(fd, kPollD);
    Reading r = ReadUntil(fd, EndsWithEndFrame);
    ASSERT_TRUE(r.done);
    ExpectWholeDownload(r.bytes, sim.setup().frames);
    const size_t upToFirstData =
        EncodeFrame(sim.setup().frames[0].frame).size() + EncodeFrame(sim.setup().frames[1].frame).size();
    double before = -1, after = -1;
    for (auto [t, total] : r.arrivals) {
        if (total <= upToFirstData) before = t;
        else if (after < 0) after = t;
    }
    ASSERT_GE(before, 0);
    EXPECT_GE(after - before, 0.35);
    close(fd);
}

TEST(DevsimPty, HangUpMidDownloadThenPlugAgain) {
    EventLog events;
    SimOptions o;
    o.log = GenerateCallLog(5, 2);
    o.fast = true;
    o.faults.hangupAfterByte = 700;
    o.onEvent = events.Sink();
    Simulator sim(o);
    ASSERT_TRUE(sim.Start(nullptr));
    int fd = OpenLine(sim.SlavePath());
    Send(fd, kPollD);
    Reading r = ReadUntil(fd, [](const Bytes&) { return false; });
    EXPECT_TRUE(r.hungUp);
    Bytes planned;
    for (const WireItem& i : sim.setup().firstPlan.items) planned.insert(planned.end(), i.bytes.begin(), i.bytes.end());
    ASSERT_EQ(planned.size(), 700u);
    EXPECT_EQ(r.bytes, planned);
    EXPECT_TRUE(WaitFor([&] { return !sim.Plugged(); }));
    EXPECT_TRUE(events.Has("hangup"));
    close(fd);

    // The next download is a clean one.
    sim.Plug();
    ASSERT_TRUE(WaitFor([&] { return sim.Plugged(); }));
    fd = OpenLine(sim.SlavePath());
    Send(fd, kPollD);
    r = ReadUntil(fd, EndsWithEndFrame);
    ASSERT_TRUE(r.done);
    ExpectWholeDownload(r.bytes, sim.setup().frames);
    close(fd);
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/devsim-test-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Walks up from a tty's real directory to the USB device that has ids.
fs::path UsbDeviceOf(fs::path dir) {
    for (; dir.has_relative_path(); dir = dir.parent_path())
        if (fs::exists(dir / "idVendor") && fs::exists(dir / "idProduct")) return dir;
    return {};
}

bool Exists(const fs::path& p) { return fs::exists(fs::symlink_status(p)); }

TEST(DevsimAdapter, FakeSysfsTreePlugAndUnplug) {
    TempDir tmp;
    const fs::path sys = tmp.path() + "/sys", dev = tmp.path() + "/dev";
    SimOptions o;
    o.fast = true;
    o.fakeAdapter = true;
    o.adapter.sysfsRoot = sys;
    o.adapter.devRoot = dev;
    Simulator sim(o);
    ASSERT_TRUE(sim.Start(nullptr));

    const fs::path classLink = sys / "class/tty/ttyUSB0";
    ASSERT_TRUE(fs::is_symlink(classLink));
    const fs::path ttyDir = fs::canonical(classLink);
    EXPECT_EQ(ttyDir, fs::canonical(sys) / "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    EXPECT_EQ(fs::canonical(ttyDir / "device"), ttyDir.parent_path().parent_path());
    EXPECT_EQ(fs::canonical(ttyDir / "device").parent_path().filename(), "1-1:1.0");
    EXPECT_EQ(fs::canonical(ttyDir / "subsystem"), fs::canonical(sys / "class/tty"));
    const fs::path usb = UsbDeviceOf(ttyDir);
    EXPECT_EQ(Slurp(usb / "idVendor"), "067b\n");
    EXPECT_EQ(Slurp(usb / "idProduct"), "2303\n");
    EXPECT_FALSE(Slurp(usb / "manufacturer").empty());
    EXPECT_EQ(fs::canonical(sys / "bus/usb/devices/1-1"), usb);
    EXPECT_EQ(fs::read_symlink(dev / "ttyUSB0"), sim.SlavePath());

    // The /dev link leads to the device.
    int fd = OpenLine(dev / "ttyUSB0");
    ASSERT_GE(fd, 0);
    Send(fd, kPoll2);
    EXPECT_EQ(ReadUntil(fd, [](const Bytes& b) { return b.size() >= 6; }).bytes, kAnswer1);

    sim.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !sim.Plugged(); }));
    EXPECT_FALSE(Exists(classLink));
    EXPECT_FALSE(Exists(sys / "bus/usb/devices/1-1"));
    EXPECT_FALSE(Exists(usb));
    EXPECT_FALSE(Exists(dev / "ttyUSB0"));
    EXPECT_TRUE(ReadUntil(fd, [](const Bytes&) { return false; }).hungUp);
    close(fd);

    sim.Plug();
    ASSERT_TRUE(WaitFor([&] { return sim.Plugged(); }));
    EXPECT_EQ(fs::read_symlink(dev / "ttyUSB0"), sim.SlavePath());
    EXPECT_EQ(Slurp(UsbDeviceOf(fs::canonical(classLink)) / "idVendor"), "067b\n");

    sim.Stop();
    EXPECT_FALSE(Exists(classLink));
    EXPECT_FALSE(Exists(dev / "ttyUSB0"));
}

TEST(DevsimAdapter, BehindAHub) {
    TempDir tmp;
    AdapterLayout l;
    l.sysfsRoot = tmp.path() + "/sys";
    l.devRoot = tmp.path() + "/dev";
    l.usbPort = "1-1.4";
    l.ttyName = "ttyUSB3";
    l.serial = "A1B2";
    FakeAdapter a(l);
    std::string error;
    ASSERT_TRUE(a.Plug("/dev/null", &error)) << error;
    const fs::path tty = fs::canonical(l.sysfsRoot + "/class/tty/ttyUSB3");
    const fs::path usb = UsbDeviceOf(tty);
    EXPECT_EQ(usb.filename(), "1-1.4");
    EXPECT_EQ(usb.parent_path().filename(), "1-1");
    EXPECT_EQ(Slurp(usb / "idVendor"), "067b\n");
    EXPECT_EQ(Slurp(usb / "serial"), "A1B2\n");
    EXPECT_EQ(Slurp(usb.parent_path() / "idVendor"), "05e3\n");
    EXPECT_EQ(Slurp(usb.parent_path().parent_path() / "idVendor"), "1d6b\n");   // the root hub
    EXPECT_EQ(fs::canonical(l.sysfsRoot + "/bus/usb/devices/1-1"), usb.parent_path());
    EXPECT_EQ(fs::canonical(l.sysfsRoot + "/bus/usb/devices/1-1.4:1.0"), tty.parent_path().parent_path().parent_path());
    EXPECT_EQ(Slurp(tty / "dev"), "188:3\n");
    a.Unplug();
    EXPECT_FALSE(Exists(usb));
    EXPECT_FALSE(Exists(l.sysfsRoot + "/bus/usb/devices/1-1.4"));
    EXPECT_FALSE(Exists(l.sysfsRoot + "/bus/usb/devices/1-1.4:1.0"));
    EXPECT_TRUE(Exists(usb.parent_path()));
    EXPECT_TRUE(Exists(l.sysfsRoot + "/bus/usb/devices/1-1"));
}

// ---------------------------------------------------------------- as a process

struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
};

Child Spawn(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    return {pid, in[1], out[0]};
}

int WaitExit(pid_t pid, double seconds = 5.0) {
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

std::string NextLine(int fd, std::string* pending, double seconds = 5.0) {
    const auto start = Clock::now();
    while (pending->find('\n') == std::string::npos && Seconds(start) < seconds) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        pending->append(buf, static_cast<size_t>(n));
    }
    size_t nl = pending->find('\n');
    if (nl == std::string::npos) return {};
    std::string line = pending->substr(0, nl);
    pending->erase(0, nl + 1);
    return line;
}

TEST(DevsimProcess, ControlledThroughStdin) {
    Child c = Spawn({DEVSIM_EXE, "--fast", "--records", "3", "--stdin-control"});
    ASSERT_GT(c.pid, 0);
    std::string pending;
    const std::string first = NextLine(c.out, &pending);
    ASSERT_EQ(first.rfind("pty /dev/pts/", 0), 0u) << first;
    int fd = OpenLine(first.substr(4));
    ASSERT_GE(fd, 0);
    Send(fd, kPoll2);
    EXPECT_EQ(ReadUntil(fd, [](const Bytes& b) { return b.size() >= 6; }).bytes, kAnswer1);

    ASSERT_EQ(write(c.in, "status\n", 7), 7);
    std::string line;
    while (!(line = NextLine(c.out, &pending)).empty() && line.rfind("status", 0) != 0) {
    }
    EXPECT_EQ(line, "status plugged pty " + first.substr(4) + " downloads 0 0");
    ASSERT_EQ(write(c.in, "quit\n", 5), 5);
    EXPECT_EQ(WaitExit(c.pid), 0);
    close(fd);
    close(c.in);
    close(c.out);

    // The end of the control input ends the run as well.
    c = Spawn({DEVSIM_EXE, "--stdin-control"});
    pending.clear();
    EXPECT_EQ(NextLine(c.out, &pending).rfind("pty ", 0), 0u);
    close(c.in);
    EXPECT_EQ(WaitExit(c.pid), 0);
    close(c.out);
}

TEST(DevsimProcess, HelpErrorsAndExpectFile) {
    auto run = [](std::vector<std::string> args) {
        args.insert(args.begin(), DEVSIM_EXE);
        Child c = Spawn(args);
        close(c.in);
        std::string all;
        Reading r = ReadUntil(c.out, [](const Bytes&) { return false; });   // to the end of output
        all.assign(r.bytes.begin(), r.bytes.end());
        close(c.out);
        return std::make_pair(WaitExit(c.pid), all);
    };
    auto [code, text] = run({"--help"});
    EXPECT_EQ(code, 0);
    EXPECT_NE(text.find("--sysfs-root"), std::string::npos);
    EXPECT_EQ(run({"--bogus"}).first, 2);
    EXPECT_EQ(run({"--wrong-letter-frame", "0"}).first, 2);   // the header is not a data frame
    EXPECT_EQ(run({"--silence", "2:1:4.0", "--expect", "/dev/null", "--dry-run"}).first, 2);

    TempDir tmp;
    const std::string expect = tmp.path() + "/expect.txt", log = tmp.path() + "/log.txt";
    EXPECT_EQ(run({"--records", "7", "--seed", "4", "--expect", expect, "--write-log", log, "--dry-run"}).first, 0);
    EXPECT_EQ(Slurp(expect), RenderDownload(GenerateCallLog(7, 4)));
    // The written log file reads back into the same log.
    EXPECT_EQ(run({"--log", log, "--expect", expect + "2", "--dry-run"}).first, 0);
    EXPECT_EQ(Slurp(expect + "2"), Slurp(expect));
}

}  // namespace
}  // namespace dialscope::devsim
