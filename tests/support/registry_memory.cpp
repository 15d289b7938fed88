#include "tests/support/registry_memory.h"

#include <utility>

namespace dialscope {

struct MemoryRegistry::Key {
    std::string name;
    std::vector<RegistryValue> values;
    std::vector<std::unique_ptr<Key>> subkeys;

    Key* Child(std::string_view n) const {
        for (const auto& k : subkeys)
            if (NamesEqual(k->name, n)) return k.get();
        return nullptr;
    }
    RegistryValue* Value(std::string_view n) {
        for (auto& v : values)
            if (NamesEqual(v.name, n)) return &v;
        return nullptr;
    }
};

namespace {

std::vector<std::string_view> CheckedPath(std::string_view path) {
    auto names = SplitKeyPath(path);
    if (!names) throw std::invalid_argument("empty key name in '" + std::string(path) + "'");
    if (names->size() > kMaxKeyDepth)
        throw std::invalid_argument("keys nested too deep in '" + std::string(path) + "'");
    for (auto n : *names)
        if (n.size() > kMaxKeyNameLength)
            throw std::invalid_argument("key name too long in '" + std::string(path) + "'");
    return *names;
}

std::string DwordBytes(uint32_t v) {
    std::string d(4, '\0');
    for (size_t i = 0; i < 4; ++i) d[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return d;
}

}  // namespace

MemoryRegistry::MemoryRegistry() : root_(std::make_unique<Key>()) {}
MemoryRegistry::~MemoryRegistry() = default;

MemoryRegistry::Key* MemoryRegistry::Find(std::string_view path) const {
    auto names = SplitKeyPath(path);
    if (!names) return nullptr;
    Key* k = root_.get();
    for (auto n : *names) {
        k = k->Child(n);
        if (!k) return nullptr;
    }
    return k;
}

MemoryRegistry::Key& MemoryRegistry::Make(std::string_view path) {
    Key* k = root_.get();
    for (auto n : CheckedPath(path)) {
        Key* child = k->Child(n);
        if (!child) {
            k->subkeys.push_back(std::make_unique<Key>());
            child = k->subkeys.back().get();
            child->name = std::string(n);
        }
        k = child;
    }
    return *k;
}

void MemoryRegistry::AddKey(std::string_view path) {
    std::lock_guard lock(mutex_);
    Make(path);
}

bool MemoryRegistry::DeleteKey(std::string_view path) {
    std::lock_guard lock(mutex_);
    auto names = SplitKeyPath(path);
    if (!names || names->empty()) return false;
    auto leaf = names->back();
    names->pop_back();
    Key* parent = root_.get();
    for (auto n : *names) {
        parent = parent->Child(n);
        if (!parent) return false;
    }
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
        if (NamesEqual((*it)->name, leaf)) {
            parent->subkeys.erase(it);
            return true;
        }
    }
    return false;
}

void MemoryRegistry::SetValue(std::string_view path, std::string_view name, uint32_t type,
                              std::string data) {
    if (name.size() > kMaxValueNameLength)
        throw std::invalid_argument("value name too long");
    std::lock_guard lock(mutex_);
    Key& k = Make(path);
    if (RegistryValue* v = k.Value(name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    k.values.push_back(RegistryValue{std::string(name), type, std::move(data)});
}

void MemoryRegistry::SetString(std::string_view path, std::string_view name, std::string_view text) {
    SetValue(path, name, kRegSz, std::string(text));
}

void MemoryRegistry::SetExpandString(std::string_view path, std::string_view name,
                                     std::string_view text) {
    SetValue(path, name, kRegExpandSz, std::string(text));
}

void MemoryRegistry::SetDword(std::string_view path, std::string_view name, uint32_t value) {
    SetValue(path, name, kRegDword, DwordBytes(value));
}

void MemoryRegistry::SetBinary(std::string_view path, std::string_view name, std::string_view bytes) {
    SetValue(path, name, kRegBinary, std::string(bytes));
}

bool MemoryRegistry::DeleteValue(std::string_view path, std::string_view name) {
    std::lock_guard lock(mutex_);
    Key* k = Find(path);
    if (!k) return false;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
        if (NamesEqual(it->name, name)) {
            k->values.erase(it);
            return true;
        }
    }
    return false;
}

bool MemoryRegistry::KeyExists(std::string_view path) const {
    std::lock_guard lock(mutex_);
    return Find(path) != nullptr;
}

std::optional<KeySnapshot> MemoryRegistry::Snapshot(std::string_view path) const {
    std::lock_guard lock(mutex_);
    const Key* k = Find(path);
    if (!k) return std::nullopt;
    KeySnapshot s;
    s.subkeys.reserve(k->subkeys.size());
    for (const auto& sub : k->subkeys) s.subkeys.push_back(sub->name);
    s.values = k->values;
    return s;
}

MemoryRegistryReader::MemoryRegistryReader(std::shared_ptr<const MemoryRegistry> tree)
    : tree_(std::move(tree)) {}

std::optional<KeySnapshot> MemoryRegistryReader::LoadKey(const std::string& path) {
    if (!tree_) return std::nullopt;
    return tree_->Snapshot(path);
}

RegistryFactory MakeMemoryRegistryFactory(std::shared_ptr<const MemoryRegistry> tree) {
    return [tree = std::move(tree)]() -> std::unique_ptr<RegistryReader> {
        return std::make_unique<MemoryRegistryReader>(tree);
    };
}

}  // namespace dialscope
