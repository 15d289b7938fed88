// The serial layer against a real pseudo-terminal: the test holds the master
// end (the device's side of the cable) and hands the slave's path to
// openPort. Waits poll a condition against a 5 s deadline.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "serial/line_settings_posix.h"
#include "serial/serial_port.h"

namespace dialscope {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

// Threads of this process now. The first thread a process starts may bring
// a sanitizer's helper thread with it, so one is started and joined first.
int CountTasks() {
    int during = 0;
    std::thread([&] { during = CountEntries("/proc/self/task"); }).join();
    WaitFor([&] { return CountEntries("/proc/self/task") < during; });  // joined one gone
    return CountEntries("/proc/self/task");
}

struct Pty {
    Pty() {
        char name[128];
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;  // left at the kernel's defaults, as a freshly plugged adapter
    }
    ~Pty() {
        if (master >= 0) close(master);
        close(slave);
    }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Reads exactly n bytes from the master, or what came within the deadline.
    std::string Receive(size_t n) const {
        std::string got;
        const auto deadline = Clock::now() + 5s;
        while (got.size() < n && Clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r > 0) got.append(buf, size_t(r));
        }
        return got;
    }
    int master = -1, slave = -1;
    std::string path;
};

// The consumer's side of the ring, as the protocol tick takes it.
std::string TakeUnread(SerialPort& port) {
    std::string out;
    uint8_t byte;
    while (port.Next(byte)) out += char(byte);
    return out;
}

struct SerialTest : ::testing::Test {
    bool Open(SerialPort& port, const char* name) { return port.openPort(name, 57600, false, 8, 0); }
    // Moves the ring's indices to `at` by passing that many bytes through
    // it (they run on across opens, never reset).
    void RingStartsAt(int32_t at) {
        ASSERT_TRUE(Open(port, pty.path.c_str()));
        pty.Send(std::string(static_cast<size_t>(at), 'f'));
        ASSERT_TRUE(WaitFor([&] { return port.Unread() == at; }));
        ASSERT_EQ(TakeUnread(port).size(), static_cast<size_t>(at));
        ASSERT_TRUE(port.TakePending());
        ASSERT_TRUE(port.closePort());
        ASSERT_EQ(port.ring().head(), at);
    }

    Pty pty;
    std::vector<std::string> warnings;
    SerialPort port{[this](const char* text, const char* caption) {
                        warnings.push_back(std::string(text) + "|" + caption);
                    }};
};

// Every setting the dialogue relies on, whatever the port had before.
void ExpectRawLine(const termios& t, const char* what) {
    SCOPED_TRACE(what);
    // IGNPAR would silently drop a byte that arrived with a framing error
    // (the frame's checksum is what judges it); IUTF8 makes the line
    // discipline treat the binary frames as UTF-8 text.
    EXPECT_EQ(t.c_iflag & (IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                           IUCLC | IXON | IXOFF | IXANY | IMAXBEL | IUTF8),
              0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // NOFLSH, TOSTOP and EXTPROC are a terminal user's job control and
    // editing; a device line has none.
    EXPECT_EQ(t.c_lflag & (ICANON | ISIG | IEXTEN | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                           ECHOKE | NOFLSH | TOSTOP | XCASE | EXTPROC),
              0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&t), speed_t(B57600));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
}

