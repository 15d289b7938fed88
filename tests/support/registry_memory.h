// An in-memory registry, for the tests and the fuzz targets (the program
// never holds one): a tree of keys and values under the local machine root,
// in either registry layout. Readers made from a tree share it: a key changed after a
// reader was made is seen by the next OpenKey, which is how tests plug and
// unplug adapters. Key and value names compare without regard to case and
// enumerate in the order they were first added.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ports/registry_reader.h"
#include "ports/registry_snapshot.h"

namespace dialscope {

// The registry's own limits on names and nesting.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxKeyDepth = 512;

class MemoryRegistry {
public:
    MemoryRegistry();
    ~MemoryRegistry();
    MemoryRegistry(const MemoryRegistry&) = delete;
    MemoryRegistry& operator=(const MemoryRegistry&) = delete;

    // Paths are relative to the root, names separated by '\'; "" is the root.
    // The mutators create missing keys along the path and throw
    // std::invalid_argument for a path that names no key (empty name, name or
    // nesting over the registry's limits).
    void AddKey(std::string_view path);
    // Removes the key with everything below it; false when there is no such
    // key. The root cannot be removed.
    bool DeleteKey(std::string_view path);

    // Setting an existing value replaces its type and data in place, keeping
    // its position (and the spelling of its name) in the enumeration.
    void SetValue(std::string_view path, std::string_view name, uint32_t type, std::string data);
    void SetString(std::string_view path, std::string_view name, std::string_view text);
    void SetExpandString(std::string_view path, std::string_view name, std::string_view text);
    void SetDword(std::string_view path, std::string_view name, uint32_t value);
    void SetBinary(std::string_view path, std::string_view name, std::string_view bytes);
    bool DeleteValue(std::string_view path, std::string_view name);

    bool KeyExists(std::string_view path) const;
    // A copy of the key, or nullopt when it does not exist.
    std::optional<KeySnapshot> Snapshot(std::string_view path) const;

private:
    struct Key;
    Key* Find(std::string_view path) const;
    Key& Make(std::string_view path);

    mutable std::mutex mutex_;  // a test may plug from another thread
    std::unique_ptr<Key> root_;
};

class MemoryRegistryReader : public SnapshotRegistryReader {
public:
    explicit MemoryRegistryReader(std::shared_ptr<const MemoryRegistry> tree);

protected:
    std::optional<KeySnapshot> LoadKey(const std::string& path) override;

private:
    std::shared_ptr<const MemoryRegistry> tree_;
};

// A factory whose readers all read `tree`.
RegistryFactory MakeMemoryRegistryFactory(std::shared_ptr<const MemoryRegistry> tree);

// REGEDIT4 text: the "REGEDIT4" line first, then [HKEY_LOCAL_MACHINE\...] key
// lines each followed by its values ("name"="text", @=..., dword:, hex:,
// hex(N):, "name"=- to delete a value), [-HKEY_LOCAL_MACHINE\...] to delete a
// key, ';' comment lines, and a trailing '\' continuing a line. Only the
// HKEY_LOCAL_MACHINE root can be loaded. Malformed text throws RegFileError
// whose message starts with "line N: ".
class RegFileError : public std::runtime_error {
public:
    RegFileError(int line, const std::string& what);
    int line() const { return line_; }

private:
    int line_;
};

std::shared_ptr<MemoryRegistry> ParseRegText(std::string_view text);
// Reads and parses a file; a file that cannot be read throws RegFileError
// with line 0 and a message naming the path.
std::shared_ptr<MemoryRegistry> LoadRegFile(const std::string& path);

}  // namespace dialscope
