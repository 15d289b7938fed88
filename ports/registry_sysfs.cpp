#include "ports/registry_sysfs.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <system_error>

namespace dialscope {

namespace fs = std::filesystem;

namespace {

// The ids of the adapters the program talks to, as sysfs spells them.
constexpr const char* kAdapterVendorId = "067b";
constexpr const char* kAdapterProductId = "2303";

// Attribute files are a line of text; the ids are four hex digits.
std::optional<std::string> ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    char buf[64];
    in.read(buf, sizeof buf);
    std::string s(buf, static_cast<size_t>(in.gcount()));
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && isSpace(s.back())) s.pop_back();
    size_t first = 0;
    while (first < s.size() && isSpace(s[first])) ++first;
    return s.substr(first);
}

std::optional<std::string> ReadUsbId(const fs::path& file) {
    auto s = ReadAttribute(file);
    if (!s || s->size() != 4) return std::nullopt;
    for (char& c : *s) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return s;
}

bool IsFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// Strictly below `root`, comparing whole names.
bool IsBelow(const fs::path& p, const fs::path& root) {
    auto pi = p.begin();
    for (auto ri = root.begin(); ri != root.end(); ++ri, ++pi) {
        if (ri->empty()) continue;  // a trailing separator
        if (pi == p.end() || *pi != *ri) return false;
    }
    for (; pi != p.end(); ++pi)
        if (!pi->empty()) return true;
    return false;
}

// The USB device a sysfs node hangs off: the nearest directory at or above it
// that carries both ids. Interfaces and the tty nodes in between carry none,
// and the number of levels differs between drivers, so walk rather than count.
std::optional<fs::path> UsbDeviceAbove(fs::path dir, const fs::path& root) {
    while (IsBelow(dir, root)) {
        if (IsFile(dir / "idVendor") && IsFile(dir / "idProduct")) return dir;
        dir = dir.parent_path();
    }
    return std::nullopt;
}

std::vector<fs::path> Entries(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) out.push_back(it->path());
    return out;
}

std::string KeyNameForIds(const SysfsUsbDevice& d) {
    return "Vid_" + d.vendorId + "&Pid_" + d.productId;
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && isDigit(a[ie])) ++ie;
            while (je < b.size() && isDigit(b[je])) ++je;
            size_t iz = i, jz = j;
            while (iz + 1 < ie && a[iz] == '0') ++iz;
            while (jz + 1 < je && b[jz] == '0') ++jz;
            if (ie - iz != je - jz) return ie - iz < je - jz;
            int c = a.compare(iz, ie - iz, b, jz, je - jz);
            if (c != 0) return c < 0;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
    return a < b;
}

SysfsView ReadSysfsView(const fs::path& rootIn) {
    SysfsView view;
    std::error_code ec;
    const fs::path root = fs::canonical(rootIn, ec);
    if (ec) return view;

    // Keyed by the device's real directory: the same adapter is reached both
    // from its tty and from the bus listing.
    std::map<fs::path, SysfsUsbDevice> devices;
    auto addDevice = [&](const fs::path& dir) -> SysfsUsbDevice* {
        if (auto it = devices.find(dir); it != devices.end()) return &it->second;
        auto vid = ReadUsbId(dir / "idVendor");
        auto pid = ReadUsbId(dir / "idProduct");
        if (!vid || !pid) return nullptr;
        SysfsUsbDevice d{dir.filename().string(), *vid, *pid, {}};
        return &devices.emplace(dir, std::move(d)).first->second;
    };

    std::vector<fs::path> ttyEntries = Entries(root / "class" / "tty");
    std::sort(ttyEntries.begin(), ttyEntries.end(), [](const fs::path& a, const fs::path& b) {
        return NaturalLess(a.filename().string(), b.filename().string());
    });
    for (const auto& entry : ttyEntries) {
        std::error_code lec;
        if (!fs::exists(fs::symlink_status(entry / "device", lec))) continue;  // virtual tty
        SysfsTty tty{entry.filename().string(), {}};
        fs::path real = fs::canonical(entry, lec);
        if (!lec) {
            if (auto dir = UsbDeviceAbove(real, root)) {
                if (SysfsUsbDevice* d = addDevice(*dir)) {
                    tty.usbDevice = d->name;
                    if (d->portName.empty()) d->portName = tty.name;
                }
            }
        }
        view.ttys.push_back(std::move(tty));
    }

    // Adapters whose driver has not (yet) made a tty still get an instance.
    for (const auto& entry : Entries(root / "bus" / "usb" / "devices")) {
        std::error_code lec;
        fs::path real = fs::canonical(entry, lec);
        if (lec || !IsBelow(real, root)) continue;
        if (IsFile(real / "idVendor") && IsFile(real / "idProduct")) addDevice(real);
    }

    for (auto& [dir, d] : devices) view.usbDevices.push_back(std::move(d));
    std::sort(view.usbDevices.begin(), view.usbDevices.end(),
              [](const SysfsUsbDevice& a, const SysfsUsbDevice& b) { return NaturalLess(a.name, b.name); });
    // Two directories with one name would be two instance keys with one name.
    view.usbDevices.erase(std::unique(view.usbDevices.begin(), view.usbDevices.end(),
                                      [](const SysfsUsbDevice& a, const SysfsUsbDevice& b) {
                                          return a.name == b.name;
                                      }),
                          view.usbDevices.end());
    return view;
}

