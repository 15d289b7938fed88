#include "ports/port_scan.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace dialscope {

namespace {

constexpr std::string_view kInstMarker = "INST_";

// A reader that opens nothing: what a factory that gives no reader amounts to.
class NoRegistry final : public RegistryReader {
public:
    void OpenKey(const std::string&) override {}
    int32_t SubkeyCount() override { return 0; }
    std::vector<std::string> SubkeyNames() override { return {}; }
    std::vector<std::string> ValueNames() override { return {}; }
    bool ValueExists(const std::string&) override { return false; }
    std::string ReadString(const std::string&) override { return {}; }
    int32_t ReadInteger(const std::string& name) override {
        throw RegistryError("Failed to get data for '" + name + "'");
    }
    void CloseKey() override {}
};

std::unique_ptr<RegistryReader> MakeReader(const RegistryFactory& registry) {
    std::unique_ptr<RegistryReader> reader = registry ? registry() : nullptr;
    if (!reader) reader = std::make_unique<NoRegistry>();
    return reader;
}

// The interface key whose RefCount tells whether a 9x instance is plugged in,
// built from the instance's symbolic name.
std::string InterfaceKeyPath(const std::string& symbolicName) {
    const size_t hash = symbolicName.find('#');
    const std::string afterHash =
        hash == std::string::npos ? symbolicName : symbolicName.substr(hash + 1);
    const std::string tail = symbolicName.size() > 12 ? symbolicName.substr(12) : std::string();
    return std::string(kDeviceClassesKey9x) + afterHash + "\\" + "##.#" + tail;
}

// Searches the USBPORTS entries, whose names are numbers, for the instance
// number and reads that entry's PORTNAME. False when no entry has the number.
bool PortNameForInstance(RegistryReader& reader, int32_t instance, std::string& portName) {
    reader.OpenKey(kUsbPortsKey9x);
    for (const std::string& name : reader.SubkeyNames()) {
        if (TextToInteger(name) == instance) {
            reader.CloseKey();
            reader.OpenKey(std::string(kUsbPortsKey9x) + "\\" + name);
            portName = reader.ReadString("PORTNAME");
            return true;
        }
    }
    reader.CloseKey();
    portName.clear();
    return false;
}

// Up to N names: a registry that reports more subkeys than it then lists must
// not make the scan read past the names it has.
size_t ScanCount(int32_t reported, size_t listed) {
    return reported <= 0 ? 0 : std::min(static_cast<size_t>(reported), listed);
}

}  // namespace

int32_t TextToInteger(std::string_view text) {
    auto fail = [&]() -> RegistryError {
        std::string message = "'";
        message.append(text);
        message += "' is not a valid integer value";
        return RegistryError(message);
    };
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) throw fail();
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') throw fail();
        value = value * 10 + (c - '0');
        if (value > limit) throw fail();
    }
    return static_cast<int32_t>(negative ? -value : value);
}

void ScanPortsWin9x(PortList& ports, const RegistryFactory& registry) {
    auto reader = MakeReader(registry);
    reader->OpenKey(kUsbKey9x);
    const int32_t reported = reader->SubkeyCount();
    if (reported <= 0) {
        reader->CloseKey();
        return;
    }
    const std::vector<std::string> names = reader->SubkeyNames();
    const size_t count = ScanCount(reported, names.size());
    for (size_t i = 0; i < count; ++i) {
        reader->CloseKey();
        const std::string deviceKey = std::string(kUsbKey9x) + "\\" + names[i];

        const size_t marker = deviceKey.find(kInstMarker);
        const bool hasNumber = marker != std::string::npos;
        const int32_t instance =
            hasNumber ? TextToInteger(std::string_view(deviceKey).substr(marker + kInstMarker.size()))
                      : 0;

        reader->OpenKey(deviceKey);
        if (!reader->ValueExists("SymbolicName")) continue;
        const std::string symbolicName = reader->ReadString("SymbolicName");
        reader->CloseKey();

        const std::string presenceKey = InterfaceKeyPath(symbolicName);
        reader->OpenKey(presenceKey);
        uint8_t present = reader->ReadInteger("RefCount") > 0 ? 1 : 0;
        reader->CloseKey();

        std::string comPort;
        // Without its port entry the instance has no port to open, whatever
        // its interface says.
        if (!hasNumber || !PortNameForInstance(*reader, instance, comPort)) present = 0;

        ports.AppendPort(deviceKey, comPort, present, presenceKey);
    }
    reader->CloseKey();
}

void ScanPortsNt(PortList& ports, const RegistryFactory& registry) {
    auto reader = MakeReader(registry);
    reader->OpenKey(kUsbKeyNt);
    const int32_t reported = reader->SubkeyCount();
    if (reported <= 0) {
        reader->CloseKey();
        return;
    }
    const std::vector<std::string> names = reader->SubkeyNames();
    reader->CloseKey();
    const size_t count = ScanCount(reported, names.size());
    for (size_t i = 0; i < count; ++i) {
        const std::string deviceKey =
            std::string(kUsbKeyNt) + "\\" + names[i] + "\\Device Parameters";
        reader->OpenKey(deviceKey);
        const std::string comPort =
            reader->ValueExists("PortName") ? reader->ReadString("PortName") : std::string();
        reader->CloseKey();

        std::string presenceKey = FindSerialCommValue(registry, comPort);
        const uint8_t present = presenceKey.empty() ? 0 : 1;
        ports.AppendPort(deviceKey, comPort, present, std::move(presenceKey));
    }
}

std::string LookUpUsbPortName(const RegistryFactory& registry, const std::string& deviceKey) {
    const size_t marker = deviceKey.find(kInstMarker);
    if (marker == std::string::npos) return {};
    const int32_t instance =
        TextToInteger(std::string_view(deviceKey).substr(marker + kInstMarker.size()));
    auto reader = MakeReader(registry);
    std::string portName;
    PortNameForInstance(*reader, instance, portName);
    reader->CloseKey();
    return portName;
}

bool IsInterfaceReferenced(const RegistryFactory& registry, const std::string& path) {
    auto reader = MakeReader(registry);
    reader->OpenKey(path);
    const int32_t refCount = reader->ReadInteger("RefCount");
    reader->CloseKey();
    return refCount != 0;
}

std::string FindSerialCommValue(const RegistryFactory& registry, const std::string& portName) {
    if (portName.empty()) return {};
    auto reader = MakeReader(registry);
    reader->OpenKey(kSerialCommKey);
    std::string result;
    for (const std::string& name : reader->ValueNames()) {
        if (BeginsWith(reader->ReadString(name), portName)) {
            result = name;
            break;
        }
    }
    reader->CloseKey();
    return result;
}

}  // namespace dialscope
