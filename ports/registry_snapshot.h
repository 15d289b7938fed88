// What a reader sees of one opened key: its subkey names and its values, copied
// when the key is opened. Both the in-memory tree and the sysfs view hand out
// such copies, so a reader never holds on to storage that a hot-plug may change
// or remove underneath it, and both answer reads with the same rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ports/registry_reader.h"

namespace dialscope {

// Value types, numbered as the registry numbers them (and as hex(N) writes them).
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

struct RegistryValue {
    std::string name;
    uint32_t type = kRegNone;
    // Raw bytes. Strings are 8-bit text in the system code page and may carry
    // their terminating NUL (and anything after it); a dword is 4 bytes, low first.
    std::string data;
};

struct KeySnapshot {
    std::vector<std::string> subkeys;   // enumeration order
    std::vector<RegistryValue> values;  // enumeration order
};

// The registry compares key and value names without regard to (ASCII) case.
bool NamesEqual(std::string_view a, std::string_view b);

// Splits a key path relative to the root into its names. "" is the root
// itself; a single trailing backslash is tolerated. A leading or doubled
// backslash names no key: nullopt.
std::optional<std::vector<std::string_view>> SplitKeyPath(std::string_view path);

// A RegistryReader whose current key is a snapshot taken by OpenKey.
class SnapshotRegistryReader : public RegistryReader {
public:
    void OpenKey(const std::string& path) final;
    int32_t SubkeyCount() final;
    std::vector<std::string> SubkeyNames() final;
    std::vector<std::string> ValueNames() final;
    bool ValueExists(const std::string& name) final;
    std::string ReadString(const std::string& name) final;
    int32_t ReadInteger(const std::string& name) final;
    void CloseKey() final;

protected:
    // The key at `path`, or nullopt when it cannot be opened.
    virtual std::optional<KeySnapshot> LoadKey(const std::string& path) = 0;

private:
    const RegistryValue* Find(const std::string& name) const;
    std::optional<KeySnapshot> current_;
};

}  // namespace dialscope
