// The Win32 serial port under Wine, over a pseudo-terminal pair that the
// test fixture maps into the prefix as two COM ports (numbered above 9, so
// only their device-namespace names open): the port under test on one, the
// device's end of the cable on the other, opened with the plain
// communications API. Waits poll a condition against a 5 s deadline.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serial/rx_ring.h"
#include "serial/line_settings_win32.h"
#include "serial/serial_port.h"

namespace dialscope {
namespace {

bool WaitFor(const std::function<bool()>& done, DWORD limitMs = 5000) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    while (!done()) {
        if (GetTickCount64() > deadline) return false;
        Sleep(1);
    }
    return true;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Threads of this process. (SCOPED_TRACE and failed checks make GoogleTest
// start a watcher thread of its own that stays: no SCOPED_TRACE in tests
// that count threads.)
int CountThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// The open port's HANDLE, which SerialPort gives out as an integer.
HANDLE HandleOf(const SerialPort& port) { return reinterpret_cast<HANDLE>(port.nativeHandle()); }

DCB StateOf(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb));
    return dcb;
}

// A COM port opened for plain blocking I/O, with reads that take only what
// is already waiting.
class PlainPort {
public:
    explicit PlainPort(const std::string& name) {
        handle_ = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            handle_ = nullptr;
            return;
        }
        COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(handle_, &immediate);
    }
    ~PlainPort() {
        if (handle_) CloseHandle(handle_);
    }
    PlainPort(const PlainPort&) = delete;
    PlainPort& operator=(const PlainPort&) = delete;

