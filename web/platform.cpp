// What web/ asks of the system that is the same on every system, built on
// the few calls platform_posix.cpp and platform_win32.cpp give.
#include "web/platform.h"

#include "ports/port_list.h"
#include "ports/port_scan.h"
#include "ports/registry_reader.h"

namespace dialscope::web {

namespace {

bool IsToken(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

// The program's own port scan, as the window and the watcher see the adapters.
AdapterState FindAdapter() {
    AdapterState state;
    try {
        PortList ports;
        ScanPortsNt(ports, MakeSystemRegistryFactory());
        state.known = true;
        if (const int32_t at = ports.FirstPresentPort()) {
            state.present = true;
            state.port = ports.GetPortField(at, 2);
        }
    } catch (const RegistryError&) {
        state.known = false;
    }
    return state;
}

bool LoadOrMakeToken(const std::string& path, std::string* token, std::string* problem) {
    std::string text;
    switch (ReadSecretFile(path, "the web page's token", &text, problem)) {
    case SecretFile::Refused: return false;
    case SecretFile::Found:
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (IsToken(text)) {
            *token = text;
            return true;
        }
        // Empty or spoiled (a crash while it was written): made afresh.
        break;
    case SecretFile::Missing: break;
    }
    return MakeNewToken(path, token, problem);
}

bool MakeNewToken(const std::string& path, std::string* token, std::string* problem) {
    return RandomHex(32, token, problem) && WriteSecretFile(path, "web page's token", *token + "\n", problem);
}

}  // namespace dialscope::web
