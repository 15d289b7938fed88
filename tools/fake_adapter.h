// A USB-to-serial adapter as a fake sysfs tree and /dev link, so port
// discovery and hot-plug handling can be run against the simulator.
//
// Plugged, the tree looks like this (root = the fake sysfs root, port 1-1):
//
//   devices/pci0000:00/0000:00:14.0/usb1/                root hub: idVendor 1d6b idProduct 0002
//   devices/pci0000:00/0000:00:14.0/usb1/1-1/            idVendor idProduct manufacturer product
//                                                        busnum devnum bDeviceClass [serial]
//   devices/.../usb1/1-1/1-1:1.0/                        bInterfaceNumber
//   devices/.../usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0/    dev uevent, device -> ../../../ttyUSB0,
//                                                        subsystem -> <root>/class/tty
//   class/tty/ttyUSB0      -> ../../devices/.../1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0
//   bus/usb/devices/1-1    -> ../../../devices/pci0000:00/0000:00:14.0/usb1/1-1
//   bus/usb/devices/1-1:1.0, bus/usb/devices/usb1 likewise
//   <dev root>/ttyUSB0     -> the pseudo-terminal's slave, e.g. /dev/pts/3
//
// A port name behind a hub ("1-1.4") nests the device under its hub's
// directory ("usb1/1-1/1-1.4"); the hub directory gets ids of its own
// (05e3:0610) and stays, like the root hub, when the adapter is unplugged.
// Several adapters may share one tree.
//
// This is the one builder of fake trees: the simulator and the demo plug
// their adapter with it, and the tests and benches build their trees with
// FakeTree and FakeAdapter.
#pragma once

#include <filesystem>
#include <string>

namespace dialscope::devsim {

struct AdapterLayout {
    std::string sysfsRoot;
    std::string devRoot;
    std::string ttyName = "ttyUSB0";
    std::string usbPort = "1-1";            // "<bus>-<port>[.<port>...]"
    std::string vendorId = "067b";
    std::string productId = "2303";
    std::string manufacturer = "Generic";
    std::string product = "USB-Serial Controller";
    std::string serial;                     // empty: no serial file, as on many adapters
    // False: the USB device alone, with no interface bound to a usb-serial
    // driver and so no tty.
    bool withTty = true;
};

// The directories a machine with no adapter has: <sysfs>/class/tty,
// <sysfs>/bus/usb/devices, the USB controller's directory, and the /dev
// stand-in. False (and *error) when one cannot be made.
bool MakeEmptyTree(const std::string& sysfsRoot, const std::string& devRoot, std::string* error);

// An empty tree in a new temporary directory (<base>/sys, <base>/dev),
// removed with everything in it on destruction.
class FakeTree {
public:
    FakeTree();
    ~FakeTree();
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;

    const std::filesystem::path& base() const { return base_; }
    std::filesystem::path sys() const { return base_ / "sys"; }
    std::filesystem::path dev() const { return base_ / "dev"; }
    // An adapter of the default kind in this tree.
    AdapterLayout Adapter() const;

private:
    std::filesystem::path base_;
};

class FakeAdapter {
public:
    explicit FakeAdapter(AdapterLayout layout);

    // Builds the tree and points the /dev link at `ttyPath` (none when it is
    // empty). The class/tty link comes last: a watcher of class/tty sees a
    // complete device.
    bool Plug(const std::string& ttyPath, std::string* error);
    // Removes the class/tty link first, then the bus links, the device
    // directory and the /dev link. Safe to call when not plugged.
    void Unplug();
    bool plugged() const { return plugged_; }

    const AdapterLayout& layout() const { return layout_; }
    std::string UsbDeviceDir() const;   // absolute
    std::string TtyDir() const;         // absolute, the tty's own directory
    std::string ClassLink() const;      // <root>/class/tty/<tty>
    std::string BusLink() const;        // <root>/bus/usb/devices/<port>
    std::string DevLink() const;        // <dev root>/<tty>
    std::string DevicesRelative() const;   // "devices/pci0000:00/0000:00:14.0/usb1/1-1"

private:
    AdapterLayout layout_;
    bool plugged_ = false;
};

}  // namespace dialscope::devsim
