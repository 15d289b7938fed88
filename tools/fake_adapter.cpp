#include "tools/fake_adapter.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace dialscope::devsim {

namespace {

bool WriteFile(const fs::path& path, const std::string& text, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        if (error) *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

bool Link(const std::string& target, const fs::path& link, std::string* error) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link, ec);
    if (ec) {
        if (error) *error = "cannot link " + link.string() + " -> " + target + ": " + ec.message();
        return false;
    }
    return true;
}

// "ttyUSB12" -> 12: the minor number a usb-serial port gets.
int TtyMinor(const std::string& name) {
    size_t i = name.find_last_not_of("0123456789");
    std::string digits = i == std::string::npos ? name : name.substr(i + 1);
    return digits.empty() ? 0 : std::stoi(digits);
}

constexpr const char* kController = "devices/pci0000:00/0000:00:14.0";

}  // namespace

bool MakeEmptyTree(const std::string& sysfsRoot, const std::string& devRoot, std::string* error) {
    std::error_code ec;
    for (const fs::path& dir : {fs::path(sysfsRoot) / "class" / "tty", fs::path(sysfsRoot) / "bus" / "usb" / "devices",
                                fs::path(sysfsRoot) / kController, fs::path(devRoot)}) {
        fs::create_directories(dir, ec);
        if (ec) {
            if (error) *error = "cannot create " + dir.string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

FakeTree::FakeTree() {
    std::string tmpl = (fs::temp_directory_path() / "dialscope-tree-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    base_ = tmpl;
    std::string error;
    if (!MakeEmptyTree(sys().string(), dev().string(), &error)) throw std::runtime_error(error);
}

FakeTree::~FakeTree() {
    std::error_code ec;
    fs::remove_all(base_, ec);
}

AdapterLayout FakeTree::Adapter() const {
    AdapterLayout a;
    a.sysfsRoot = sys().string();
    a.devRoot = dev().string();
    return a;
}

FakeAdapter::FakeAdapter(AdapterLayout layout) : layout_(std::move(layout)) {}

std::string FakeAdapter::DevicesRelative() const {
    const std::string& port = layout_.usbPort;
    std::string bus = port.substr(0, port.find('-'));
    std::string path = std::string(kController) + "/usb" + bus;
    // "1-1.4.2" lies below "1-1" and "1-1.4": one directory per hub.
    size_t dash = port.find('-');
    size_t at = port.find('.', dash == std::string::npos ? 0 : dash);
    while (at != std::string::npos) {
        // Appended piece by piece: "/" + substr(...) makes GCC 12 at -O2
        // (the package's flags) warn of a memcpy overlap that cannot happen.
        path += '/';
        path += port.substr(0, at);
        at = port.find('.', at + 1);
    }
    return path + "/" + port;
}

std::string FakeAdapter::UsbDeviceDir() const { return layout_.sysfsRoot + "/" + DevicesRelative(); }

std::string FakeAdapter::TtyDir() const {
    const std::string& t = layout_.ttyName;
    return UsbDeviceDir() + "/" + layout_.usbPort + ":1.0/" + t + "/tty/" + t;
}

std::string FakeAdapter::ClassLink() const { return layout_.sysfsRoot + "/class/tty/" + layout_.ttyName; }
std::string FakeAdapter::BusLink() const { return layout_.sysfsRoot + "/bus/usb/devices/" + layout_.usbPort; }
std::string FakeAdapter::DevLink() const { return layout_.devRoot + "/" + layout_.ttyName; }

bool FakeAdapter::Plug(const std::string& ttyPath, std::string* error) {
    Unplug();   // a tree left over from an earlier run is replaced, not merged
    const AdapterLayout& l = layout_;
    const std::string rel = DevicesRelative();
    std::error_code ec;
    fs::create_directories(l.withTty ? TtyDir() : UsbDeviceDir(), ec);
    if (!ec) fs::create_directories(l.sysfsRoot + "/bus/usb/devices", ec);
    if (ec) {
        if (error) *error = "cannot create " + TtyDir() + ": " + ec.message();
        return false;
    }

    // The root hub and any hubs on the way down keep ids of their own:
    // walking up from the tty must stop at the adapter, which lies below them.
    fs::path hub = fs::path(UsbDeviceDir()).parent_path();
    for (;; hub = hub.parent_path()) {
        const std::string name = hub.filename().string();
        const bool rootHub = name.rfind("usb", 0) == 0;
        if (!rootHub && name.find('-') == std::string::npos) break;
        if (!fs::exists(hub / "idVendor")) {
            if (!WriteFile(hub / "idVendor", rootHub ? "1d6b\n" : "05e3\n", error) ||
                !WriteFile(hub / "idProduct", rootHub ? "0002\n" : "0610\n", error) ||
                !WriteFile(hub / "bDeviceClass", "09\n", error) ||
                !Link("../../../" + fs::relative(hub, l.sysfsRoot).string(),
                      l.sysfsRoot + "/bus/usb/devices/" + name, error))
                return false;
        }
        if (rootHub) break;
    }

    const fs::path dev = UsbDeviceDir();
    std::string bus = l.usbPort.substr(0, l.usbPort.find('-'));
    if (!WriteFile(dev / "idVendor", l.vendorId + "\n", error) ||
        !WriteFile(dev / "idProduct", l.productId + "\n", error) ||
        !WriteFile(dev / "manufacturer", l.manufacturer + "\n", error) ||
        !WriteFile(dev / "product", l.product + "\n", error) || !WriteFile(dev / "busnum", bus + "\n", error) ||
        !WriteFile(dev / "devnum", "2\n", error) || !WriteFile(dev / "bDeviceClass", "00\n", error))
        return false;
    if (!l.serial.empty() && !WriteFile(dev / "serial", l.serial + "\n", error)) return false;
    if (!Link("../../../" + rel, BusLink(), error)) return false;
    if (!l.withTty) {
        plugged_ = true;
        return true;
    }
    if (!WriteFile(dev / (l.usbPort + ":1.0") / "bInterfaceNumber", "00\n", error)) return false;

    const fs::path tty = TtyDir();
    const int minor = TtyMinor(l.ttyName);
    if (!WriteFile(tty / "dev", "188:" + std::to_string(minor) + "\n", error) ||
        !WriteFile(tty / "uevent",
                   "MAJOR=188\nMINOR=" + std::to_string(minor) + "\nDEVNAME=" + l.ttyName + "\n", error))
        return false;
    // tty/<name>/device -> the usb-serial port directory <iface>/<name>.
    if (!Link("../../../" + l.ttyName, tty / "device", error)) return false;
    std::string up;
    for (const auto& part : fs::path(rel)) {
        (void)part;
        up += "../";
    }
    if (!Link(up + "../../../../class/tty", tty / "subsystem", error)) return false;

    if (!Link("../../../" + rel + "/" + l.usbPort + ":1.0", BusLink() + ":1.0", error)) return false;
    if (!ttyPath.empty()) {
        fs::create_directories(l.devRoot, ec);
        if (!Link(ttyPath, DevLink(), error)) return false;
    }

    fs::create_directories(l.sysfsRoot + "/class/tty", ec);
    if (!Link("../../" + rel + "/" + l.usbPort + ":1.0/" + l.ttyName + "/tty/" + l.ttyName, ClassLink(), error))
        return false;
    plugged_ = true;
    return true;
}

void FakeAdapter::Unplug() {
    std::error_code ec;
    if (layout_.withTty) fs::remove(ClassLink(), ec);
    fs::remove(BusLink(), ec);
    if (layout_.withTty) fs::remove(BusLink() + ":1.0", ec);
    fs::remove_all(UsbDeviceDir(), ec);
    if (layout_.withTty) fs::remove(DevLink(), ec);
    plugged_ = false;
}

}  // namespace dialscope::devsim
