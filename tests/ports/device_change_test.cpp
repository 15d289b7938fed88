#include "ports/device_change.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/registry_memory.h"
#include "ports/supervisor.h"
#include "tests/ports/registry_trees.h"
#include "protocol/protocol.h"
#include "tests/support/fakes.h"
#include "tests/support/frames.h"

namespace dialscope {
namespace {

using namespace dialscope::testing;

DeviceEvent Event(uint32_t code, uint32_t type) {
    DeviceEvent e;
    e.eventCode = code;
    e.deviceType = type;
    return e;
}
const DeviceEvent kNtArrival = Event(DBT_DEVICEARRIVAL_CODE, DBT_DEVTYP_DEVICEINTERFACE_TYPE);
const DeviceEvent kNtRemoval = Event(DBT_DEVICEREMOVECOMPLETE_CODE, DBT_DEVTYP_DEVICEINTERFACE_TYPE);
const DeviceEvent k9xArrival = Event(DBT_DEVICEARRIVAL_CODE, DBT_DEVTYP_PORT_TYPE);
const DeviceEvent k9xRemoval = Event(DBT_DEVICEREMOVECOMPLETE_CODE, DBT_DEVTYP_PORT_TYPE);

// A platform of the given family whose registrations are recorded.
class Family final : public DeviceEventSource {
public:
    explicit Family(uint8_t family, std::vector<uint8_t>* registrations = nullptr,
                    bool registers = true)
        : family_(family), registrations_(registrations), registers_(registers) {}
    uint8_t PlatformFamily() override { return family_; }
    bool Register(uint8_t f) override {
        if (registrations_) registrations_->push_back(f);
        return registers_;
    }

private:
    uint8_t family_;
    std::vector<uint8_t>* registrations_;
    bool registers_;
};

class DeviceChange : public ::testing::Test {
protected:
    // NT layout as Windows keeps it: instance keys stay after unplugging,
    // only the SERIALCOMM value comes and goes.
    void PlugNt(const std::string& instance, const std::string& port) {
        AddNtInstance(*tree, instance, port);
        AddSerialComm(*tree, "\\Device\\" + port, port);
    }
    void UnplugNt(const std::string& port) { tree->DeleteValue(kSerialCommKey, "\\Device\\" + port); }
    // The supervisor holds a port open under this name (at most eight
    // bytes of it, as it keeps them); "" when it named none.
    void InUse(const char* name) {
        search.name = std::string(name).substr(0, kPortNameSize);
        serial.portOpen = true;
    }
    void StartDiscovery(Family&& platform) { monitor.StartPortDiscovery(platform); }
    // Whether the search was restarted since the last time this was asked.
    bool ResetDone() {
        const bool restarted = search.restarts.size() > restartsSeen;
        restartsSeen = search.restarts.size();
        return restarted;
    }