// A port left by another program with every setting that can bend a byte or
// hold the line, on top of a fresh tty's defaults: all 256 byte values still
// pass unchanged both ways.
TEST_F(SerialTest, HostilePortIsSetRawAndCarriesEveryByteValueBothWays) {
    termios hostile{};
    ASSERT_EQ(tcgetattr(pty.slave, &hostile), 0);
    hostile.c_iflag |= ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | BRKINT | IXON | IXOFF | IXANY |
                       IGNPAR | IUTF8;
    hostile.c_oflag |= OPOST | ONLCR | OCRNL;
    hostile.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN | NOFLSH | TOSTOP;
    hostile.c_cflag = (hostile.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    hostile.c_cc[VMIN] = 0;
    hostile.c_cc[VTIME] = 5;
    cfsetspeed(&hostile, B9600);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &hostile), 0);
    termios held{};
    tcgetattr(pty.slave, &held);
    // What the pty kept (it forces CS8 and no PARENB itself).
    ASSERT_EQ(held.c_iflag & (IXON | IGNPAR | IUTF8), tcflag_t(IXON | IGNPAR | IUTF8));
    ASSERT_EQ(held.c_lflag & (NOFLSH | TOSTOP), tcflag_t(NOFLSH | TOSTOP));
    ASSERT_TRUE(held.c_cflag & CRTSCTS);
    // Bytes from before the open: the tty echoes them to the device's side.
    pty.Send("stale");
    ASSERT_EQ(pty.Receive(5), "stale");

    ASSERT_TRUE(Open(port, pty.path.c_str()));
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    ExpectRawLine(tio, "the pty after openPort");
    int exclusive = 0;
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    // Seven bits and parity only a plain struct can carry.
    termios worst{};
    worst.c_iflag = worst.c_oflag = worst.c_lflag = worst.c_cflag = ~tcflag_t(0);
    worst.c_cc[VMIN] = 0;
    worst.c_cc[VTIME] = 5;
    ApplyLineSettings(worst, 57600, false, 8, 0);
    ExpectRawLine(worst, "every flag set before");
    EXPECT_TRUE(worst.c_cflag & HUPCL);  // as the port had it

    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    pty.Send(all);  // device to program, 0x11 and 0x13 included
    std::string got;
    WaitFor([&] {
        got += TakeUnread(port);
        return got.size() >= all.size();
    });
    EXPECT_TRUE(got == all) << got.size() << " bytes arrived, stale input kept or bytes changed";
    EXPECT_TRUE(port.writePort(reinterpret_cast<const uint8_t*>(all.data()), 256));
    EXPECT_TRUE(pty.Receive(256) == all) << "program to device";

    EXPECT_TRUE(port.closePort());
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);  // a later non-root opener is not shut out
}

TEST_F(SerialTest, KernelNameIsLookedUpInTheDeviceDirectory) {
    char dir[] = "/tmp/dialscope-dev-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link_path = std::string(dir) + "/ttyUSB0";
    const std::string plain = std::string(dir) + "/notatty";
    ASSERT_EQ(symlink(pty.path.c_str(), link_path.c_str()), 0);
    close(open(plain.c_str(), O_CREAT | O_RDWR, 0600));
    const int fds = CountEntries("/proc/self/fd");

    setenv("DIALSCOPE_DEV_ROOT", dir, 1);
    EXPECT_FALSE(Open(port, ""));
    EXPECT_FALSE(Open(port, nullptr));
    EXPECT_FALSE(Open(port, "ttyUSB7"));
    EXPECT_EQ(port.lastOpenErrno(), ENOENT);
    EXPECT_FALSE(Open(port, "notatty"));
    EXPECT_EQ(port.lastOpenErrno(), ENOTTY);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    ASSERT_TRUE(Open(port, "ttyUSB0"));
    pty.Send("via link");
    EXPECT_TRUE(WaitFor([&] { return port.Unread() == 8; }));
    EXPECT_EQ(TakeUnread(port), "via link");
    port.closePort();

    setenv("DIALSCOPE_DEV_ROOT", "", 1);
    EXPECT_STREQ(SerialPort::DeviceDirectory(), "/dev");
    unsetenv("DIALSCOPE_DEV_ROOT");
    EXPECT_STREQ(SerialPort::DeviceDirectory(), "/dev");
    unlink(link_path.c_str());
    unlink(plain.c_str());
    rmdir(dir);
    EXPECT_TRUE(warnings.empty());
}

