#include "ports/supervisor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "protocol/protocol.h"
#include "tests/support/fakes.h"
#include "tests/support/frames.h"

namespace dialscope {
namespace {

using namespace dialscope::testing;

class SupervisorTest : public ::testing::Test {
protected:
    bool Running() const { return window.timer(Timer::watch_serial); }
    std::string PortName() const { return supervisor.portName(); }

    // The command letters the dialogue has sent on the lines it was given.
    std::string sent() const { return serial.commands(); }

    PortList ports;
    FakeLine line;
    FakeSerial serial;
    FakeWindow window;
    Protocol protocol{line, window, serial};
    int openErrno = 0;
    Supervisor supervisor{ports, serial, window, protocol, [this] { return openErrno; },
                          [this] { return serial.portOpen; }};
};

TEST_F(SupervisorTest, NoPresentAdapterTriesTheEmptyNameThenStops) {
    // A pass that opened ttyUSB0 and found nothing; then the adapter went.
    ports.AppendPort("k", "ttyUSB0", 1, "");
    supervisor.Tick();
    ASSERT_EQ(PortName(), "ttyUSB0");
    supervisor.Restart(false);
    ports.SetPortField(1, 3, "0");
    serial.opens.clear();
    serial.clearWritten();
    window.timerLog.clear();

    serial.openSucceeds = false;  // an empty name does not open
    supervisor.Tick();
    EXPECT_EQ(serial.opens, std::vector<std::string>{""});
    EXPECT_EQ(serial.lastBaud, 57600u);
    EXPECT_FALSE(serial.lastParity);
    EXPECT_EQ(serial.lastByteSize, 8);
    EXPECT_EQ(serial.lastStopBits, 0);
    EXPECT_FALSE(supervisor.probing());
    EXPECT_TRUE(Running());
    EXPECT_EQ(sent(), "");

    supervisor.Tick();
    EXPECT_EQ(PortName(), "");
    EXPECT_FALSE(Running());
    EXPECT_EQ(serial.opens.size(), 1u);
    // Stopped on entry, not enabled again.
    ASSERT_GE(window.timerLog.size(), 1u);
    EXPECT_FALSE(window.timerLog.back().enabled);
}

TEST_F(SupervisorTest, SilentAdaptersAreEachTriedOnceInListOrder) {
    ports.AppendPort("k1", "ttyUSB0", 1, "p1");
    ports.AppendPort("k2", "ttyUSB1", 0, "");
    ports.AppendPort("k3", "ttyUSB2", 1, "p3");
    struct Step { bool probing; size_t opens; int closes; };
    const Step expected[] = {
        {true, 1, 0},    // open position 1, poll
        {true, 1, 0},    //
        {false, 1, 1},   // no answer: close
        {true, 2, 1},    // open position 3, poll
        {true, 2, 1},
        {false, 2, 2},
        {false, 2, 2},   // stop
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        supervisor.Tick();
        EXPECT_EQ(supervisor.probing(), expected[i].probing) << "tick " << i + 1;
        EXPECT_EQ(serial.opens.size(), expected[i].opens) << "tick " << i + 1;
        EXPECT_EQ(serial.closes, expected[i].closes) << "tick " << i + 1;
        EXPECT_EQ(Running(), i + 1 < std::size(expected)) << "tick " << i + 1;
    }
    EXPECT_EQ(serial.opens, (std::vector<std::string>{"ttyUSB0", "ttyUSB2"}));
    EXPECT_EQ(sent(), "22");
    EXPECT_EQ(PortName(), "");
}

TEST_F(SupervisorTest, AnAnswerKeepsThePortAndStops) {
    ports.AppendPort("k1", "ttyUSB0", 1, "p1");
    protocol.BeginPolling();
    DeviceSends(line, protocol, Frame('0'));  // an answer on an earlier line
    ASSERT_TRUE(protocol.DeviceAnswered());
    supervisor.Tick();
    EXPECT_FALSE(protocol.DeviceAnswered());
    EXPECT_EQ(sent(), "2");
    DeviceSends(line, protocol, Frame('0'));  // the device answers: nothing to send now
    ASSERT_TRUE(protocol.DeviceAnswered());
    supervisor.Tick();
    supervisor.Tick();
    EXPECT_TRUE(supervisor.handedOver());
    EXPECT_TRUE(Running());
    supervisor.Tick();
    EXPECT_TRUE(supervisor.handedOver());
    EXPECT_FALSE(Running());
    EXPECT_TRUE(serial.portOpen);
    EXPECT_EQ(serial.closes, 0);
    EXPECT_EQ(PortName(), "ttyUSB0");
    supervisor.Tick();  // a stray tick changes nothing
    EXPECT_EQ(serial.opens.size(), 1u);
}

TEST_F(SupervisorTest, PortNameHoldsAtMostEightBytes) {
    ports.AppendPort("k1", "ttyUSB12", 1, "");
    ports.AppendPort("k2", "ttyACM123", 1, "");
    supervisor.Tick();
    EXPECT_EQ(PortName(), "ttyUSB12");
    EXPECT_EQ(serial.opens.back(), "ttyUSB12");
    supervisor.Tick();
    supervisor.Tick();  // no answer: closed
    supervisor.Tick();
    EXPECT_EQ(PortName(), "ttyACM12");
    EXPECT_EQ(serial.opens.back(), "ttyACM12");  // cut, and terminated for the open
}

TEST(ChooseNextPort, PositionsAndNames) {
    PortList ports;
    char name[kPortNameSize];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(ChooseNextPort(ports, name, 0), kNoPortLeft);
    EXPECT_EQ(name[0], 0);

    ports.AppendPort("k1", "COM1", 0, "");
    ports.AppendPort("k2", "COM2", 1, "");
    ports.AppendPort("k3", "", 1, "");
    EXPECT_EQ(ChooseNextPort(ports, name, 4), kNoPortLeft);  // past the end
    EXPECT_EQ(ChooseNextPort(ports, name, 0), 3);
    EXPECT_STREQ(name, "COM2");
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(ChooseNextPort(ports, name, 1), 2);  // not present: no name
    EXPECT_EQ(std::string(name, 8), std::string(8, '\0'));
    EXPECT_EQ(ChooseNextPort(ports, name, 3), kNoPortLeft);  // present, empty name
    EXPECT_EQ(name[0], 0);

    // Positions past 254 cannot be held in portIndex and must not wrap.
    PortList many;
    for (int i = 1; i <= 300; ++i)
        many.AppendPort("k", "COM" + std::to_string(i), i == 1 || i == 260 ? 1 : 0, "");
    EXPECT_EQ(ChooseNextPort(many, name, 0), kNoPortLeft);
    EXPECT_STREQ(name, "COM1");
}

TEST_F(SupervisorTest, OpenFailuresAreExplainedOncePerPortAndReason) {
    ports.AppendPort("k1", "ttyUSB0", 1, "");
    ports.AppendPort("k2", "ttyUSB1", 1, "");
    serial.openSucceeds = false;
    auto pass = [&] {
        supervisor.Restart(false);
        for (int i = 0; i < 3; ++i) supervisor.Tick();
    };
    openErrno = EACCES;
    pass();
    pass();
    ASSERT_EQ(window.status.size(), 2u);
    EXPECT_NE(window.status[0].find("ttyUSB0"), std::string::npos);
    EXPECT_NE(window.status[0].find("dialout"), std::string::npos);
    EXPECT_NE(window.status[0].find("udev rule"), std::string::npos);
    EXPECT_NE(window.status[1].find("ttyUSB1"), std::string::npos);

    openErrno = EBUSY;
    pass();
    ASSERT_EQ(window.status.size(), 4u);
    EXPECT_NE(window.status[2].find("ttyUSB0"), std::string::npos);
    EXPECT_NE(window.status[2].find("another program"), std::string::npos);
    openErrno = EWOULDBLOCK;  // flock: the same reason
    pass();
    openErrno = EPERM;  // the same reason as EACCES
    pass();
    openErrno = ENOENT;  // nothing to advise
    pass();
    ports.SetPortField(1, 3, "0");
    ports.SetPortField(2, 3, "0");
    openErrno = EACCES;  // no port chosen: nothing to name
    pass();
    ports.SetPortField(1, 3, "1");
    ports.SetPortField(2, 3, "1");
    EXPECT_EQ(window.status.size(), 4u);

    // Once ttyUSB0 opens, its reasons may be told again.
    serial.openSucceeds = true;
    openErrno = 0;
    supervisor.Restart(false);
    supervisor.Tick();
    ASSERT_TRUE(serial.portOpen);
    serial.closePort();
    serial.openSucceeds = false;
    openErrno = EACCES;
    pass();
    ASSERT_EQ(window.status.size(), 5u);
    EXPECT_NE(window.status[4].find("ttyUSB0"), std::string::npos);
}

// A port refused by the system just after a plug-in (udev still setting up
// the node or its permissions, another program probing it) is tried again a
// little later, not only at the next device change. ENOENT counts too: the
// kernel's event can come before udev has made the node.
TEST_F(SupervisorTest, RefusedPortIsRetriedAfterAPause) {
    ports.AppendPort("k1", "ttyUSB0", 1, "");
    serial.openSucceeds = false;
    openErrno = EACCES;
    supervisor.Tick();  // open refused
    supervisor.Tick();  // pass over: wait instead of stopping
    EXPECT_TRUE(Running());
    EXPECT_EQ(serial.opens.size(), 1u);
    for (int i = 1; i < kRetryTicks; ++i) supervisor.Tick();
    EXPECT_EQ(serial.opens.size(), 1u);
    EXPECT_TRUE(Running());
    serial.openSucceeds = true;
    openErrno = 0;
    supervisor.Tick();  // a new pass
    supervisor.Tick();
    EXPECT_EQ(serial.opens.size(), 2u);
    EXPECT_TRUE(serial.portOpen);
    EXPECT_EQ(sent(), "2");
    EXPECT_EQ(window.status.size(), 1u);  // the reason was told once

    serial.closePort();
    serial.openSucceeds = false;
    openErrno = ENOENT;
    supervisor.Restart(true);
    for (int i = 0; i < kRetryTicks + 1; ++i) supervisor.Tick();
    EXPECT_TRUE(Running());
    serial.openSucceeds = true;
    openErrno = 0;
    supervisor.Tick();
    EXPECT_EQ(serial.opens.size(), 4u);
    EXPECT_TRUE(serial.portOpen);

    // Our own port already open (a download on it) is not a reason to keep
    // trying.
    DeviceSends(line, protocol, Frame('0'));
    supervisor.Tick();
    supervisor.Tick();
    ASSERT_TRUE(supervisor.handedOver());
    supervisor.Restart(false);
    supervisor.Tick();  // meets the open port
    supervisor.Tick();
    EXPECT_FALSE(Running());
}

// A device change during a download restarts the supervisor while the
// download's port stays open. Each open attempt then meets that port and the
// serial layer's modal box: one attempt per change, whatever the other
// adapter's refusal says, and portName keeps naming the port in use.
TEST_F(SupervisorTest, DownloadPortHeldMeansOneWarningPerDeviceChange) {
    ports.AppendPort("k1", "ttyUSB0", 1, "");
    ports.AppendPort("k2", "ttyUSB1", 1, "");
    supervisor.Tick();
    DeviceSends(line, protocol, Frame('0'));
    for (int i = 0; i < 3; ++i) supervisor.Tick();
    ASSERT_TRUE(supervisor.handedOver());
    ASSERT_FALSE(Running());

    openErrno = EBUSY;  // as if ttyUSB1 were refused by the system
    for (int change = 1; change <= 2; ++change) {
        supervisor.Restart(false);
        for (int i = 0; i < 40 && Running(); ++i) supervisor.Tick();
        EXPECT_FALSE(Running()) << "change " << change;
        EXPECT_EQ(serial.opens.size(), 1u + change) << "change " << change;
        EXPECT_EQ(PortName(), "ttyUSB0");
    }
    EXPECT_TRUE(serial.portOpen);
    EXPECT_EQ(serial.closes, 0);
}

// An adapter pulled in the middle of a record leaves the parser inside a
// frame's payload and more of its bytes unread in the ring. The device on
// the next line must still be heard at its first answer: neither the frame
// left open nor the leftovers may take that answer as payload.
TEST(SupervisorNewLine, LeftoversOfAPulledLineDoNotSwallowTheFirstAnswer) {
    CoreHarness h;
    h.Feed(HeaderFrame({"DESK"}));
    h.Feed(Bytes("\x7E\x7E\x50\x4C", 4) + Bytes(10, 'a'));  // parsed: mid-payload
    h.Push(Bytes("\x7E\x7E\x51\x4C", 4) + Bytes(5, 'b'));   // arrived, not yet parsed
    h.serial.closePort();  // the pull

    PortList ports;
    ports.AppendPort("k1", "ttyUSB0", 1, "");
    Supervisor supervisor{ports, h.serial, h.window, h.protocol};
    h.serial.clearWritten();
    supervisor.Tick();  // the new line opens and is polled
    ASSERT_EQ(h.serial.commands(), "2");
    h.Feed(Frame('1'));
    EXPECT_TRUE(h.protocol.DeviceAnswered());
    EXPECT_EQ(h.serial.commands(), "2D");
    supervisor.Tick();
    supervisor.Tick();
    EXPECT_TRUE(supervisor.handedOver());
}

}  // namespace
}  // namespace dialscope
