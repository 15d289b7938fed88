#include "ports/registry_snapshot.h"

#include <algorithm>
#include <limits>

namespace dialscope {

namespace {
char FoldAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

std::optional<std::vector<std::string_view>> SplitKeyPath(std::string_view path) {
    std::vector<std::string_view> names;
    if (path.empty()) return names;
    if (path.back() == '\\') path.remove_suffix(1);
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string_view name = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (name.empty()) return std::nullopt;
        names.push_back(name);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return names;
}

void SnapshotRegistryReader::OpenKey(const std::string& path) {
    current_.reset();
    current_ = LoadKey(path);
}

int32_t SnapshotRegistryReader::SubkeyCount() {
    if (!current_) return 0;
    constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(std::min(current_->subkeys.size(), kMax));
}

std::vector<std::string> SnapshotRegistryReader::SubkeyNames() {
    if (!current_) return {};
    return current_->subkeys;
}

std::vector<std::string> SnapshotRegistryReader::ValueNames() {
    std::vector<std::string> names;
    if (!current_) return names;
    names.reserve(current_->values.size());
    for (const auto& v : current_->values) names.push_back(v.name);
    return names;
}

bool SnapshotRegistryReader::ValueExists(const std::string& name) {
    return Find(name) != nullptr;
}

std::string SnapshotRegistryReader::ReadString(const std::string& name) {
    const RegistryValue* v = Find(name);
    if (!v) return {};
    if (v->type != kRegSz && v->type != kRegExpandSz)
        throw RegistryError("Invalid data type for '" + name + "'");
    // Stored strings usually carry their terminating NUL; some writers leave
    // junk after it. Either way the text ends at the first NUL.
    return v->data.substr(0, v->data.find('\0'));
}

int32_t SnapshotRegistryReader::ReadInteger(const std::string& name) {
    const RegistryValue* v = Find(name);
    if (!v) throw RegistryError("Failed to get data for '" + name + "'");
    if (v->type != kRegDword) throw RegistryError("Invalid data type for '" + name + "'");
    // A dword value whose data is not exactly four bytes cannot be read as
    // one: a short one would leave bytes of the result undefined.
    if (v->data.size() != 4) throw RegistryError("Failed to get data for '" + name + "'");
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>(v->data[static_cast<size_t>(i)]);
    return static_cast<int32_t>(u);
}

void SnapshotRegistryReader::CloseKey() { current_.reset(); }

const RegistryValue* SnapshotRegistryReader::Find(const std::string& name) const {
    if (!current_) return nullptr;
    for (const auto& v : current_->values)
        if (NamesEqual(v.name, name)) return &v;
    return nullptr;
}

}  // namespace dialscope
