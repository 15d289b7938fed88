// Read-only access to a registry-shaped key tree under the local machine root.
// A reader has at most one current key; every path handed to it is complete.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace dialscope {

// A registry read that cannot give the value asked for. Its message is the
// text shown to the user.
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RegistryReader {
public:
    virtual ~RegistryReader() = default;
    // The key becomes current; when it cannot be opened no key is current.
    virtual void OpenKey(const std::string& path) = 0;
    // 0 when no key is current.
    virtual int32_t SubkeyCount() = 0;
    // In enumeration order; none when no key is current.
    virtual std::vector<std::string> SubkeyNames() = 0;
    virtual std::vector<std::string> ValueNames() = 0;
    virtual bool ValueExists(const std::string& name) = 0;
    // Text up to its first NUL; empty when missing/empty/no key. Throws
    // RegistryError "Invalid data type for '<name>'" for a non-string value.
    virtual std::string ReadString(const std::string& name) = 0;
    // Throws RegistryError "Failed to get data for '<name>'" when it cannot be
    // read, "Invalid data type for '<name>'" when it is not a 32-bit integer.
    virtual int32_t ReadInteger(const std::string& name) = 0;
    virtual void CloseKey() = 0;
};

// Every scan and lookup makes its own reader and discards it afterwards.
using RegistryFactory = std::function<std::unique_ptr<RegistryReader>()>;

// The system's registry: the sysfs view on Linux ($DIALSCOPE_SYSFS_ROOT or
// /sys), the registry itself on Windows.
RegistryFactory MakeSystemRegistryFactory();

}  // namespace dialscope
