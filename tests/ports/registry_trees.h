// Builders for the two registry layouts the port scans read, on the
// in-memory registry.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ports/port_scan.h"
#include "tests/support/registry_memory.h"

namespace dialscope::testing {

inline const std::string kGuid = "{36FC9E60-C465-11CF-8056-444553540000}";

// A factory over `tree` that counts the readers it makes.
inline RegistryFactory CountingFactory(std::shared_ptr<const MemoryRegistry> tree, int& readers) {
    RegistryFactory inner = MakeMemoryRegistryFactory(std::move(tree));
    return [inner, &readers] {
        ++readers;
        return inner();
    };
}

// NT layout: an instance key, with "PortName" when portName is given.
inline void AddNtInstance(MemoryRegistry& r, const std::string& instance,
                          std::optional<std::string> portName) {
    const std::string key = std::string(kUsbKeyNt) + "\\" + instance + "\\Device Parameters";
    r.AddKey(key);
    if (portName) r.SetString(key, "PortName", *portName);
}

inline void AddSerialComm(MemoryRegistry& r, const std::string& name, const std::string& port) {
    r.SetString(kSerialCommKey, name, port);
}

// 9x layout: the symbolic name is 12 characters without '#', then `name`,
// '#', the class GUID; its interface key is what the scan derives from it.
inline std::string SymbolicName9x(const std::string& name) {
    return "USB\\ROOT_HUB" + name + "#" + kGuid;
}
inline std::string InterfaceKey9x(const std::string& name) {
    return std::string(kDeviceClassesKey9x) + kGuid + "\\##.#" + name + "#" + kGuid;
}

// An instance subkey of Enum\USB\VID_067B&PID_2303 with a "SymbolicName"
// built from `name`, and the interface key with "RefCount" when given.
inline void Add9xInstance(MemoryRegistry& r, const std::string& subkey, const std::string& name,
                          std::optional<int32_t> refCount) {
    const std::string key = std::string(kUsbKey9x) + "\\" + subkey;
    r.SetString(key, "SymbolicName", SymbolicName9x(name));
    r.AddKey(InterfaceKey9x(name));
    if (refCount) r.SetDword(InterfaceKey9x(name), "RefCount", static_cast<uint32_t>(*refCount));
}

inline void Add9xPortEntry(MemoryRegistry& r, const std::string& entry, const std::string& port) {
    r.SetString(std::string(kUsbPortsKey9x) + "\\" + entry, "PORTNAME", port);
}

}  // namespace dialscope::testing