    std::shared_ptr<MemoryRegistry> tree = std::make_shared<MemoryRegistry>();
    int readers = 0;
    PortList ports;
    FakeSearch search;
    size_t restartsSeen = 0;
    FakeSerial serial;
    FakeWindow window;
    DeviceMonitor monitor{ports, CountingFactory(tree, readers), search, serial, window};
};

TEST_F(DeviceChange, StartUpPicksFamilyRegistersAndScans) {
    PlugNt("1-2", "ttyUSB0");
    std::vector<uint8_t> registrations;
    StartDiscovery(Family(kFamilyNt, &registrations));
    EXPECT_EQ(monitor.platformFamily(), kFamilyNt);
    EXPECT_EQ(registrations, std::vector<uint8_t>{kFamilyNt});
    EXPECT_TRUE(monitor.registered());
    ASSERT_EQ(ports.PortCount(), 1);
    EXPECT_EQ(ports.IsPortPresentAt(1), 1);

    // A failed registration is only recorded; the scan runs all the same.
    ports.ClearPorts();
    StartDiscovery(Family(kFamilyNt, nullptr, false));
    EXPECT_FALSE(monitor.registered());
    EXPECT_EQ(ports.PortCount(), 1);
}

TEST_F(DeviceChange, UnknownFamilyRegistersAndScansNothingAndDecodesNothing) {
    PlugNt("1-2", "ttyUSB0");
    for (uint8_t family : {uint8_t{0}, uint8_t{3}}) {
        std::vector<uint8_t> registrations;
        StartDiscovery(Family(family, &registrations));
        EXPECT_EQ(monitor.platformFamily(), kFamilyNone);
        EXPECT_TRUE(registrations.empty());
        EXPECT_EQ(ports.PortCount(), 0);
        const int before = readers;
        for (const DeviceEvent& e : {kNtArrival, kNtRemoval, k9xArrival, k9xRemoval})
            EXPECT_EQ(monitor.OnWindowMessage(e), 0);
        EXPECT_EQ(readers, before);
    }
}

TEST_F(DeviceChange, OnlyTheFamilysKindOfArrivalOrRemovalCounts) {
    PlugNt("1-2", "ttyUSB0");
    StartDiscovery(Family(kFamilyNt));
    UnplugNt("ttyUSB0");
    InUse("ttyUSB0");
    const int before = readers;
    DeviceEvent otherMessage = kNtRemoval;
    otherMessage.message = 0x0113;
    EXPECT_EQ(monitor.OnWindowMessage(otherMessage), 0);
    EXPECT_EQ(monitor.OnWindowMessage(Event(0x8001, DBT_DEVTYP_DEVICEINTERFACE_TYPE)), 0);
    EXPECT_EQ(monitor.OnWindowMessage(Event(0x0007, DBT_DEVTYP_DEVICEINTERFACE_TYPE)), 0);
    EXPECT_EQ(monitor.OnWindowMessage(k9xRemoval), 0);  // port type on the NT family
    EXPECT_EQ(monitor.OnWindowMessage(k9xArrival), 0);
    EXPECT_EQ(readers, before);
    EXPECT_TRUE(search.restarts.empty());
    EXPECT_EQ(ports.IsPortPresentAt(1), 1);
    EXPECT_TRUE(window.status.empty());
    // The right kind is decoded.
    EXPECT_EQ(monitor.OnWindowMessage(kNtRemoval), 2);
}

TEST_F(DeviceChange, RemovingTheAdapterInUseClosesAndReports) {
    PlugNt("1-2", "ttyUSB0");
    StartDiscovery(Family(kFamilyNt));
    InUse("ttyUSB0");
    UnplugNt("ttyUSB0");
    EXPECT_EQ(monitor.OnWindowMessage(kNtRemoval), 2);
    EXPECT_EQ(serial.closes, 1);
    EXPECT_FALSE(serial.portOpen);
    EXPECT_EQ(window.status, std::vector<std::string>{"Device Remove."});
    EXPECT_TRUE(ResetDone());
    EXPECT_TRUE(search.restarts.back());  // told that its port was closed
    EXPECT_EQ(ports.IsPortPresentAt(1), 0);
    EXPECT_EQ(ports.GetPortField(1, 4), "");
    EXPECT_EQ(ports.GetPortField(1, 2), "ttyUSB0");  // the name stays for a later arrival

    // Nothing more to remove: no change, no second report.
    EXPECT_EQ(monitor.OnWindowMessage(kNtRemoval), 0);
    EXPECT_EQ(window.status.size(), 1u);
    EXPECT_FALSE(ResetDone());

    // Plugged back in: present again, supervisor restarted, port untouched.
    PlugNt("1-2", "ttyUSB0");
    EXPECT_EQ(monitor.OnWindowMessage(kNtArrival), 1);
    EXPECT_EQ(ports.PortCount(), 1);
    EXPECT_EQ(ports.GetPortField(1, 4), "\\Device\\ttyUSB0");
    EXPECT_TRUE(ResetDone());
    EXPECT_FALSE(search.restarts.back());
    EXPECT_EQ(serial.closes, 1);
}

TEST_F(DeviceChange, RemovingAnotherAdapterKeepsThePortButRestarts) {
    PlugNt("1-2", "ttyUSB0");
    PlugNt("1-3", "ttyUSB1");
    StartDiscovery(Family(kFamilyNt));
    InUse("ttyUSB0");
    UnplugNt("ttyUSB1");
    EXPECT_EQ(monitor.OnWindowMessage(kNtRemoval), 2);
    EXPECT_EQ(serial.closes, 0);
    EXPECT_TRUE(serial.portOpen);
    EXPECT_TRUE(window.status.empty());
    EXPECT_TRUE(ResetDone());
    EXPECT_EQ(ports.IsPortPresentAt(1), 1);
    EXPECT_EQ(ports.IsPortPresentAt(2), 0);
}

TEST_F(DeviceChange, RemovalWithNoPortChosenNeverCloses) {
    PlugNt("1-2", "ttyUSB0");
    StartDiscovery(Family(kFamilyNt));
    InUse("");
    UnplugNt("ttyUSB0");
    EXPECT_EQ(monitor.OnWindowMessage(kNtRemoval), 2);
    EXPECT_EQ(serial.closes, 0);
    EXPECT_TRUE(window.status.empty());
    EXPECT_TRUE(ResetDone());
}

TEST_F(DeviceChange, EightCharacterPortNameWithoutTerminatorMatchesItsRecord) {
    PlugNt("1-2", "ttyACM123");
    PlugNt("1-3", "ttyACM12");
    StartDiscovery(Family(kFamilyNt));
    InUse("ttyACM123");  // cut to "ttyACM12"
    UnplugNt("ttyACM123");
    // The first record beginning with the 8 characters is the one removed.
    EXPECT_EQ(monitor.OnWindowMessage(kNtRemoval), 2);
    EXPECT_EQ(window.status, std::vector<std::string>{"Device Remove."});
}

TEST_F(DeviceChange, ArrivalWithNoRecordBecomingPresentRebuildsTheList) {
    PlugNt("1-2", "ttyUSB0");
    StartDiscovery(Family(kFamilyNt));
    UnplugNt("ttyUSB0");
    ASSERT_EQ(monitor.OnWindowMessage(kNtRemoval), 2);
    // A second adapter, new to the system, under a name no record has.
    PlugNt("1-4", "ttyUSB3");
    InUse("");
    EXPECT_EQ(monitor.OnWindowMessage(kNtArrival), 1);
    ASSERT_EQ(ports.PortCount(), 2);
    EXPECT_EQ(ports.GetPortField(1, 2), "ttyUSB0");
    EXPECT_EQ(ports.IsPortPresentAt(1), 0);
    EXPECT_EQ(ports.GetPortField(2, 2), "ttyUSB3");
    EXPECT_EQ(ports.IsPortPresentAt(2), 1);
    EXPECT_TRUE(ResetDone());
}

TEST_F(DeviceChange, EmptyListLooksAgainOnArrivalOnly) {
    StartDiscovery(Family(kFamilyNt));
    ASSERT_EQ(ports.PortCount(), 0);
    InUse("");
    const int before = readers;
    EXPECT_EQ(monitor.OnWindowMessage(kNtRemoval), 0);
    EXPECT_EQ(readers, before);
    // Some other port arrived: still nothing of ours, nothing restarted.
    EXPECT_EQ(monitor.OnWindowMessage(kNtArrival), 0);
    EXPECT_TRUE(search.restarts.empty());
    // The adapter installed after start-up is found on its arrival.
    PlugNt("1-2", "ttyUSB0");
    EXPECT_EQ(monitor.OnWindowMessage(kNtArrival), 1);
    EXPECT_EQ(ports.PortCount(), 1);
    EXPECT_TRUE(ResetDone());
}

TEST_F(DeviceChange, RegistryErrorsLeaveTheStepBeforeTheRestart) {
    PlugNt("1-2", "ttyUSB0");
    StartDiscovery(Family(kFamilyNt));
    InUse("ttyUSB0");
    tree->SetDword(kSerialCommKey, "\\Device\\Bad", 1);
    tree->DeleteValue(kSerialCommKey, "\\Device\\ttyUSB0");
    EXPECT_THROW(monitor.OnWindowMessage(kNtRemoval), RegistryError);
    EXPECT_TRUE(search.restarts.empty());
    EXPECT_EQ(serial.closes, 0);

    // An error in the rescan after the list was emptied keeps what came before it.
    tree->DeleteValue(kSerialCommKey, "\\Device\\Bad");
    ASSERT_EQ(monitor.OnWindowMessage(kNtRemoval), 2);
    AddNtInstance(*tree, "1-3", std::nullopt);
    tree->SetDword(std::string(kUsbKeyNt) + "\\1-3\\Device Parameters", "PortName", 1);
    EXPECT_THROW(monitor.OnWindowMessage(kNtArrival), RegistryError);
    EXPECT_EQ(ports.PortCount(), 1);
}

TEST_F(DeviceChange, Win9xRefreshFollowsRefCounts) {
    Add9xInstance(*tree, "INST_1", "A", 0);
    Add9xPortEntry(*tree, "1", "COM3");
    StartDiscovery(Family(kFamilyWin9x));
    ASSERT_EQ(ports.PortCount(), 1);
    ASSERT_EQ(ports.IsPortPresentAt(1), 0);

    EXPECT_EQ(monitor.OnWindowMessage(kNtArrival), 0);  // interface type on 9x
    tree->SetDword(InterfaceKey9x("A"), "RefCount", 1);
    Add9xPortEntry(*tree, "1", "COM7");  // the port got a new name
    EXPECT_EQ(monitor.OnWindowMessage(k9xArrival), 1);
    EXPECT_EQ(ports.IsPortPresentAt(1), 1);
    EXPECT_EQ(ports.GetPortField(1, 2), "COM7");

    InUse("COM7");
    EXPECT_EQ(monitor.OnWindowMessage(k9xRemoval), 0);  // still referenced
    tree->SetDword(InterfaceKey9x("A"), "RefCount", 0);
    EXPECT_EQ(monitor.OnWindowMessage(k9xRemoval), 2);
    EXPECT_EQ(ports.IsPortPresentAt(1), 0);
    EXPECT_EQ(window.status, std::vector<std::string>{"Device Remove."});

    // An arrival that makes nothing present rebuilds from the registry.
    Add9xInstance(*tree, "INST_2", "B", 1);
    Add9xPortEntry(*tree, "2", "COM8");
    EXPECT_EQ(monitor.OnWindowMessage(k9xArrival), 1);
    ASSERT_EQ(ports.PortCount(), 2);
    EXPECT_EQ(ports.GetPortField(2, 2), "COM8");
    EXPECT_EQ(ports.IsPortPresentAt(2), 1);
}

// The device-change step and the supervisor together.
class Restart : public DeviceChange {
protected:
    void StartLinked() {
        Family nt(kFamilyNt);
        linked.StartPortDiscovery(nt);
    }
    // As a device change leaves the supervisor: its next tick begins a pass.
    bool Restarted() const {
        return !supervisor.probing() && !supervisor.handedOver() && window.timer(Timer::watch_serial);
    }

