// The REGEDIT4 loader on arbitrary text: it either gives a registry tree or
// throws RegFileError. Any other exception, a crash or a sanitizer report is
// a finding. A tree that loads is read back through a reader, so that what
// the loader stored is walked as the port scan walks it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/registry_memory.h"

namespace {

using namespace dialscope;

void Walk(RegistryReader& reader, const std::string& path, int depth) {
    reader.OpenKey(path);
    std::vector<std::string> values = reader.ValueNames();
    for (const std::string& name : values) {
        if (!reader.ValueExists(name)) __builtin_trap();  // an enumerated value must exist
        try {
            (void)reader.ReadString(name);
        } catch (const RegistryError&) {
        }
        try {
            (void)reader.ReadInteger(name);
        } catch (const RegistryError&) {
        }
    }
    if (depth >= 8) return;
    std::vector<std::string> subkeys = reader.SubkeyNames();
    if (static_cast<size_t>(reader.SubkeyCount()) != subkeys.size()) __builtin_trap();
    for (const std::string& sub : subkeys) {
        Walk(reader, path.empty() ? sub : path + "\\" + sub, depth + 1);
        reader.OpenKey(path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::shared_ptr<MemoryRegistry> tree;
    try {
        tree = ParseRegText(text);
    } catch (const RegFileError& e) {
        // The message names the line, except for errors of the file itself.
        std::string_view what = e.what();
        if (e.line() > 0 && !what.starts_with("line ")) __builtin_trap();
        return 0;
    }
    if (!tree) __builtin_trap();
    auto reader = MakeMemoryRegistryFactory(tree)();
    if (!reader) __builtin_trap();
    Walk(*reader, "", 0);
    reader->CloseKey();
    return 0;
}
