#include "ports/device_events_linux.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "ports/device_change.h"
#include "ports/registry_sysfs.h"
#include "tests/support/fake_sysfs.h"
#include "tests/support/fakes.h"

namespace dialscope {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

const std::string kAdd =
    "add@/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0\0"
    "ACTION=add\0DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0\0"
    "SUBSYSTEM=tty\0MAJOR=188\0MINOR=0\0DEVNAME=ttyUSB0\0SEQNUM=4711\0"s;

std::optional<DeviceEvent> Parse(const std::string& s) { return ParseUevent(s.data(), s.size()); }

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    s.replace(s.find(from), from.size(), to);
    return s;
}

TEST(ParseUevent, TtyAddAndRemoveOnly) {
    auto add = Parse(kAdd);
    ASSERT_TRUE(add);
    EXPECT_EQ(add->message, WM_DEVICECHANGE_ID);
    EXPECT_EQ(add->eventCode, DBT_DEVICEARRIVAL_CODE);
    EXPECT_EQ(add->deviceType, DBT_DEVTYP_DEVICEINTERFACE_TYPE);

    const std::string remove = Replace(Replace(kAdd, "add@", "remove@"), "ACTION=add", "ACTION=remove");
    auto removal = Parse(remove);
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->eventCode, DBT_DEVICEREMOVECOMPLETE_CODE);

    EXPECT_FALSE(Parse(Replace(Replace(kAdd, "add@", "change@"), "ACTION=add", "ACTION=change")));
    EXPECT_FALSE(Parse(Replace(Replace(kAdd, "add@", "bind@"), "ACTION=add", "ACTION=bind")));
    EXPECT_FALSE(Parse(Replace(kAdd, "SUBSYSTEM=tty", "SUBSYSTEM=usb-serial")));
    EXPECT_FALSE(Parse(Replace(kAdd, "SUBSYSTEM=tty", "SUBSYSTEM=ttyX")));
    EXPECT_FALSE(Parse(Replace(kAdd, "SUBSYSTEM=tty", "XSUBSYSTEM=tty")));
    // Header and body disagree.
    EXPECT_FALSE(Parse(Replace(kAdd, "ACTION=add", "ACTION=remove")));
    // libudev's re-broadcast carries the same keys behind its own header.
    EXPECT_FALSE(Parse("libudev\0\xfe\xed\xca\xfe"s + kAdd.substr(kAdd.find('\0') + 1)));
    EXPECT_FALSE(Parse("add@\0ACTION=add\0SUBSYSTEM=tty\0"s));  // no device path
    EXPECT_FALSE(Parse("@/x\0ACTION=\0SUBSYSTEM=tty\0"s));
    EXPECT_FALSE(Parse("ACTION=add\0SUBSYSTEM=tty\0"s));       // no header
    EXPECT_FALSE(ParseUevent(nullptr, 10));
    EXPECT_FALSE(ParseUevent(kAdd.data(), 0));
    // The first of a repeated key counts.
    EXPECT_TRUE(Parse(kAdd + "SUBSYSTEM=usb\0"s));
}

TEST(ParseUevent, CutShortMessagesGiveAnEventOnlyWhenWhole) {
    // Every prefix: an event only once both keys have arrived with their NULs.
    const size_t needed = std::max(kAdd.find("ACTION=add\0"s) + 11, kAdd.find("SUBSYSTEM=tty\0"s) + 14);
    for (size_t len = 0; len <= kAdd.size(); ++len) {
        std::vector<char> copy(kAdd.begin(), kAdd.begin() + static_cast<long>(len));
        EXPECT_EQ(ParseUevent(copy.data(), len).has_value(), len >= needed) << "length " << len;
    }
}

TEST(ParseUevent, ArbitraryBytesNeverMakeAnEventOutOfNothing) {
    std::mt19937 rng(12345);
    const std::string alphabet = "add@/=ACTIONSUBSYSTEMtty\0remove"s;
    for (int round = 0; round < 20000; ++round) {
        std::string s(rng() % 96, '\0');
        for (char& c : s)
            c = (round % 2) ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        std::vector<char> exact(s.begin(), s.end());  // no slack past the end
        auto event = ParseUevent(exact.data(), exact.size());
        if (event) {
            EXPECT_NE(s.find("SUBSYSTEM=tty\0"s), std::string::npos);
            EXPECT_NE(s.find('@'), std::string::npos);
        }
    }
}

