// A fake sysfs tree (and a /dev-like directory) in a temporary directory, laid
// out the way the kernel lays out a USB serial adapter:
//
//   <sys>/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/          idVendor, idProduct
//   <sys>/devices/.../1-1.4/1-1.4:1.0/ttyUSB0/tty/ttyUSB0/          dev, uevent,
//                                                                   device -> ../../../ttyUSB0
//   <sys>/class/tty/ttyUSB0 -> ../../devices/.../1-1.4:1.0/ttyUSB0/tty/ttyUSB0
//   <sys>/bus/usb/devices/1-1.4 -> ../../../devices/.../usb1/1-1/1-1.4
//
// Hubs on the way get ids of their own, as real hubs do, so a reader that
// stops at the wrong level notices. Plugging creates the device before its
// class link; unplugging removes the class link first, as the kernel does.
// Linux only (symlinks, mkdtemp).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace dialscope::testing {

class FakeSysfs {
public:
    static constexpr const char* kController = "devices/pci0000:00/0000:00:14.0";

    FakeSysfs() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "dialscope-sysfs-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        base_ = tmpl;
        sys_ = base_ / "sys";
        dev_ = base_ / "dev";
        std::filesystem::create_directories(sys_ / "class" / "tty");
        std::filesystem::create_directories(sys_ / "bus" / "usb" / "devices");
        std::filesystem::create_directories(sys_ / kController);
        std::filesystem::create_directories(dev_);
    }
    ~FakeSysfs() {
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    const std::filesystem::path& base() const { return base_; }
    const std::filesystem::path& root() const { return sys_; }     // the sysfs root
    const std::filesystem::path& devRoot() const { return dev_; }  // the /dev stand-in

    // A USB device at `busPath` below the controller ("usb1/1-1/1-1.4"; the
    // last name is the device's). With a non-empty `tty` its interface
    // `iface` ("1-1.4:1.0") carries that tty, as a bound usb-serial driver
    // makes it. Ids are written as given, followed by a newline.
    void AddUsbSerial(const std::string& vid, const std::string& pid, const std::string& busPath,
                      const std::string& iface, const std::string& tty) {
        namespace fs = std::filesystem;
        fs::path rel = fs::path(kController);
        for (const auto& part : fs::path(busPath)) {
            rel /= part;
            fs::path dir = sys_ / rel;
            if (fs::exists(dir)) continue;
            fs::create_directories(dir);
            bool rootHub = part.string().rfind("usb", 0) == 0;
            bool isDevice = rel.filename() == fs::path(busPath).filename();
            WriteFile(dir / "idVendor", (isDevice ? vid : rootHub ? "1d6b" : "05e3") + "\n");
            WriteFile(dir / "idProduct", (isDevice ? pid : rootHub ? "0002" : "0610") + "\n");
            WriteFile(dir / "bDeviceClass", isDevice ? "00\n" : "09\n");
            BusLink(part.string(), rel);
        }
        if (tty.empty()) return;
        fs::path ifaceRel = rel / iface;
        fs::create_directories(sys_ / ifaceRel);
        WriteFile(sys_ / ifaceRel / "bInterfaceNumber", "00\n");
        BusLink(iface, ifaceRel);
        AddTtyNode(ifaceRel / tty, tty, "../../../" + tty);
    }

    // A tty on a non-USB device (an on-board UART): it has a device link but
    // no USB ids anywhere above it.
    void AddPlatformTty(const std::string& tty) {
        std::filesystem::path devRel = std::filesystem::path("devices/platform/serial8250");
        std::filesystem::create_directories(sys_ / devRel);
        AddTtyNode(devRel, tty, "../../../serial8250");
    }

    // A virtual tty (console, pty master side): no device link.
    void AddVirtualTty(const std::string& tty) {
        namespace fs = std::filesystem;
        fs::path rel = fs::path("devices/virtual/tty") / tty;
        fs::create_directories(sys_ / rel);
        WriteFile(sys_ / rel / "uevent", "DEVNAME=" + tty + "\n");
        fs::create_directory_symlink(fs::path("../..") / rel, sys_ / "class" / "tty" / tty);
    }

    // Unplugs the device at `busPath`: its tty's class link (when `tty` is
    // given), its bus links and its directory with everything below it.
    void RemoveUsbSerial(const std::string& busPath, const std::string& tty = {}) {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (!tty.empty()) fs::remove(sys_ / "class" / "tty" / tty, ec);
        fs::path dir = sys_ / kController / busPath;
        std::string name = fs::path(busPath).filename().string();
        std::vector<fs::path> links;
        for (const auto& entry : fs::directory_iterator(sys_ / "bus" / "usb" / "devices", ec)) {
            std::string link = entry.path().filename().string();
            if (link == name || link.rfind(name + ":", 0) == 0) links.push_back(entry.path());
        }
        for (const auto& link : links) fs::remove(link, ec);
        fs::remove_all(dir, ec);
    }

    // <dev>/<name> -> target (a pty's slave path, say).
    void AddDevNode(const std::string& name, const std::filesystem::path& target) {
        std::error_code ec;
        std::filesystem::remove(dev_ / name, ec);
        std::filesystem::create_symlink(target, dev_ / name);
    }
    void RemoveDevNode(const std::string& name) {
        std::error_code ec;
        std::filesystem::remove(dev_ / name, ec);
    }

    static void WriteFile(const std::filesystem::path& file, const std::string& text) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + file.string());
    }

private:
    // A tty class device <parentRel>/tty/<tty> with its class link.
    void AddTtyNode(const std::filesystem::path& parentRel, const std::string& tty,
                    const std::string& deviceLink) {
        namespace fs = std::filesystem;
        fs::path nodeRel = parentRel / "tty" / tty;
        fs::create_directories(sys_ / nodeRel);
        WriteFile(sys_ / nodeRel / "dev", "188:" + std::to_string(minor_) + "\n");
        WriteFile(sys_ / nodeRel / "uevent", "MAJOR=188\nMINOR=" + std::to_string(minor_++) +
                                                 "\nDEVNAME=" + tty + "\n");
        fs::create_directory_symlink(deviceLink, sys_ / nodeRel / "device");
        fs::create_directory_symlink(fs::path("../..") / nodeRel, sys_ / "class" / "tty" / tty);
    }

    void BusLink(const std::string& name, const std::filesystem::path& rel) {
        std::error_code ec;
        std::filesystem::create_directory_symlink(std::filesystem::path("../../..") / rel,
                                                  sys_ / "bus" / "usb" / "devices" / name, ec);
    }

    std::filesystem::path base_, sys_, dev_;
    int minor_ = 0;
};

}  // namespace dialscope::testing