    FakeLine line;
    Protocol protocol{line, window, serial};
    Supervisor supervisor{ports, serial, window, protocol, {}, [this] { return serial.portOpen; }};
    DeviceMonitor linked{ports, CountingFactory(tree, readers), supervisor, serial, window};
};

TEST_F(Restart, ArrivalDuringADownloadMeetsTheOpenPortAndMovesOn) {
    PlugNt("1-2", "ttyUSB0");
    StartLinked();
    supervisor.Tick();
    DeviceSends(line, protocol, Frame('0'));  // the device answers the probe
    supervisor.Tick();
    supervisor.Tick();
    ASSERT_TRUE(supervisor.handedOver());
    supervisor.Tick();
    ASSERT_FALSE(window.timer(Timer::watch_serial));

    PlugNt("1-3", "ttyUSB1");
    EXPECT_EQ(linked.OnWindowMessage(kNtArrival), 1);
    EXPECT_TRUE(Restarted());
    EXPECT_TRUE(serial.portOpen);
    supervisor.Tick();  // first present adapter: ours, already open (its warning)
    supervisor.Tick();  // the other one: skipped, it would only warn again
    EXPECT_EQ(serial.opens, (std::vector<std::string>{"ttyUSB0", "ttyUSB0"}));
    EXPECT_FALSE(supervisor.probing());
    supervisor.Tick();
    EXPECT_FALSE(window.timer(Timer::watch_serial));
    EXPECT_TRUE(serial.portOpen);
    EXPECT_EQ(serial.closes, 0);
    EXPECT_EQ(serial.commands(), "2");

    // The pass kept the name of the port in use: pulling its adapter closes it.
    UnplugNt("ttyUSB0");
    EXPECT_EQ(linked.OnWindowMessage(kNtRemoval), 2);
    EXPECT_FALSE(serial.portOpen);
    EXPECT_EQ(window.status, std::vector<std::string>{"Device Remove."});
}

TEST_F(Restart, ARestartAbandonsAProbeStillWaitingForItsAnswer) {
    PlugNt("1-2", "ttyUSB0");  // no device behind this one
    StartLinked();
    supervisor.Tick();
    supervisor.Tick();
    ASSERT_TRUE(supervisor.probing());
    ASSERT_TRUE(serial.portOpen);

    PlugNt("1-3", "ttyUSB1");
    EXPECT_EQ(linked.OnWindowMessage(kNtArrival), 1);
    EXPECT_EQ(serial.closes, 1);
    EXPECT_FALSE(serial.portOpen);
    supervisor.Tick();  // ttyUSB0 again, opens
    EXPECT_TRUE(supervisor.probing());
    supervisor.Tick();
    supervisor.Tick();  // no answer: closed
    supervisor.Tick();  // ttyUSB1 reached
    EXPECT_EQ(serial.opens.back(), "ttyUSB1");
    EXPECT_TRUE(serial.portOpen);

    // An answered probe is the dialogue's: a restart leaves it open.
    DeviceSends(line, protocol, Frame('0'));  // the device answers the probe
    supervisor.Tick();
    PlugNt("1-4", "ttyUSB2");
    EXPECT_EQ(linked.OnWindowMessage(kNtArrival), 1);
    EXPECT_TRUE(serial.portOpen);
    EXPECT_EQ(serial.closes, 2);
}

}  // namespace
}  // namespace dialscope