// Waits for the descriptor to become readable, up to a generous deadline, and
// collects what the source has then.
std::vector<DeviceEvent> WaitForEvents(HotplugSource& source, size_t atLeast = 1) {
    std::vector<DeviceEvent> all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (all.size() < atLeast && std::chrono::steady_clock::now() < deadline) {
        pollfd p{source.fd(), POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            auto events = source.ReadEvents();
            all.insert(all.end(), events.begin(), events.end());
        }
    }
    return all;
}

class TempTree : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "dialscope-hotplug-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        root = tmpl;
        fs::create_directories(root / "class" / "tty");
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST_F(TempTree, EntriesComingAndGoingAreArrivalsAndRemovals) {
    SysfsTreeSource source(root.string());
    ASSERT_TRUE(source.ok());
    ASSERT_GE(source.fd(), 0);
    EXPECT_TRUE(source.ReadEvents().empty());  // nothing yet, and no blocking

    const fs::path tty = root / "class" / "tty";
    fs::create_directory_symlink("../../devices/x/ttyUSB0", tty / "ttyUSB0");
    auto events = WaitForEvents(source);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventCode, DBT_DEVICEARRIVAL_CODE);
    EXPECT_EQ(events[0].deviceType, DBT_DEVTYP_DEVICEINTERFACE_TYPE);

    fs::remove(tty / "ttyUSB0");
    events = WaitForEvents(source);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventCode, DBT_DEVICEREMOVECOMPLETE_CODE);

    // Moved in and out of the directory.
    std::ofstream(root / "staged") << "x";
    fs::rename(root / "staged", tty / "ttyUSB1");
    events = WaitForEvents(source);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventCode, DBT_DEVICEARRIVAL_CODE);
    fs::rename(tty / "ttyUSB1", root / "gone");
    events = WaitForEvents(source);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventCode, DBT_DEVICEREMOVECOMPLETE_CODE);

    // A file changed inside is no event.
    std::ofstream(tty / "ttyS0") << "x";
    ASSERT_EQ(WaitForEvents(source).size(), 1u);
    std::ofstream(tty / "ttyS0", std::ios::app) << "y";
    pollfd p{source.fd(), POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
        EXPECT_TRUE(source.ReadEvents().empty());
    }
}

TEST_F(TempTree, FactoryFollowsTheEnvironment) {
    auto tree = MakeHotplugSource(root.string().c_str());
    EXPECT_NE(dynamic_cast<SysfsTreeSource*>(tree.get()), nullptr);
    EXPECT_TRUE(tree->ok());
    EXPECT_NE(dynamic_cast<UeventSource*>(MakeHotplugSource("").get()), nullptr);
    EXPECT_NE(dynamic_cast<UeventSource*>(MakeHotplugSource(nullptr).get()), nullptr);

    ::setenv("DIALSCOPE_SYSFS_ROOT", root.string().c_str(), 1);
    auto fromEnv = MakeDeviceEventSource();
    ::unsetenv("DIALSCOPE_SYSFS_ROOT");
    EXPECT_NE(dynamic_cast<SysfsTreeSource*>(fromEnv.get()), nullptr);

    // A tree without class/tty cannot be watched: registration fails.
    SysfsTreeSource missing((root / "nowhere").string());
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.fd(), -1);
    EXPECT_TRUE(missing.ReadEvents().empty());

    EXPECT_EQ(missing.PlatformFamily(), kFamilyNt);
    EXPECT_FALSE(missing.Register(kFamilyNt));
    EXPECT_TRUE(tree->Register(kFamilyNt));
}

