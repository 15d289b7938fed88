// The system calls of web/ on Windows: random bytes, files of secrets only
// this user may open, the machine's names.
//
// "Only this user" is the file's own access list: a new secret file is made
// with a protected list that names the user alone (no entry inherited from
// the folder), and a file found is used only when the user owns it and its
// list lets nobody else in beyond the system and the administrators, who
// may read every file anyway.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <bcrypt.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "history/win32_text.h"
#include "web/platform.h"

namespace dialscope::web {

namespace {

using win32::Utf8;
using win32::Wide;
std::string Words(DWORD code) { return win32::SystemWords(code); }

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The user this program runs as (its token's user SID), as bytes.
std::vector<BYTE> UserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    Handle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (!size || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

// Whether the open file belongs to this user and lets no other user in.
bool OnlyMine(HANDLE file) {
    std::vector<BYTE> me = UserSid();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (me.empty() || GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    std::unique_ptr<void, decltype(&LocalFree)> freed(sd, &LocalFree);
    if (!owner || !EqualSid(owner, me.data()) || !dacl) return false;  // no list at all: open to everyone
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;  // denials take nothing away from the user
        const PSID who = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (!EqualSid(who, me.data()) && !IsWellKnown(who, WinLocalSystemSid) &&
            !IsWellKnown(who, WinBuiltinAdministratorsSid) && !IsWellKnown(who, WinCreatorOwnerSid))
            return false;
    }
    return true;
}

}  // namespace

bool RandomHex(size_t count, std::string* hex, std::string* problem) {
    std::vector<unsigned char> bytes(count);
    const NTSTATUS status =
        BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
        *problem = "No random numbers for the web page's token (the system's generator refused, status " +
                   std::to_string(static_cast<unsigned long>(status)) + ").";
        return false;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    hex->clear();
    for (unsigned char b : bytes) *hex += {kHex[b >> 4], kHex[b & 15]};
    return true;
}

SecretFile ReadSecretFile(const std::string& path, const std::string& what, std::string* text, std::string* problem) {
    Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return SecretFile::Missing;
        *problem = "The file of " + what + " " + path + " cannot be read: " + Words(err) + ".";
        return SecretFile::Refused;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK || !OnlyMine(file.get())) {
        *problem = "The file of " + what + " " + path +
                   " belongs to another user or others may read it; it is not used. Remove it, and it is made "
                   "again for you alone.";
        return SecretFile::Refused;
    }
    text->assign(4096, '\0');
    DWORD n = 0;
    if (!ReadFile(file.get(), text->data(), static_cast<DWORD>(text->size()), &n, nullptr)) {
        *problem = "The file of " + what + " " + path + " cannot be read: " + Words(GetLastError()) + ".";
        return SecretFile::Refused;
    }
    text->resize(n);
    return SecretFile::Found;
}

bool WriteSecretFile(const std::string& path, const std::string& what, const std::string& text, std::string* problem) {
    auto fail = [&](DWORD err) {
        *problem = "The " + what + " cannot be kept in " + path + ": " + Words(err) +
                   ". Check that its folder may be written.";
        return false;
    };
    // A list that names this user alone, protected from the folder's.
    std::vector<BYTE> me = UserSid();
    wchar_t* meText = nullptr;
    if (me.empty() || !ConvertSidToStringSidW(me.data(), &meText)) return fail(GetLastError());
    const std::wstring sddl = std::wstring(L"O:") + meText + L"D:P(A;;FA;;;" + meText + L")";
    LocalFree(meText);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return fail(GetLastError());
    std::unique_ptr<void, decltype(&LocalFree)> freed(sd, &LocalFree);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};

    const std::wstring target = Wide(path), temp = Wide(path + ".new");
    DeleteFileW(temp.c_str());
    Handle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return fail(GetLastError());
    }
    DWORD written = 0;
    const bool ok = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && FlushFileBuffers(file.get());
    const DWORD err = GetLastError();
    file.reset();
    if (!ok || !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD why = ok ? GetLastError() : err;
        DeleteFileW(temp.c_str());
        return fail(why);
    }
    return true;
}

std::vector<std::string> MachineNames() {
    std::vector<std::string> names;
    wchar_t host[256] = {};
    DWORD size = 256;
    if (GetComputerNameExW(ComputerNameDnsHostname, host, &size) && host[0]) names.push_back(Utf8(host));
    ULONG bytes = 16 * 1024;
    std::vector<BYTE> buffer;
    ULONG got = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && got == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(bytes);
        got = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                   nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &bytes);
    }
    if (got != NO_ERROR) return names;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp) continue;
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            const sockaddr* addr = u->Address.lpSockaddr;
            if (addr->sa_family != AF_INET && addr->sa_family != AF_INET6) continue;
            char text[NI_MAXHOST];
            if (getnameinfo(addr, u->Address.iSockaddrLength, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
            std::string name = text;
            if (name.find('%') != std::string::npos) continue;  // link-local with a zone: no browser names it so
            names.push_back(addr->sa_family == AF_INET6 ? "[" + name + "]" : name);
        }
    }
    return names;
}

// Windows counts no descriptors per process against sockets: nothing to raise.
size_t RaiseOpenFileLimit() { return 0; }

}  // namespace dialscope::web