    HANDLE handle() const { return handle_; }
    // The device's line: 57600 8N1, raw, no flow control.
    void SetDeviceLine() {
        DCB dcb = StateOf(handle_);
        dcb.BaudRate = 57600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = 1;
        dcb.fParity = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fNull = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        EXPECT_TRUE(SetCommState(handle_, &dcb));
    }
    DWORD Queued() const {
        DWORD errors = 0;
        COMSTAT stat{};
        return ClearCommError(handle_, &errors, &stat) ? stat.cbInQue : 0;
    }
    bool Send(const std::string& bytes) {
        DWORD written = 0;
        return WriteFile(handle_, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    std::string TakeWaiting() {
        const DWORD queued = Queued();
        if (queued == 0) return {};
        std::string bytes(queued, '\0');
        DWORD got = 0;
        if (!ReadFile(handle_, bytes.data(), queued, &got, nullptr)) return {};
        bytes.resize(got);
        return bytes;
    }
    // Up to n bytes: what came before the deadline.
    std::string Receive(size_t n) {
        std::string got;
        WaitFor([&] {
            got += TakeWaiting();
            return got.size() >= n;
        });
        return got;
    }

private:
    HANDLE handle_ = nullptr;
};

const std::string kFrame("\x7e\x7e" "2\x00\x12\x34", 6);

class SerialWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        comA = Env("DIALSCOPE_TEST_COM_A");
        comB = Env("DIALSCOPE_TEST_COM_B");
        ASSERT_FALSE(comA.empty() || comB.empty())
            << "DIALSCOPE_TEST_COM_A/B name the two ends of the pty pair (ctest fixture win32.pty_pair)";
        peer = std::make_unique<PlainPort>(comB);
        ASSERT_NE(peer->handle(), nullptr) << "cannot open " << comB;
        peer->SetDeviceLine();
        PurgeComm(peer->handle(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    }

    bool Open() { return port.openPort(comA.c_str(), 57600, false, 8, 0); }

    // The protocol tick's side of the ring: only when the pending flag was
    // raised, cleared before the drain, every byte read as the protocol reads it.
    std::string Tick() {
        std::string out;
        if (!port.TakePending()) return out;
        uint8_t byte;
        while (port.Next(byte)) out += char(byte);
        return out;
    }
    // Ticks until n bytes came through the ring, or the deadline passed.
    std::string Consume(size_t n) {
        std::string got;
        WaitFor([&] {
            got += Tick();
            return got.size() >= n;
        });
        return got;
    }

    // Moves the ring's indices to `at` by passing that many bytes through
    // it (they run on across opens and wrap at 2047).
    void RingStartsAt(int32_t at) {
        ASSERT_TRUE(Open());
        ASSERT_TRUE(peer->Send(std::string(static_cast<size_t>(at), 'f')));
        ASSERT_EQ(Consume(static_cast<size_t>(at)).size(), static_cast<size_t>(at));
        ASSERT_TRUE(port.closePort());
        ASSERT_EQ(port.ring().head(), at);
    }

    std::string comA, comB;
    std::vector<std::string> warnings;
    SerialPort port{[this](const char* text, const char* caption) {
                        warnings.push_back(std::string(text) + "|" + caption);
                    }};
    std::unique_ptr<PlainPort> peer;
};

// The device's line as every open must leave it, whatever the port had:
// 57600 8N1, NUL bytes kept, and no flow control of any kind.
void ExpectDeviceLine(const DCB& line) {
    EXPECT_EQ(line.BaudRate, 57600u);
    EXPECT_EQ(line.ByteSize, 8);
    EXPECT_EQ(line.Parity, NOPARITY);
    EXPECT_EQ(line.StopBits, ONESTOPBIT);
    EXPECT_EQ(line.fParity, 0u);
    EXPECT_EQ(line.fNull, 0u);
    EXPECT_EQ(line.fOutX, 0u);
    EXPECT_EQ(line.fInX, 0u);
    EXPECT_EQ(line.fOutxCtsFlow, 0u);
    EXPECT_EQ(line.fOutxDsrFlow, 0u);
    EXPECT_EQ(line.fDsrSensitivity, 0u);
    EXPECT_EQ(line.fAbortOnError, 0u);
    EXPECT_NE(line.fRtsControl, unsigned(RTS_CONTROL_HANDSHAKE));
    EXPECT_NE(line.fRtsControl, unsigned(RTS_CONTROL_TOGGLE));
    EXPECT_NE(line.fDtrControl, unsigned(DTR_CONTROL_HANDSHAKE));
}

// Whatever another program left on the port: applied to a DCB with every
// bit set, flow control goes off, a handshaking DTR or RTS line is held up,
// and what the dialogue does not rely on stays as it was.
TEST(LineSettingsWin32, FlowControlOffWhateverThePortHadTheRestKept) {
    struct Case {
        DWORD rts, rtsAfter, dtr, dtrAfter;
    };
    const Case cases[] = {
        {RTS_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE},
        {RTS_CONTROL_TOGGLE, RTS_CONTROL_ENABLE, DTR_CONTROL_DISABLE, DTR_CONTROL_DISABLE},
        {RTS_CONTROL_DISABLE, RTS_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_ENABLE},
    };
    for (const Case& c : cases) {
        DCB dcb;
        std::memset(&dcb, 0xFF, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        dcb.fRtsControl = c.rts;
        dcb.fDtrControl = c.dtr;
        const DCB before = dcb;
        ApplyLineSettings(dcb, 57600, false, 8, ONESTOPBIT);
        ExpectDeviceLine(dcb);
        EXPECT_EQ(dcb.fRtsControl, c.rtsAfter) << c.rts;
        EXPECT_EQ(dcb.fDtrControl, c.dtrAfter) << c.dtr;
        EXPECT_EQ(dcb.fBinary, before.fBinary);
        EXPECT_EQ(dcb.fTXContinueOnXoff, before.fTXContinueOnXoff);
        EXPECT_EQ(dcb.fErrorChar, before.fErrorChar);
        EXPECT_EQ(dcb.XonLim, before.XonLim);
        EXPECT_EQ(dcb.XoffLim, before.XoffLim);
        EXPECT_EQ(dcb.XonChar, before.XonChar);
        EXPECT_EQ(dcb.XoffChar, before.XoffChar);
        EXPECT_EQ(dcb.ErrorChar, before.ErrorChar);
        EXPECT_EQ(dcb.EofChar, before.EofChar);
        EXPECT_EQ(dcb.EvtChar, before.EvtChar);
    }
}

// The same on a real port. Wine keeps only the XON/XOFF and CTS flow of a
// DCB in its tty, so here those are what the old settings can show.
TEST_F(SerialWin32, OpenSetsTheLineSwitchesFlowControlOffAndDropsStaleInput) {
    {
        // What another program left on the port: its line format, every
        // kind of flow control, and bytes the device sent to nobody.
        PlainPort before(comA);
        ASSERT_NE(before.handle(), nullptr);
        DCB dcb = StateOf(before.handle());
        dcb.BaudRate = 9600;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.fOutxCtsFlow = 1;
        dcb.fOutxDsrFlow = 1;
        dcb.fDsrSensitivity = 1;
        dcb.fAbortOnError = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        ASSERT_TRUE(SetCommState(before.handle(), &dcb));
        const DCB left = StateOf(before.handle());
        ASSERT_TRUE(left.fOutX && left.fInX && left.fOutxCtsFlow);
        PurgeComm(before.handle(), PURGE_RXCLEAR);
        ASSERT_TRUE(peer->Send("stale"));
        ASSERT_TRUE(WaitFor([&] { return before.Queued() == 5; }));
    }

    ASSERT_TRUE(Open());
    EXPECT_TRUE(port.portOpen());
    EXPECT_TRUE(port.receiveRunning());
    EXPECT_EQ(port.lastOpenErrno(), 0);
    ASSERT_NE(port.nativeHandle(), SerialPort::kNoHandle);
    ExpectDeviceLine(StateOf(HandleOf(port)));

    ASSERT_TRUE(peer->Send("fresh"));
    EXPECT_EQ(Consume(5), "fresh");

    EXPECT_TRUE(port.closePort());
    PlainPort after(comA);
    EXPECT_NE(after.handle(), nullptr);
    EXPECT_TRUE(warnings.empty());
}

// Runs on a pair of its own (ctest win32.serial_win32_fresh_tty): the port
// is a pty no one has set up, at a new tty's settings, as a freshly plugged
// adapter is. Wine shows its `ixon` as XON/XOFF; kept, it would eat every
// 0x11 and 0x13 and a received 0x13 would stop our output.
TEST_F(SerialWin32, FreshTtyCarriesEveryByteValueBothWays) {
    HANDLE probe = CreateFileA(("\\\\.\\" + comA).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    const bool startsWithXonXoff = StateOf(probe).fOutX;
    CloseHandle(probe);
    ASSERT_TRUE(startsWithXonXoff) << comA << " is not at a new tty's settings";

    ASSERT_TRUE(Open());
    ExpectDeviceLine(StateOf(HandleOf(port)));

    std::string values;
    for (int i = 0; i < 256; ++i) values += char(i);
    // The device's bytes first: the last flow byte among them is a 0x13.
    ASSERT_TRUE(peer->Send(values));
    const std::string in = Consume(256);
    EXPECT_TRUE(in == values) << "the device's bytes arrived changed: " << in.size() << " of 256";
    EXPECT_EQ(Tick(), "");
    // Ours the other way round, so that an echo of the device's bytes could
    // not pass for them.
    const std::string reversed(values.rbegin(), values.rend());
    port.writePort(reinterpret_cast<const uint8_t*>(reversed.data()), 256);
    const std::string out = peer->Receive(256);
    EXPECT_TRUE(out == reversed) << "our bytes arrived changed: " << out.size() << " of 256";
    EXPECT_EQ(peer->TakeWaiting(), "");
}

TEST_F(SerialWin32, FramesReachTheOtherEndWholeAndInOrder) {
    EXPECT_FALSE(port.writePort(reinterpret_cast<const uint8_t*>(kFrame.data()), 6));  // nothing open
    ASSERT_TRUE(Open());
    port.writePort(reinterpret_cast<const uint8_t*>(kFrame.data()), 6);  // at once or in the background
    EXPECT_EQ(peer->Receive(6), kFrame);

    // Several frames within one tick, as the dialogue may answer them: the
    // caller reuses its buffer at once, each frame still leaves whole.
    std::string expected;
    uint8_t frame[6];
    for (int i = 0; i < 20; ++i) {
        for (int b = 0; b < 6; ++b) frame[b] = uint8_t(kFrame[size_t(b)] + (b >= 2 ? i : 0));
        expected.append(reinterpret_cast<const char*>(frame), 6);
        port.writePort(frame, 6);
    }
    EXPECT_EQ(peer->Receive(expected.size()), expected);

    EXPECT_TRUE(port.closePort());
    EXPECT_FALSE(port.writePort(frame, 6));
}

TEST_F(SerialWin32, EveryByteValueArrivesInOrderWithPendingRaised) {
    RingStartsAt(2040);
    ASSERT_TRUE(Open());
    std::string sent("\x00\r\n\x7e\x11\x13\x00\x00", 8);
    for (int i = 0; i < 256; ++i) sent += char(i);
    uint32_t x = 12345;
    while (sent.size() < 4096) {
        x = x * 1103515245u + 12345u;
        sent += char(x >> 23);
    }

    // In pieces of many sizes; each piece is taken before the next is sent,
    // as the protocol tick keeps pace with the line.
    std::string got;
    const size_t pieces[] = {1, 2, 7, 64, 300, 511, 3, 1000, 5};
    size_t at = 0;
    for (size_t i = 0; at < sent.size(); ++i) {
        const size_t n = std::min(pieces[i % std::size(pieces)], sent.size() - at);
        ASSERT_TRUE(peer->Send(sent.substr(at, n)));
        at += n;
        ASSERT_TRUE(WaitFor([&] {
            got += Tick();
            return got.size() >= at;
        })) << "stuck at " << got.size() << " of " << at << " bytes";
    }
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "bytes differ or arrived out of order";
    EXPECT_EQ(port.ring().head(), int32_t((2040 + sent.size()) % kRxRingSize));
    EXPECT_EQ(Tick(), "");
    EXPECT_GT(port.receiveWakeups(), 0u);
}

// A tick that falls behind costs nothing: once the ring holds all the
// unread bytes it can, the rest wait with the driver until it makes room.
TEST_F(SerialWin32, StalledConsumerLosesNothingTheRestWaitsWithTheDriver) {
    ASSERT_TRUE(Open());
    std::string sent;
    for (int i = 0; i < 5000; ++i) sent += char((i * 7 + i / 256) & 0xFF);
    ASSERT_TRUE(peer->Send(sent));

    ASSERT_TRUE(WaitFor([&] { return port.Unread() == kRxRingSize - 1; }));
    // More bytes have reached the port than the ring holds, and still the
    // ring has not lapped.
    ASSERT_TRUE(WaitFor([&] {
        DWORD errors = 0;
        COMSTAT stat{};
        return ClearCommError(HandleOf(port), &errors, &stat) && stat.cbInQue > 0;
    }));
    EXPECT_EQ(port.Unread(), kRxRingSize - 1) << "the ring lapped over unread bytes";

    std::string got;
    ASSERT_TRUE(WaitFor([&] {
        got += Tick();
        return got.size() >= sent.size();
    }));
    EXPECT_TRUE(got == sent) << "bytes lost or out of order: " << got.size() << " of " << sent.size();
}

TEST_F(SerialWin32, IdleLineKeepsTheThreadAsleep) {
    ASSERT_TRUE(Open());
    ASSERT_TRUE(peer->Send("x"));
    ASSERT_EQ(Consume(1), "x");
    // An observation window, not a wait for a condition: a thread that sleeps
    // in its wait until a character comes does not wake during it, however
    // slow the machine. One whose wait the driver keeps cancelling would
    // wake dozens of times.
    const uint64_t before = port.receiveWakeups();
    Sleep(300);
    EXPECT_LE(port.receiveWakeups() - before, 2u);
    ASSERT_TRUE(peer->Send("y"));
    EXPECT_EQ(Consume(1), "y");
    EXPECT_GT(port.receiveWakeups(), before);
}

TEST_F(SerialWin32, CloseEndsTheThreadPromptlyAndReopenReceivesAgain) {
    const int threads = CountThreads();
    ASSERT_GT(threads, 0);
    ASSERT_TRUE(Open());
    ASSERT_TRUE(peer->Send("abc"));
    ASSERT_TRUE(WaitFor([&] { return port.Unread() == 3; }));

    // Idle line: the close wakes the thread's pending wait.
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(port.closePort());
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_FALSE(port.portOpen());
    EXPECT_FALSE(port.receiveRunning());
    EXPECT_EQ(port.nativeHandle(), SerialPort::kNoHandle);
    EXPECT_TRUE(WaitFor([&] { return CountThreads() <= threads; }));
    EXPECT_TRUE(port.closePort());  // a second close is harmless

    // Unread bytes stay in the ring across the close; the new thread adds to them.
    ASSERT_TRUE(Open());
    ASSERT_TRUE(peer->Send("def"));
    EXPECT_EQ(Consume(6), "abcdef");

    // Busy line: the close ends the thread while bytes keep coming.
    ASSERT_TRUE(peer->Send(std::string(1500, 'x')));
    ASSERT_TRUE(WaitFor([&] { return port.Unread() > 0; }));
    start = GetTickCount64();
    EXPECT_TRUE(port.closePort());
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_FALSE(port.receiveRunning());
    EXPECT_TRUE(WaitFor([&] { return CountThreads() <= threads; }));

    // The new open purges what the burst left queued; the last of it may
    // still be on its way through the cable and follow the purge.
    port.DropUnread();
    (void)port.TakePending();
    ASSERT_TRUE(Open());
    ASSERT_TRUE(peer->Send("ghi"));
    std::string got;
    EXPECT_TRUE(WaitFor([&] {
        got += Tick();
        return got.size() >= 3 && got.compare(got.size() - 3, 3, "ghi") == 0;
    })) << got;
    EXPECT_EQ(got.find_first_not_of('x'), got.size() - 3) << got;
    EXPECT_TRUE(warnings.empty());
}

TEST_F(SerialWin32, SecondOpenWarnsAndLeavesThePortWorking) {
    ASSERT_TRUE(Open());
    const SerialPort::NativeHandle handle = port.nativeHandle();

    EXPECT_FALSE(Open());
    EXPECT_EQ(port.lastOpenErrno(), 0);  // our own port, not another program's
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "Port Is Already Opened!|Warning");
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(port.nativeHandle(), handle);
    EXPECT_TRUE(port.receiveRunning());

    ASSERT_TRUE(peer->Send("still"));
    EXPECT_EQ(Consume(5), "still");
    port.writePort(reinterpret_cast<const uint8_t*>(kFrame.data()), 6);
    EXPECT_EQ(peer->Receive(6), kFrame);
}

TEST_F(SerialWin32, MissingPortFailsWithEnoentAndLeavesNothingOpen) {
    const int threads = CountThreads();
    for (const char* name : {"COM199", "", "\\\\.\\COM198"}) {
        EXPECT_FALSE(port.openPort(name, 57600, false, 8, 0)) << name;
        EXPECT_EQ(port.lastOpenErrno(), ENOENT) << name;
        EXPECT_FALSE(port.portOpen());
        EXPECT_EQ(port.nativeHandle(), SerialPort::kNoHandle);
        EXPECT_FALSE(port.receiveRunning());
    }
    EXPECT_FALSE(port.openPort(nullptr, 57600, false, 8, 0));
    EXPECT_EQ(port.lastOpenErrno(), ENOENT);
    EXPECT_EQ(CountThreads(), threads);
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(port.closePort());

    // The device-namespace form of the name opens too, and clears the errno.
    ASSERT_TRUE(port.openPort(("\\\\.\\" + comA).c_str(), 57600, false, 8, 0));
    EXPECT_EQ(port.lastOpenErrno(), 0);
    ASSERT_TRUE(peer->Send("ok"));
    EXPECT_EQ(Consume(2), "ok");
}

TEST_F(SerialWin32, ManyOpenCloseCyclesLeaveNoThreadBehind) {
    const int threads = CountThreads();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(Open()) << "cycle " << i;
        ASSERT_TRUE(port.receiveRunning()) << "cycle " << i;
        if (i % 10 == 9) {
            const std::string marker = "cycle" + std::to_string(i);
            ASSERT_TRUE(peer->Send(marker));
            EXPECT_EQ(Consume(marker.size()), marker);
            port.writePort(reinterpret_cast<const uint8_t*>(kFrame.data()), 6);
            EXPECT_EQ(peer->Receive(6), kFrame) << "cycle " << i;
        }
        ASSERT_TRUE(port.closePort()) << "cycle " << i;
        ASSERT_FALSE(port.receiveRunning()) << "cycle " << i;
    }
    EXPECT_TRUE(WaitFor([&] { return CountThreads() <= threads; }))
        << CountThreads() << " threads, " << threads << " before";

    ASSERT_TRUE(Open());
    ASSERT_TRUE(peer->Send("alive"));
    EXPECT_EQ(Consume(5), "alive");
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
}  // namespace dialscope