// Plugging into a fake sysfs tree, seen through the sysfs registry view and
// the inotify source, drives the port list as a real adapter would.
TEST(HotplugEndToEnd, FakeTreePlugAndUnplugReachThePortList) {
    testing::FakeSysfs sysfs;
    SysfsTreeSource source(sysfs.root().string());
    ASSERT_TRUE(source.ok());
    PortList ports;
    testing::FakeSearch search;
    testing::FakeSerial serial;
    testing::FakeWindow window;
    DeviceMonitor monitor(ports, MakeSysfsRegistryFactory(sysfs.root()), search, serial, window);
    monitor.StartPortDiscovery(source);
    EXPECT_TRUE(monitor.registered());
    EXPECT_EQ(ports.PortCount(), 0);

    sysfs.AddUsbSerial("067b", "2303", "usb1/1-2", "ttyUSB0");
    int result = 0;
    for (const DeviceEvent& e : WaitForEvents(source)) result = monitor.OnWindowMessage(e);
    EXPECT_EQ(result, kPortsArrived);
    ASSERT_EQ(ports.PortCount(), 1);
    EXPECT_EQ(ports.GetPortField(1, 2), "ttyUSB0");
    EXPECT_EQ(ports.IsPortPresentAt(1), 1);

    search.name = "ttyUSB0";
    serial.portOpen = true;
    sysfs.RemoveUsbSerial("usb1/1-2");
    result = 0;
    for (const DeviceEvent& e : WaitForEvents(source)) result = monitor.OnWindowMessage(e);
    EXPECT_EQ(result, kPortsRemoved);
    EXPECT_EQ(ports.IsPortPresentAt(1), 0);
    EXPECT_FALSE(serial.portOpen);
    EXPECT_EQ(window.status, std::vector<std::string>{"Device Remove."});
}

// The kernel hands a freed tty name to the next device: another maker's
// adapter plugged after ours was pulled gets ttyUSB0. The stale record must
// not match it, whether the pull was handled first or both come at once.
TEST(HotplugEndToEnd, ATtyNameReusedByAnotherDeviceIsNotOurs) {
    const DeviceEvent arrival{WM_DEVICECHANGE_ID, DBT_DEVICEARRIVAL_CODE,
                              DBT_DEVTYP_DEVICEINTERFACE_TYPE};
    const DeviceEvent removal{WM_DEVICECHANGE_ID, DBT_DEVICEREMOVECOMPLETE_CODE,
                              DBT_DEVTYP_DEVICEINTERFACE_TYPE};
    for (const bool together : {false, true}) {
        SCOPED_TRACE(together ? "pull and plug handled together" : "pull handled first");
        testing::FakeSysfs sysfs;
        PortList ports;
        testing::FakeSearch search;
        testing::FakeSerial serial;
        testing::FakeWindow window;
        DeviceMonitor monitor(ports, MakeSysfsRegistryFactory(sysfs.root()), search, serial,
                              window);
        sysfs.AddUsbSerial("067b", "2303", "usb1/1-2", "ttyUSB0");
        testing::FakeDeviceEvents platform;
        monitor.StartPortDiscovery(platform);
        ASSERT_EQ(ports.FirstPresentPort(), 1);
        search.name = "ttyUSB0";
        serial.portOpen = true;

        sysfs.RemoveUsbSerial("usb1/1-2");
        if (!together) monitor.OnWindowMessage(removal);
        sysfs.AddUsbSerial("0403", "6001", "usb1/1-3", "ttyUSB0");
        if (together) monitor.OnWindowMessage(removal);
        monitor.OnWindowMessage(arrival);
        EXPECT_EQ(ports.FirstPresentPort(), 0);
        EXPECT_FALSE(serial.portOpen);
        EXPECT_EQ(window.status, std::vector<std::string>{"Device Remove."});
    }
}

// The kernel's own stream: root only, and only where sysfs lets us ask the
// kernel to repeat a tty's event.
TEST(UeventSource, ReceivesKernelEvents) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to trigger a uevent";
    UeventSource source;
    if (!source.ok()) GTEST_SKIP() << "netlink uevent socket not available here";
    {
        std::ofstream trigger("/sys/class/tty/tty1/uevent");
        trigger << "change";
        trigger.flush();
        if (!trigger) GTEST_SKIP() << "cannot write /sys/class/tty/tty1/uevent";
    }
    std::vector<DeviceEvent> events;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (source.messagesRead() == 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{source.fd(), POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            auto got = source.ReadEvents();
            events.insert(events.end(), got.begin(), got.end());
        }
    }
    EXPECT_GT(source.messagesRead(), 0u);
    EXPECT_TRUE(events.empty());  // a "change" is neither arrival nor removal
}

}  // namespace
}  // namespace dialscope
