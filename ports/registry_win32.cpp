#include "ports/registry_win32.h"

#include <windows.h>

#include <memory>

namespace dialscope {
namespace {

// Registry names are at most 255 characters; value data is sized by asking.
constexpr DWORD kMaxName = 256;

class Win32RegistryReader : public RegistryReader {
public:
    ~Win32RegistryReader() override { CloseKey(); }

    void OpenKey(const std::string& path) override {
        CloseKey();
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) key_ = key;
    }

    int32_t SubkeyCount() override {
        if (!key_) return 0;
        DWORD subkeys = 0;
        if (RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return 0;
        }
        return static_cast<int32_t>(subkeys);
    }

    std::vector<std::string> SubkeyNames() override {
        std::vector<std::string> names;
        if (!key_) return names;
        for (DWORD i = 0;; ++i) {
            char name[kMaxName];
            DWORD length = kMaxName;
            const LONG r = RegEnumKeyExA(key_, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (r == ERROR_MORE_DATA) continue;  // not a name the registry allows; skip it
            if (r != ERROR_SUCCESS) break;
            names.emplace_back(name, length);
        }
        return names;
    }

    std::vector<std::string> ValueNames() override {
        std::vector<std::string> names;
        if (!key_) return names;
        for (DWORD i = 0;; ++i) {
            char name[16384];  // the longest value name the registry allows
            DWORD length = sizeof name;
            const LONG r = RegEnumValueA(key_, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (r == ERROR_MORE_DATA) continue;
            if (r != ERROR_SUCCESS) break;
            names.emplace_back(name, length);
        }
        return names;
    }

    bool ValueExists(const std::string& name) override {
        return key_ && RegQueryValueExA(key_, name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
                           ERROR_SUCCESS;
    }

    std::string ReadString(const std::string& name) override {
        DWORD type = 0;
        std::string data;
        if (!Query(name, &type, &data)) return {};
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            throw RegistryError("Invalid data type for '" + name + "'");
        return data.substr(0, data.find('\0'));
    }

    int32_t ReadInteger(const std::string& name) override {
        DWORD type = 0;
        std::string data;
        if (!Query(name, &type, &data)) throw RegistryError("Failed to get data for '" + name + "'");
        if (type != REG_DWORD) throw RegistryError("Invalid data type for '" + name + "'");
        if (data.size() != 4) throw RegistryError("Failed to get data for '" + name + "'");
        uint32_t u = 0;
        for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>(data[static_cast<size_t>(i)]);
        return static_cast<int32_t>(u);
    }

    void CloseKey() override {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    // The value's type and raw bytes; false when it cannot be read.
    bool Query(const std::string& name, DWORD* type, std::string* data) {
        if (!key_) return false;
        // The value may change size between asking and reading; ask again then.
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD size = 0;
            LONG r = RegQueryValueExA(key_, name.c_str(), nullptr, type, nullptr, &size);
            if (r != ERROR_SUCCESS) return false;
            data->assign(size, '\0');
            r = RegQueryValueExA(key_, name.c_str(), nullptr, type,
                                 reinterpret_cast<BYTE*>(data->data()), &size);
            if (r == ERROR_MORE_DATA) continue;
            if (r != ERROR_SUCCESS) return false;
            data->resize(size);
            return true;
        }
        return false;
    }

    HKEY key_ = nullptr;
};

}  // namespace

RegistryFactory MakeWin32RegistryFactory() {
    return [] { return std::make_unique<Win32RegistryReader>(); };
}

RegistryFactory MakeSystemRegistryFactory() { return MakeWin32RegistryFactory(); }

}  // namespace dialscope
