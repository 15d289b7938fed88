#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ports/registry_sysfs.h"
#include "tests/support/fake_sysfs.h"

namespace dialscope {
namespace {

namespace fs = std::filesystem;
using testing::FakeSysfs;
using Names = std::vector<std::string>;

const std::string kAdapters = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_067b&Pid_2303";
const std::string kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string PortNameOf(RegistryReader& r, const std::string& instanceKey) {
    r.OpenKey(instanceKey + "\\Device Parameters");
    std::string name = r.ReadString("PortName");
    r.CloseKey();
    return name;
}

// A desk with two of our adapters (one behind a hub, its ids in upper case),
// another vendor's adapter, an on-board UART and two virtual ttys.
class SysfsDesk : public ::testing::Test {
protected:
    void SetUp() override {
        sys.AddVirtualTty("tty0");
        sys.AddUsbSerial("067b", "2303", "usb1/1-2", "ttyUSB0");
        sys.AddUsbSerial("067B", "2303", "usb1/1-1/1-1.4", "ttyUSB1");
        sys.AddUsbSerial("0403", "6001", "usb1/1-3", "ttyUSB2");
        sys.AddPlatformTty("ttyS0");
        sys.AddVirtualTty("ptmx");
    }
    FakeSysfs sys;
};

TEST_F(SysfsDesk, AdaptersAppearAsInstanceKeysWithTheirTty) {
    SysfsRegistryReader r(sys.root());
    r.OpenKey(kAdapters);
    ASSERT_EQ(r.SubkeyCount(), 2);
    EXPECT_EQ(r.SubkeyNames(), (Names{"1-1.4", "1-2"}));  // the hub's own ids do not count
    EXPECT_TRUE(r.ValueNames().empty());
    r.CloseKey();
    EXPECT_EQ(PortNameOf(r, kAdapters + "\\1-2"), "ttyUSB0");
    EXPECT_EQ(PortNameOf(r, kAdapters + "\\1-1.4"), "ttyUSB1");

    r.OpenKey(kAdapters + "\\1-2");
    EXPECT_EQ(r.SubkeyNames(), (Names{"Device Parameters"}));
    // Names are matched without regard to case, as the registry does.
    r.OpenKey("system\\currentcontrolset\\ENUM\\usb\\VID_067B&PID_2303\\1-2\\device parameters");
    EXPECT_EQ(r.ValueNames(), (Names{"PortName"}));
    EXPECT_EQ(r.ReadString("PORTNAME"), "ttyUSB0");
    EXPECT_THROW(r.ReadInteger("PortName"), RegistryError);
    try {
        r.ReadInteger("RefCount");
        FAIL() << "no error";
    } catch (const RegistryError& e) {
        EXPECT_STREQ(e.what(), "Failed to get data for 'RefCount'");
    }

    // The other vendor's adapter has a key of its own ids, not ours.
    r.OpenKey("SYSTEM\\CurrentControlSet\\Enum\\USB");
    Names idKeys = r.SubkeyNames();
    EXPECT_NE(std::find(idKeys.begin(), idKeys.end(), "Vid_0403&Pid_6001"), idKeys.end());
    EXPECT_EQ(std::count(idKeys.begin(), idKeys.end(), "Vid_067b&Pid_2303"), 1);
    r.OpenKey("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0403&Pid_6001");
    EXPECT_EQ(r.SubkeyNames(), (Names{"1-3"}));
}

// Only our adapters' ttys: a name the kernel gives to another device must not
// read as one of our ports.
TEST_F(SysfsDesk, SerialCommListsOnlyTheAdaptersTtys) {
    SysfsRegistryReader r(sys.root());
    r.OpenKey(kSerialComm);
    EXPECT_EQ(r.SubkeyCount(), 0);
    EXPECT_EQ(r.ValueNames(), (Names{"\\Device\\ttyUSB0", "\\Device\\ttyUSB1"}));
    EXPECT_EQ(r.ReadString("\\device\\TTYUSB1"), "ttyUSB1");
    for (const char* other : {"ttyUSB2", "ttyS0", "tty0", "ptmx"})
        EXPECT_FALSE(r.ValueExists(std::string("\\Device\\") + other)) << other;
}

TEST_F(SysfsDesk, UnplugAndReplugShowOnTheNextOpen) {
    SysfsRegistryReader r(sys.root());
    r.OpenKey(kAdapters);
    sys.RemoveUsbSerial("usb1/1-2");
    // The open key keeps showing what it was opened with.
    EXPECT_EQ(r.SubkeyNames(), (Names{"1-1.4", "1-2"}));
    r.OpenKey(kAdapters);
    EXPECT_EQ(r.SubkeyNames(), (Names{"1-1.4"}));
    r.OpenKey(kAdapters + "\\1-2");
    EXPECT_TRUE(r.SubkeyNames().empty());
    r.OpenKey(kSerialComm);
    EXPECT_FALSE(r.ValueExists("\\Device\\ttyUSB0"));
    EXPECT_TRUE(r.ValueExists("\\Device\\ttyUSB1"));

    // Back in the same socket: same instance key, whatever tty it now gets.
    sys.AddUsbSerial("067b", "2303", "usb1/1-2", "ttyUSB3");
    EXPECT_EQ(PortNameOf(r, kAdapters + "\\1-2"), "ttyUSB3");
}

TEST(SysfsRegistry, AdapterWithoutTtyHasNoPortName) {
    FakeSysfs sys;
    sys.AddUsbSerial("067b", "2303", "usb2/2-1", "");
    SysfsRegistryReader r(sys.root());
    r.OpenKey(kAdapters);
    EXPECT_EQ(r.SubkeyNames(), (Names{"2-1"}));
    r.OpenKey(kAdapters + "\\2-1\\Device Parameters");
    EXPECT_FALSE(r.ValueExists("PortName"));
    EXPECT_EQ(r.ReadString("PortName"), "");
    r.OpenKey(kSerialComm);
    EXPECT_TRUE(r.ValueNames().empty());

    // The driver binds later: the tty shows up under the same instance.
    sys.AddUsbSerial("067b", "2303", "usb2/2-1", "ttyUSB0");
    EXPECT_EQ(PortNameOf(r, kAdapters + "\\2-1"), "ttyUSB0");
}

// Drivers hang their ttys at different depths: an ACM tty sits directly
// under the interface, one level less than a usb-serial one.
TEST(SysfsRegistry, FindsTheDeviceAtAnyDepthAndChecksIds) {
    FakeSysfs sys;
    sys.AddUsbSerial("067b", "2303", "usb1/1-5", "");
    fs::path iface = sys.root() / FakeSysfs::kController / "usb1/1-5/1-5:1.0";
    fs::create_directories(iface / "tty" / "ttyACM0");
    fs::create_directory_symlink("../../../1-5:1.0", iface / "tty" / "ttyACM0" / "device");
    fs::create_directory_symlink(
        fs::path("../../") / FakeSysfs::kController / "usb1/1-5/1-5:1.0/tty/ttyACM0",
        sys.root() / "class" / "tty" / "ttyACM0");
    // Ids without a newline, padded, or not ids at all.
    sys.AddUsbSerial("067b", "2303", "usb1/1-6", "ttyUSB0");
    FakeSysfs::WriteFile(sys.root() / FakeSysfs::kController / "usb1/1-6/idVendor", " 067b\r\n");
    FakeSysfs::WriteFile(sys.root() / FakeSysfs::kController / "usb1/1-6/idProduct", "2303");
    sys.AddUsbSerial("zz7b", "2303", "usb1/1-7", "ttyUSB1");

    SysfsRegistryReader r(sys.root());
    r.OpenKey(kAdapters);
    EXPECT_EQ(r.SubkeyNames(), (Names{"1-5", "1-6"}));
    EXPECT_EQ(PortNameOf(r, kAdapters + "\\1-5"), "ttyACM0");
    EXPECT_EQ(PortNameOf(r, kAdapters + "\\1-6"), "ttyUSB0");
    r.OpenKey(kSerialComm);  // the bad-id device's tty is not an adapter's
    EXPECT_EQ(r.ValueNames(), (Names{"\\Device\\ttyACM0", "\\Device\\ttyUSB0"}));
}

TEST(SysfsRegistry, PathsOutsideTheViewOpenNoKey) {
    FakeSysfs sys;
    sys.AddUsbSerial("067b", "2303", "usb1/1-2", "ttyUSB0");
    SysfsRegistryReader r(sys.root());
    r.OpenKey("");
    EXPECT_EQ(r.SubkeyNames(), (Names{"HARDWARE", "SYSTEM"}));
    r.OpenKey("SYSTEM\\CurrentControlSet");
    EXPECT_EQ(r.SubkeyNames(), (Names{"Enum"}));
    for (const std::string& path : std::vector<std::string>
         {"SYSTEM\\ControlSet001", "HARDWARE\\DEVICEMAP\\SERIALCOMM\\x", kAdapters + "\\1-3",
          kAdapters + "\\1-2\\Device Parameters\\x", "Enum\\USB\\VID_067B&PID_2303",
          "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_067b&Pid_2304", kAdapters + "\\\\1-2"}) {
        r.OpenKey(kAdapters);
        r.OpenKey(path);
        EXPECT_EQ(r.SubkeyCount(), 0) << path;
        EXPECT_TRUE(r.ValueNames().empty()) << path;
    }

    SysfsRegistryReader missing(sys.base() / "nowhere");
    missing.OpenKey(kAdapters);
    EXPECT_EQ(missing.SubkeyCount(), 0);
    missing.OpenKey(kSerialComm);
    EXPECT_TRUE(missing.ValueNames().empty());
}

TEST(SysfsRegistry, EnvironmentChoosesTheRoot) {
    FakeSysfs sys;
    sys.AddUsbSerial("067b", "2303", "usb3/3-1", "ttyUSB7");
    const char* old = getenv("DIALSCOPE_SYSFS_ROOT");
    std::string saved = old ? old : "";

    setenv("DIALSCOPE_SYSFS_ROOT", sys.root().c_str(), 1);
    RegistryFactory factory = MakeSysfsRegistryFactory();
    auto reader = factory();
    EXPECT_EQ(PortNameOf(*reader, kAdapters + "\\3-1"), "ttyUSB7");
    EXPECT_EQ(SysfsRegistryReader().root(), sys.root());

    unsetenv("DIALSCOPE_SYSFS_ROOT");
    EXPECT_EQ(SysfsRegistryReader().root(), fs::path("/sys"));
    setenv("DIALSCOPE_SYSFS_ROOT", "", 1);
    EXPECT_EQ(DefaultSysfsRoot(), fs::path("/sys"));
    // An explicit root wins over the environment.
    EXPECT_EQ(PortNameOf(*MakeSysfsRegistryFactory(sys.root())(), kAdapters + "\\3-1"), "ttyUSB7");

    if (old)
        setenv("DIALSCOPE_SYSFS_ROOT", saved.c_str(), 1);
    else
        unsetenv("DIALSCOPE_SYSFS_ROOT");
}

TEST(SysfsRegistry, NaturalOrder) {
    Names names = {"ttyUSB10", "ttyUSB2", "ttyS0", "1-10", "1-2", "1-1.4", "ttyUSB02"};
    std::sort(names.begin(), names.end(), NaturalLess);
    EXPECT_EQ(names, (Names{"1-1.4", "1-2", "1-10", "ttyS0", "ttyUSB02", "ttyUSB2", "ttyUSB10"}));
}

}  // namespace
}  // namespace dialscope
