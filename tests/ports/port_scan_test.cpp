#include "ports/port_scan.h"

#include <gtest/gtest.h>

#include "tests/support/registry_memory.h"
#include "tests/ports/registry_trees.h"
#include "tests/support/registry_error.h"

namespace dialscope {
namespace {

using namespace dialscope::testing;

TEST(TextToInteger, AcceptsSignedDecimal32BitOnly) {
    EXPECT_EQ(TextToInteger("0003"), 3);
    EXPECT_EQ(TextToInteger("-7"), -7);
    EXPECT_EQ(TextToInteger("+12"), 12);
    EXPECT_EQ(TextToInteger("2147483647"), 2147483647);
    EXPECT_EQ(TextToInteger("-2147483648"), INT32_MIN);
    for (const char* bad : {"", "+", "-", "12a", " 1", "1 ", "0x10", "2147483648", "-2147483649",
                            "99999999999999999999999"}) {
        EXPECT_EQ(RegistryErrorText([&] { TextToInteger(bad); }),
                  std::string("'") + bad + "' is not a valid integer value");
    }
}

class NtScan : public ::testing::Test {
protected:
    std::shared_ptr<MemoryRegistry> tree = std::make_shared<MemoryRegistry>();
    int readers = 0;
    RegistryFactory registry = CountingFactory(tree, readers);
    PortList ports;
};

TEST_F(NtScan, MissingKeysAppendNothing) {
    ScanPortsNt(ports, registry);
    EXPECT_EQ(ports.PortCount(), 0);
    tree->AddKey(kUsbKeyNt);  // the key with no instances
    ScanPortsNt(ports, registry);
    EXPECT_EQ(ports.PortCount(), 0);
}

TEST_F(NtScan, EveryInstanceGetsARecord) {
    AddNtInstance(*tree, "1-2", "ttyUSB0");
    AddNtInstance(*tree, "1-3", std::nullopt);
    AddNtInstance(*tree, "1-4", "ttyUSB7");
    AddSerialComm(*tree, "\\Device\\ttyS0", "ttyS0");
    AddSerialComm(*tree, "\\Device\\ttyUSB0", "ttyUSB0");

    ports.AppendPort("earlier", "x", 1, "y");  // scans append, they do not empty
    ScanPortsNt(ports, registry);
    ASSERT_EQ(ports.PortCount(), 4);
    const auto& r = ports.records();
    EXPECT_EQ(r[1].deviceKey, std::string(kUsbKeyNt) + "\\1-2\\Device Parameters");
    EXPECT_EQ(r[1].comPort, "ttyUSB0");
    EXPECT_EQ(r[1].present, 1);
    EXPECT_EQ(r[1].presenceKey, "\\Device\\ttyUSB0");
    EXPECT_EQ(r[2].deviceKey, std::string(kUsbKeyNt) + "\\1-3\\Device Parameters");
    EXPECT_EQ(r[2].comPort, "");
    EXPECT_EQ(r[2].present, 0);
    EXPECT_EQ(r[2].presenceKey, "");
    EXPECT_EQ(r[3].comPort, "ttyUSB7");
    EXPECT_EQ(r[3].present, 0);
    EXPECT_EQ(r[3].presenceKey, "");
}

TEST_F(NtScan, SerialCommSearchIsBeginsWithInEnumerationOrder) {
    AddSerialComm(*tree, "\\Device\\Serial10", "COM10");
    AddSerialComm(*tree, "\\Device\\Serial1", "COM1");
    AddSerialComm(*tree, "\\Device\\Serial2", "COM2");
    EXPECT_EQ(FindSerialCommValue(registry, "COM1"), "\\Device\\Serial10");
    EXPECT_EQ(FindSerialCommValue(registry, "COM2"), "\\Device\\Serial2");
    EXPECT_EQ(FindSerialCommValue(registry, "COM3"), "");
    EXPECT_EQ(FindSerialCommValue(registry, "com2"), "");

    const int before = readers;
    EXPECT_EQ(FindSerialCommValue(registry, ""), "");
    EXPECT_EQ(readers, before);  // an empty name reads nothing
}

TEST_F(NtScan, WrongValueTypesEndTheScanAndKeepEarlierRecords) {
    AddNtInstance(*tree, "1-1", "ttyUSB0");
    AddNtInstance(*tree, "1-2", std::nullopt);
    tree->SetDword(std::string(kUsbKeyNt) + "\\1-2\\Device Parameters", "PortName", 5);
    AddNtInstance(*tree, "1-3", "ttyUSB1");
    EXPECT_EQ(RegistryErrorText([&] { ScanPortsNt(ports, registry); }), "Invalid data type for 'PortName'");
    ASSERT_EQ(ports.PortCount(), 1);
    EXPECT_EQ(ports.records()[0].comPort, "ttyUSB0");

    // A SERIALCOMM value that is not text, met while searching.
    tree->SetBinary(kSerialCommKey, "\\Device\\Odd", "\x01\x02");
    AddSerialComm(*tree, "\\Device\\ttyUSB9", "ttyUSB9");
    EXPECT_EQ(RegistryErrorText([&] { FindSerialCommValue(registry, "ttyUSB9"); }),
              "Invalid data type for '\\Device\\Odd'");
}

class Win9xScan : public ::testing::Test {
protected:
    std::shared_ptr<MemoryRegistry> tree = std::make_shared<MemoryRegistry>();
    int readers = 0;
    RegistryFactory registry = CountingFactory(tree, readers);
    PortList ports;
};

TEST_F(Win9xScan, MissingKeysAppendNothing) {
    ScanPortsWin9x(ports, registry);
    EXPECT_EQ(ports.PortCount(), 0);
    tree->AddKey(kUsbKey9x);
    ScanPortsWin9x(ports, registry);
    EXPECT_EQ(ports.PortCount(), 0);
}

TEST_F(Win9xScan, PresenceFollowsRefCountAndThePortEntry) {
    Add9xInstance(*tree, "INST_1", "A", 1);
    Add9xInstance(*tree, "INST_2", "B", 0);
    Add9xInstance(*tree, "INST_3", "C", -1);
    Add9xInstance(*tree, "INST_4", "D", 2);    // no port entry numbered 4
    tree->AddKey(std::string(kUsbKey9x) + "\\INST_5");  // no SymbolicName: no record
    Add9xInstance(*tree, "NOTANINSTANCE", "E", 1);  // no instance number
    Add9xPortEntry(*tree, "1", "COM3");
    Add9xPortEntry(*tree, "2", "COM4");
    Add9xPortEntry(*tree, "0003", "COM5");  // pairs with INST_3

    ScanPortsWin9x(ports, registry);
    ASSERT_EQ(ports.PortCount(), 5);
    const auto& r = ports.records();
    EXPECT_EQ(r[0].deviceKey, std::string(kUsbKey9x) + "\\INST_1");
    EXPECT_EQ(r[0].presenceKey, InterfaceKey9x("A"));
    EXPECT_EQ(r[0].comPort, "COM3");
    EXPECT_EQ(r[0].present, 1);
    EXPECT_EQ(r[1].comPort, "COM4");
    EXPECT_EQ(r[1].present, 0);
    EXPECT_EQ(r[2].comPort, "COM5");
    EXPECT_EQ(r[2].present, 0);  // negative count: not present
    EXPECT_EQ(r[3].comPort, "");
    EXPECT_EQ(r[3].present, 0);
    EXPECT_EQ(r[4].deviceKey, std::string(kUsbKey9x) + "\\NOTANINSTANCE");
    EXPECT_EQ(r[4].comPort, "");
    EXPECT_EQ(r[4].present, 0);
}

TEST_F(Win9xScan, ErrorsEndTheScanWithTheirTextAndKeepEarlierRecords) {
    Add9xInstance(*tree, "INST_1", "A", 1);
    Add9xInstance(*tree, "INST_2", "B", 1);
    Add9xInstance(*tree, "INST_x", "C", 1);
    Add9xInstance(*tree, "INST_4", "D", 1);
    Add9xPortEntry(*tree, "1", "COM3");
    Add9xPortEntry(*tree, "2", "COM4");
    EXPECT_EQ(RegistryErrorText([&] { ScanPortsWin9x(ports, registry); }),
              "'x' is not a valid integer value");
    ASSERT_EQ(ports.PortCount(), 2);
    EXPECT_EQ(ports.records()[1].comPort, "COM4");

    // RefCount missing, then of the wrong type.
    tree->DeleteKey(std::string(kUsbKey9x) + "\\INST_x");
    tree->DeleteValue(InterfaceKey9x("D"), "RefCount");
    ports.ClearPorts();
    EXPECT_EQ(RegistryErrorText([&] { ScanPortsWin9x(ports, registry); }),
              "Failed to get data for 'RefCount'");
    EXPECT_EQ(ports.PortCount(), 2);
    tree->SetString(InterfaceKey9x("D"), "RefCount", "1");
    ports.ClearPorts();
    EXPECT_EQ(RegistryErrorText([&] { ScanPortsWin9x(ports, registry); }),
              "Invalid data type for 'RefCount'");

    // A port entry whose name is not a number, met before the match.
    tree->SetDword(InterfaceKey9x("D"), "RefCount", 1);
    Add9xPortEntry(*tree, "abc", "COM9");
    Add9xPortEntry(*tree, "4", "COM6");
    ports.ClearPorts();
    EXPECT_EQ(RegistryErrorText([&] { ScanPortsWin9x(ports, registry); }),
              "'abc' is not a valid integer value");
    EXPECT_EQ(ports.PortCount(), 2);
}

TEST_F(Win9xScan, LookupsReadWhatTheRefreshNeeds) {
    Add9xPortEntry(*tree, "0001", "COM3");
    Add9xPortEntry(*tree, "0003", "COM5");
    const int before = readers;
    EXPECT_EQ(LookUpUsbPortName(registry, "Enum\\USB\\VID_067B&PID_2303\\X"), "");
    EXPECT_EQ(readers, before);  // no instance number: nothing read
    EXPECT_EQ(LookUpUsbPortName(registry, std::string(kUsbKey9x) + "\\INST_3"), "COM5");
    EXPECT_EQ(LookUpUsbPortName(registry, std::string(kUsbKey9x) + "\\INST_9"), "");
    EXPECT_EQ(RegistryErrorText([&] { LookUpUsbPortName(registry, std::string(kUsbKey9x) + "\\INST_"); }),
              "'' is not a valid integer value");

    tree->SetDword("K1", "RefCount", static_cast<uint32_t>(-1));
    tree->SetDword("K2", "RefCount", 0);
    EXPECT_TRUE(IsInterfaceReferenced(registry, "K1"));  // negative counts as referenced
    EXPECT_FALSE(IsInterfaceReferenced(registry, "K2"));
    EXPECT_EQ(RegistryErrorText([&] { IsInterfaceReferenced(registry, "Nope"); }),
              "Failed to get data for 'RefCount'");
}

// The machines described in the .reg files next to these tests.
TEST(PortScans, RegFileMachines) {
    PortList ports;
    auto nt = LoadRegFile(DIALSCOPE_PORTS_TEST_DATA "/nt_two_adapters.reg");
    ScanPortsNt(ports, MakeMemoryRegistryFactory(nt));
    ASSERT_EQ(ports.PortCount(), 2);  // the other vendor's adapter is not ours
    EXPECT_EQ(ports.records()[0].deviceKey,
              std::string(kUsbKeyNt) + "\\5&2f1a6c3d&0&1\\Device Parameters");
    EXPECT_EQ(ports.records()[0].comPort, "COM3");
    EXPECT_EQ(ports.records()[0].presenceKey, "\\Device\\UsbSerial0");
    EXPECT_EQ(ports.records()[1].comPort, "COM4");
    EXPECT_EQ(ports.records()[1].presenceKey, "\\Device\\UsbSerial1");
    EXPECT_EQ(ports.FirstPresentPort(), 1);
    EXPECT_EQ(ports.NextPresentPort(1), 2);

    ports.ClearPorts();
    auto w9x = LoadRegFile(DIALSCOPE_PORTS_TEST_DATA "/win9x_layout.reg");
    ScanPortsWin9x(ports, MakeMemoryRegistryFactory(w9x));
    ASSERT_EQ(ports.PortCount(), 3);
    EXPECT_EQ(ports.GetPortField(1, 2), "COM3");
    EXPECT_EQ(ports.IsPortPresentAt(1), 1);
    EXPECT_EQ(ports.GetPortField(2, 2), "COM4");
    EXPECT_EQ(ports.IsPortPresentAt(2), 0);
    EXPECT_EQ(ports.GetPortField(3, 1), std::string(kUsbKey9x) + "\\BUS_02&INST_3");
    EXPECT_EQ(ports.GetPortField(3, 2), "COM6");  // expandable string
    EXPECT_EQ(ports.IsPortPresentAt(3), 1);
    EXPECT_EQ(ports.GetPortField(3, 4),
              "System\\CurrentControlSet\\Control\\DeviceClasses\\"
              "{4d36e978-e325-11ce-bfc1-08002be10318}\\##.#VID_067B&PID_2303&INST_3#"
              "{4d36e978-e325-11ce-bfc1-08002be10318}");
}

TEST(PortScans, AFactoryWithoutReaderReadsAsAnEmptyRegistry) {
    PortList ports;
    RegistryFactory none = [] { return std::unique_ptr<RegistryReader>(); };
    ScanPortsNt(ports, none);
    ScanPortsWin9x(ports, none);
    EXPECT_EQ(ports.PortCount(), 0);
    EXPECT_EQ(FindSerialCommValue(none, "COM1"), "");
}

}  // namespace
}  // namespace dialscope
