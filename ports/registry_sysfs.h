// A read-only registry view of the kernel's sysfs tree, in the NT layout, so
// that the NT port scan finds USB serial adapters on Linux unchanged:
//
//   SYSTEM\CurrentControlSet\Enum\USB\Vid_<vid>&Pid_<pid>\<usb device>\Device Parameters
//       "PortName" = kernel name of the device's tty ("ttyUSB0"); absent while
//       the device has no tty
//   HARDWARE\DEVICEMAP\SERIALCOMM
//       "\Device\<kernel name>" = kernel name, one per tty of a USB 067B:2303
//       device (the only ports the program may open)
//
// One Vid&Pid key per distinct pair of USB ids (lower-case hex as sysfs spells
// them); its instance keys are the USB devices' sysfs names ("1-2", "1-1.4"),
// which, like the instance ids of adapters without a serial number, stay the
// same while the adapter stays in the same socket. Virtual ttys (no "device"
// link) are not serial ports. The tree is read when a key is opened; a reader
// therefore costs nothing until used and each opened key is self-consistent.
// There are no integer values in this view.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ports/registry_reader.h"
#include "ports/registry_snapshot.h"

namespace dialscope {

struct SysfsTty {
    std::string name;       // kernel name, "ttyUSB0"
    std::string usbDevice;  // sysfs name of the USB device it belongs to; empty when none
};

struct SysfsUsbDevice {
    std::string name;       // sysfs name, "1-2", "1-1.4"
    std::string vendorId;   // four lower-case hex digits, "067b"
    std::string productId;  // "2303"
    std::string portName;   // kernel name of its first tty; empty when it has none now
};

struct SysfsView {
    std::vector<SysfsTty> ttys;              // ttys with a device link, in natural name order
    std::vector<SysfsUsbDevice> usbDevices;  // in natural name order ("1-2" before "1-10")
};

// Reads <root>/class/tty and <root>/bus/usb/devices. A missing or unreadable
// tree reads as empty; nothing here throws for what sysfs holds.
SysfsView ReadSysfsView(const std::filesystem::path& root);

// $DIALSCOPE_SYSFS_ROOT when set and not empty, else /sys.
std::filesystem::path DefaultSysfsRoot();

// "1-2" < "1-10", "ttyUSB2" < "ttyUSB10": digit runs compare by value.
bool NaturalLess(const std::string& a, const std::string& b);

class SysfsRegistryReader : public SnapshotRegistryReader {
public:
    SysfsRegistryReader();  // DefaultSysfsRoot(), as it is now
    explicit SysfsRegistryReader(std::filesystem::path root);
    const std::filesystem::path& root() const { return root_; }

protected:
    std::optional<KeySnapshot> LoadKey(const std::string& path) override;

private:
    std::filesystem::path root_;
};

// Readers over `root`; an empty root means DefaultSysfsRoot() at the time
// each reader is made.
RegistryFactory MakeSysfsRegistryFactory(std::filesystem::path root = {});

}  // namespace dialscope