TEST_F(SerialTest, SecondOpenerIsRefusedAndOpenWhileOpenWarnsOnce) {
    ASSERT_TRUE(Open(port, pty.path.c_str()));
    const SerialPort::NativeHandle fd = port.nativeHandle();

    std::vector<std::string> otherWarnings;
    SerialPort other([&](const char* t, const char*) { otherWarnings.push_back(t); });
    EXPECT_FALSE(Open(other, pty.path.c_str()));  // refused even for root: the lock holds
    EXPECT_EQ(other.lastOpenErrno(), EWOULDBLOCK);  // told apart from a missing port
    EXPECT_FALSE(other.portOpen());
    EXPECT_EQ(other.nativeHandle(), -1);
    EXPECT_TRUE(otherWarnings.empty());
    int probe = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0);
    close(probe);

    EXPECT_FALSE(Open(port, pty.path.c_str()));
    EXPECT_EQ(port.lastOpenErrno(), 0);  // our own port: not another program's
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "Port Is Already Opened!|Warning");
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(port.nativeHandle(), fd);
    EXPECT_TRUE(port.receiveRunning());
    pty.Send("still");
    EXPECT_TRUE(WaitFor([&] { return port.Unread() == 5; }));
    const uint8_t frame[6] = {0x7e, 0x7e, '2', 0, 0x12, 0x34};
    EXPECT_TRUE(port.writePort(frame, 6));
    EXPECT_EQ(pty.Receive(6), std::string(reinterpret_cast<const char*>(frame), 6));

    port.closePort();
    EXPECT_TRUE(Open(other, pty.path.c_str()));
    EXPECT_EQ(other.lastOpenErrno(), 0);
}

TEST_F(SerialTest, BytesArriveInOrderWithPendingRaisedAndWrapAt2047) {
    RingStartsAt(2040);
    ASSERT_TRUE(Open(port, pty.path.c_str()));
    std::string sent;
    for (int i = 0; i < 300; ++i) sent += char(i * 7);
    pty.Send(sent);
    int32_t highest = 0;
    ASSERT_TRUE(WaitFor([&] {
        highest = std::max(highest, port.ring().head());
        return port.Unread() == 300 && port.ring().pending();
    }));
    EXPECT_LE(highest, 2047);
    EXPECT_EQ(port.ring().head(), 300 - 8);
    EXPECT_EQ(TakeUnread(port), sent);  // byte 7 in the last slot, byte 8 in the first
}

// A tick that falls behind (a busy machine) costs nothing: once the ring
// holds all the unread bytes it can, the rest wait with the driver.
TEST_F(SerialTest, StalledConsumerLosesNothingTheRestWaitsWithTheDriver) {
    RingStartsAt(2000);  // the wait for room must hold across the wrap
    ASSERT_TRUE(Open(port, pty.path.c_str()));
    std::string sent;
    for (int i = 0; i < 5000; ++i) sent += char((i * 7 + i / 256) & 0xFF);
    pty.Send(sent);

    ASSERT_TRUE(WaitFor([&] { return port.Unread() == kRxRingSize - 1; }));
    int queued = -1;
    EXPECT_TRUE(WaitFor([&] {
        return ioctl(pty.slave, FIONREAD, &queued) == 0 && queued == int(sent.size()) - (kRxRingSize - 1);
    })) << queued << " bytes left with the driver";
    EXPECT_EQ(port.Unread(), kRxRingSize - 1) << "the ring lapped over unread bytes";
    EXPECT_TRUE(port.ring().pending());

    std::string got;
    ASSERT_TRUE(WaitFor([&] {
        got += TakeUnread(port);
        return got.size() >= sent.size();
    }));
    EXPECT_TRUE(got == sent) << "bytes lost or out of order";
    EXPECT_TRUE(port.receiveRunning());
}

TEST_F(SerialTest, ReopenKeepsUnreadBytesAndCloseEndsThreadAtOnce) {
    const int tasks = CountTasks();
    ASSERT_TRUE(Open(port, pty.path.c_str()));
    EXPECT_EQ(CountEntries("/proc/self/task"), tasks + 1);
    pty.Send("abc");
    ASSERT_TRUE(WaitFor([&] { return port.Unread() == 3; }));

    const auto start = Clock::now();
    EXPECT_TRUE(port.closePort());  // the thread sleeps in poll(): the stop event wakes it
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(port.portOpen());
    EXPECT_EQ(port.nativeHandle(), -1);
    EXPECT_FALSE(port.receiveRunning());
    EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") == tasks; }));
    EXPECT_TRUE(port.closePort());  // a second close is a no-op
    EXPECT_FALSE(port.writePort(reinterpret_cast<const uint8_t*>("x"), 1));

    ASSERT_TRUE(Open(port, pty.path.c_str()));
    EXPECT_EQ(port.ring().head(), 3);
    pty.Send("def");
    ASSERT_TRUE(WaitFor([&] { return port.Unread() == 6; }));
    EXPECT_EQ(TakeUnread(port), "abcdef");
}