fs::path DefaultSysfsRoot() {
    const char* env = std::getenv("DIALSCOPE_SYSFS_ROOT");
    if (env && *env) return fs::path(env);
    return fs::path("/sys");
}

SysfsRegistryReader::SysfsRegistryReader() : root_(DefaultSysfsRoot()) {}

SysfsRegistryReader::SysfsRegistryReader(fs::path root) : root_(std::move(root)) {}

std::optional<KeySnapshot> SysfsRegistryReader::LoadKey(const std::string& path) {
    auto names = SplitKeyPath(path);
    if (!names) return std::nullopt;
    const auto& n = *names;
    auto is = [&](size_t i, std::string_view want) { return NamesEqual(n[i], want); };
    auto keyWith = [](std::vector<std::string> subkeys) {
        KeySnapshot k;
        k.subkeys = std::move(subkeys);
        return k;
    };

    if (n.empty()) return keyWith({"HARDWARE", "SYSTEM"});

    if (is(0, "HARDWARE")) {
        if (n.size() == 1) return keyWith({"DEVICEMAP"});
        if (!is(1, "DEVICEMAP")) return std::nullopt;
        if (n.size() == 2) return keyWith({"SERIALCOMM"});
        if (n.size() > 3 || !is(2, "SERIALCOMM")) return std::nullopt;
        // Only the adapters' own ttys. The kernel hands a freed name to the
        // next device that asks: a port record left from a pulled adapter
        // would otherwise match another maker's adapter (or a modem) that
        // now has its name, and the supervisor would write polls to it.
        const SysfsView view = ReadSysfsView(root_);
        KeySnapshot k;
        for (const auto& tty : view.ttys) {
            const auto device = std::find_if(
                view.usbDevices.begin(), view.usbDevices.end(),
                [&](const SysfsUsbDevice& d) { return d.name == tty.usbDevice; });
            if (tty.usbDevice.empty() || device == view.usbDevices.end() ||
                device->vendorId != kAdapterVendorId || device->productId != kAdapterProductId)
                continue;
            k.values.push_back(RegistryValue{"\\Device\\" + tty.name, kRegSz, tty.name});
        }
        return k;
    }

    if (!is(0, "SYSTEM")) return std::nullopt;
    static const char* const kSystemPath[] = {"SYSTEM", "CurrentControlSet", "Enum", "USB"};
    for (size_t i = 1; i < n.size() && i < 4; ++i)
        if (!is(i, kSystemPath[i])) return std::nullopt;
    if (n.size() < 4) return keyWith({kSystemPath[n.size()]});
    if (n.size() > 7) return std::nullopt;

    SysfsView view = ReadSysfsView(root_);
    if (n.size() == 4) {
        std::vector<std::string> idKeys;
        for (const auto& d : view.usbDevices) {
            std::string k = KeyNameForIds(d);
            if (std::find(idKeys.begin(), idKeys.end(), k) == idKeys.end()) idKeys.push_back(k);
        }
        return keyWith(std::move(idKeys));
    }
    std::vector<const SysfsUsbDevice*> instances;
    for (const auto& d : view.usbDevices)
        if (is(4, KeyNameForIds(d))) instances.push_back(&d);
    if (instances.empty()) return std::nullopt;
    if (n.size() == 5) {
        std::vector<std::string> names5;
        for (const auto* d : instances) names5.push_back(d->name);
        return keyWith(std::move(names5));
    }
    const SysfsUsbDevice* device = nullptr;
    for (const auto* d : instances)
        if (is(5, d->name)) device = d;
    if (!device) return std::nullopt;
    if (n.size() == 6) return keyWith({"Device Parameters"});
    if (!is(6, "Device Parameters")) return std::nullopt;
    KeySnapshot k;
    if (!device->portName.empty())
        k.values.push_back(RegistryValue{"PortName", kRegSz, device->portName});
    return k;
}

RegistryFactory MakeSysfsRegistryFactory(fs::path root) {
    return [root = std::move(root)]() -> std::unique_ptr<RegistryReader> {
        if (root.empty()) return std::make_unique<SysfsRegistryReader>();
        return std::make_unique<SysfsRegistryReader>(root);
    };
}

RegistryFactory MakeSystemRegistryFactory() { return MakeSysfsRegistryFactory(); }

}  // namespace dialscope
