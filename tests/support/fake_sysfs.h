// A fake sysfs tree (and a /dev-like directory) in a temporary directory, for
// the port logic's tests: USB serial adapters plugged and unplugged by the
// simulator's builder (tools/fake_adapter.h, which draws the layout), plus
// the ttys that are not adapters (an on-board UART, virtual consoles).
// Linux only (symlinks, mkdtemp).
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>

#include "tools/fake_adapter.h"

namespace dialscope::testing {

class FakeSysfs : public devsim::FakeTree {
public:
    static constexpr const char* kController = "devices/pci0000:00/0000:00:14.0";

    std::filesystem::path root() const { return sys(); }     // the sysfs root
    std::filesystem::path devRoot() const { return dev(); }  // the /dev stand-in

    // A USB device at `busPath` below the controller ("usb1/1-1/1-1.4"; the
    // last name is the device's port). With a non-empty `tty` its first
    // interface carries that tty, as a bound usb-serial driver makes it. Ids
    // are written as given, followed by a newline. A device already at
    // busPath is replaced.
    void AddUsbSerial(const std::string& vid, const std::string& pid, const std::string& busPath,
                      const std::string& tty) {
        devsim::AdapterLayout layout = Adapter();
        layout.usbPort = std::filesystem::path(busPath).filename().string();
        layout.vendorId = vid;
        layout.productId = pid;
        layout.withTty = !tty.empty();
        if (!tty.empty()) layout.ttyName = tty;
        auto it = adapters_.insert_or_assign(busPath, devsim::FakeAdapter(layout)).first;
        if (it->second.DevicesRelative() != std::string(kController) + "/" + busPath)
            throw std::invalid_argument("no such place for a USB device: " + busPath);
        std::string error;
        if (!it->second.Plug("", &error)) throw std::runtime_error(error);
    }

    // Unplugs the device at `busPath`: its tty's class link first, then its
    // bus links and its directory with everything below it.
    void RemoveUsbSerial(const std::string& busPath) {
        auto it = adapters_.find(busPath);
        if (it == adapters_.end()) return;
        it->second.Unplug();
        adapters_.erase(it);
    }

    // A tty on a non-USB device (an on-board UART): it has a device link but
    // no USB ids anywhere above it.
    void AddPlatformTty(const std::string& tty) {
        std::filesystem::path devRel = std::filesystem::path("devices/platform/serial8250");
        std::filesystem::create_directories(sys() / devRel);
        namespace fs = std::filesystem;
        fs::path nodeRel = devRel / "tty" / tty;
        fs::create_directories(sys() / nodeRel);
        WriteFile(sys() / nodeRel / "dev", "4:64\n");
        WriteFile(sys() / nodeRel / "uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + tty + "\n");
        fs::create_directory_symlink("../../../serial8250", sys() / nodeRel / "device");
        fs::create_directory_symlink(fs::path("../..") / nodeRel, sys() / "class" / "tty" / tty);
    }

    // A virtual tty (console, pty master side): no device link.
    void AddVirtualTty(const std::string& tty) {
        namespace fs = std::filesystem;
        fs::path rel = fs::path("devices/virtual/tty") / tty;
        fs::create_directories(sys() / rel);
        WriteFile(sys() / rel / "uevent", "DEVNAME=" + tty + "\n");
        fs::create_directory_symlink(fs::path("../..") / rel, sys() / "class" / "tty" / tty);
    }

    // <dev>/<name> -> target (a pty's slave path, say).
    void AddDevNode(const std::string& name, const std::filesystem::path& target) {
        std::error_code ec;
        std::filesystem::remove(dev() / name, ec);
        std::filesystem::create_symlink(target, dev() / name);
    }
    void RemoveDevNode(const std::string& name) {
        std::error_code ec;
        std::filesystem::remove(dev() / name, ec);
    }

    static void WriteFile(const std::filesystem::path& file, const std::string& text) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + file.string());
    }

private:
    std::map<std::string, devsim::FakeAdapter> adapters_;
};

}  // namespace dialscope::testing