TEST_F(SerialTest, HangUpEndsThreadWithoutSpinningAndWritesFail) {
    ASSERT_TRUE(Open(port, pty.path.c_str()));
    pty.Send("x");
    ASSERT_TRUE(WaitFor([&] { return port.Unread() == 1; }));
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    close(pty.master);  // the adapter is pulled
    pty.master = -1;
    ASSERT_TRUE(WaitFor([&] { return !port.receiveRunning(); }));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    EXPECT_LT(port.receiveWakeups(), 10u);
    EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6, 500.0);
    EXPECT_TRUE(port.portOpen());  // still open for the main thread until closed
    const uint8_t frame[6] = {0x7e, 0x7e, 'D', 0, 1, 2};
    EXPECT_FALSE(port.writePort(frame, 6));
    EXPECT_TRUE(port.closePort());
    EXPECT_FALSE(port.portOpen());
}

TEST_F(SerialTest, FramesWrittenBackToBackArriveWholeAndInOrder) {
    const uint8_t frame[6] = {0x7e, 0x7e, '2', 0, 0, 0};
    EXPECT_FALSE(port.writePort(frame, 6));  // no port open: nothing sent
    ASSERT_TRUE(Open(port, pty.path.c_str()));
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        uint8_t f[6] = {0x7e, 0x7e, uint8_t('A' + i % 26), 0, uint8_t(i), uint8_t(~i)};
        EXPECT_TRUE(port.writePort(f, 6));
        expected.append(reinterpret_cast<const char*>(f), 6);
    }
    EXPECT_EQ(pty.Receive(expected.size()), expected);
    int pendingAtMaster = 0;
    ioctl(pty.master, FIONREAD, &pendingAtMaster);
    EXPECT_EQ(pendingAtMaster, 0);
}

// True while the thread is asleep: for the writer below, only in writePort's
// wait for room in a full output queue.
bool ThreadSleeping(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'S';
}

TEST_F(SerialTest, FullOutputQueueIsWaitedOutNotTruncated) {
    ASSERT_TRUE(Open(port, pty.path.c_str()));
    constexpr int kFrames = 30000;  // 180 KB: far beyond what the pty buffers
    const pid_t writer = gettid();
    std::atomic<bool> done{false};
    std::string got;
    std::thread reader([&] {
        // A far end that starts listening only once the writer has met a full
        // queue, and then reads slowly enough to keep it full.
        WaitFor([&] { return ThreadSleeping(writer) || done.load(); });
        char buf[1024];
        while (!done.load() || got.size() < size_t(kFrames) * 6) {
            pollfd p{pty.master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                if (done.load()) break;
                continue;
            }
            ssize_t r = read(pty.master, buf, sizeof buf);
            if (r > 0) got.append(buf, size_t(r));
            std::this_thread::sleep_for(1ms);
        }
    });
    std::string expected;
    int slowWrites = 0;
    for (int i = 0; i < kFrames; ++i) {
        uint8_t f[6] = {0x7e, 0x7e, uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16), 0x55};
        if (!port.writePort(f, 6)) ++slowWrites;
        expected.append(reinterpret_cast<const char*>(f), 6);
    }
    done = true;
    reader.join();
    EXPECT_GT(slowWrites, 0);  // the full-queue path was taken
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST_F(SerialTest, OpenCloseCyclesLeaveNoDescriptorOrThread) {
    const int fds = CountEntries("/proc/self/fd");
    const int tasks = CountTasks();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(Open(port, pty.path.c_str()));
        pty.Send(std::string(1, char('a' + i)));
        ASSERT_TRUE(WaitFor([&] { return port.Unread() == i + 1; }));
        EXPECT_TRUE(port.closePort());
    }
    {
        SerialPort scoped(nullptr);
        ASSERT_TRUE(Open(scoped, pty.path.c_str()));
    }  // the destructor closes and joins
    EXPECT_EQ(TakeUnread(port), "abcdefghijklmnopqrst");
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") == tasks; }));
    int probe = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
    close(probe);
}

}  // namespace
}  // namespace dialscope
