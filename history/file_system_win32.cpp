// The history's file system calls on Windows. Paths are UTF-8 and go to the
// wide-character calls, so that any name the user gives works whatever the
// system's code page.
//
// Who may read the history: the default file lies in the user's own
// %LOCALAPPDATA%, whose folder (inside the user profile) grants access to the
// user, SYSTEM and the administrators only, and every file and folder made
// here inherits that list. A history named elsewhere with --history takes
// its folder's list, as any file the user saves there would.
#include "history/file_system.h"
#include "history/win32_text.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

namespace dialscope::history::files {
namespace {

using win32::Utf8;
using win32::Wide;
std::string Words(DWORD code) { return win32::SystemWords(code); }

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

Info InfoOf(HANDLE h) {
    Info info;
    BY_HANDLE_FILE_INFORMATION about{};
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_PIPE) {
        info.kind = Kind::Fifo;
    } else if (type == FILE_TYPE_CHAR) {
        info.kind = Kind::Device;
    } else if (type == FILE_TYPE_DISK && GetFileInformationByHandle(h, &about)) {
        info.kind = (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::Regular;
        info.size = (static_cast<int64_t>(about.nFileSizeHigh) << 32) | about.nFileSizeLow;
        info.file = (static_cast<uint64_t>(about.dwVolumeSerialNumber) << 40) ^
                    ((static_cast<uint64_t>(about.nFileIndexHigh) << 32) | about.nFileIndexLow);
        info.changed = (static_cast<int64_t>(about.ftLastWriteTime.dwHighDateTime) << 32) |
                       about.ftLastWriteTime.dwLowDateTime;
    }
    return info;
}

// Opens the path to look at it (a folder too), following links.
HANDLE OpenToLook(const std::string& path) {
    return CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool WriteFully(HANDLE h, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        if (!WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) return false;
        done += wrote;
    }
    return true;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

std::optional<Info> Look(const std::string& path, bool* missing, std::string* error) {
    HANDLE h = OpenToLook(path);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (missing) *missing = IsMissing(code);
        if (error) *error = Words(code);
        return std::nullopt;
    }
    const Info info = InfoOf(h);
    CloseHandle(h);
    return info;
}

bool Exists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool NameTaken(const std::string& path) { return Exists(path); }

bool MayWrite(const std::string& path, bool* missing) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (missing) *missing = IsMissing(GetLastError());
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A folder's read-only attribute means nothing for its files; the
        // only honest test is to make one.
        const std::wstring probe = Wide(path) + L"\\.dialscope-write-test";
        HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS;
        CloseHandle(h);
        return true;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) return false;
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Held open without sharing by another program is not "read-only".
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(h);
    return true;
}

std::string Dirname(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos) {
        // "C:calls.sqlite3" is in drive C's current folder.
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    }
    // The root of a drive keeps its separator: "C:\", not "C:".
    if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

bool MakeFolders(const std::string& dir, std::string* error) {
    size_t pos = 0;
    // Past the drive or the server and share of a network path.
    if (dir.size() >= 2 && dir[1] == ':') pos = 2;
    if (dir.size() >= 2 && IsSeparator(dir[0]) && IsSeparator(dir[1])) {
        pos = dir.find_first_of("\\/", 2);
        if (pos != std::string::npos) pos = dir.find_first_of("\\/", pos + 1);
    }
    while (pos != std::string::npos) {
        pos = dir.find_first_of("\\/", pos + 1);
        const std::string partial = dir.substr(0, pos);
        if (partial.empty() || IsSeparator(partial.back())) continue;
        const DWORD attributes = GetFileAttributesW(Wide(partial).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (!CreateDirectoryW(Wide(partial).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *error = "the folder " + partial + " cannot be created: " + Words(GetLastError());
            return false;
        }
    }
    const DWORD attributes = GetFileAttributesW(Wide(dir).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = dir + " is not a folder";
        return false;
    }
    return true;
}

int64_t ReadStart(const std::string& path, void* buffer, size_t n, std::optional<Info>* info, std::string* error) {
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        info->reset();
        if (IsMissing(code)) return 0;
        *error = Words(code);
        return -1;
    }
    *info = InfoOf(h);
    DWORD got = 0;
    bool ok = true;
    if ((*info)->kind == Kind::Regular) ok = ReadFile(h, buffer, static_cast<DWORD>(n), &got, nullptr);
    if (!ok) *error = Words(GetLastError());
    CloseHandle(h);
    return ok ? static_cast<int64_t>(got) : -1;
}

void CreatePrivate(const std::string& path) {
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

bool Remove(const std::string& path, std::string* error) {
    if (DeleteFileW(Wide(path).c_str())) return true;
    if (error) *error = Words(GetLastError());
    return false;
}

bool AppendDurably(const std::string& path, const std::string& bytes, std::string* error) {
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Words(GetLastError());
        return false;
    }
    const bool ok = WriteFully(h, bytes) && FlushFileBuffers(h);
    if (!ok) *error = Words(GetLastError());
    CloseHandle(h);
    return ok;
}

// What protects the file is the folder's inherited list (see the top of
// this file); there is no mode bit to check.
std::string ReadableByOthers(const std::string&) { return {}; }

// "C:\Users\x\calls.sqlite3" as "/C:/Users/x/calls.sqlite3".
std::string UriPath(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '\\') c = '/';
    if (out.size() >= 2 && out[1] == ':') out.insert(out.begin(), '/');
    return out;
}

std::string DefaultHistoryPath(std::string* problem) {
    wchar_t* folder = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &folder);
    std::string base = SUCCEEDED(hr) && folder ? Utf8(folder) : std::string();
    CoTaskMemFree(folder);
    if (base.empty()) {
        *problem = "The call history has no place: Windows names no local application data folder for this "
                   "user. Name the history file with --history.";
        return {};
    }
    while (base.size() > 3 && IsSeparator(base.back())) base.pop_back();
    return base + "\\Dialscope\\calls.sqlite3";
}

struct LockedFile::Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    std::string path;
};

LockedFile::LockedFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

LockedFile::~LockedFile() {
    if (handle_->h != INVALID_HANDLE_VALUE) CloseHandle(handle_->h);
}

std::unique_ptr<LockedFile> LockedFile::Open(const std::string& path, Mode mode, bool wait, std::string* error) {
    error->clear();
    const std::wstring wide = Wide(path);
    const DWORD access = mode == Mode::Append ? GENERIC_READ | FILE_APPEND_DATA : GENERIC_READ | GENERIC_WRITE;
    for (int attempt = 0; attempt < 10; ++attempt) {
        // Shared for deleting: the taker removes the file while it holds it.
        HANDLE h = CreateFileW(wide.c_str(), access, kShareAll, nullptr,
                               mode == Mode::Append ? OPEN_ALWAYS : OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_ACCESS_DENIED && attempt + 1 < 10) {
                // A file removed by a taker lingers until its last handle
                // closes, and cannot be opened meanwhile.
                Sleep(10);
                continue;
            }
            if (!IsMissing(code) || mode == Mode::Append) *error = Words(code);
            return nullptr;
        }
        BY_HANDLE_FILE_INFORMATION about{};
        if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &about) ||
            (about.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            *error = "it is not a regular file";
            CloseHandle(h);
            return nullptr;
        }
        OVERLAPPED whole{};
        const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
        if (!LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &whole)) {
            const DWORD code = GetLastError();
            *error = code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? "another program is taking it in"
                                                                               : Words(code);
            CloseHandle(h);
            return nullptr;
        }
        HANDLE named = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        const bool same = named != INVALID_HANDLE_VALUE && SameFile(h, named);
        if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
        if (same) {
            auto handle = std::make_unique<Handle>();
            handle->h = h;
            handle->path = path;
            return std::unique_ptr<LockedFile>(new LockedFile(std::move(handle)));
        }
        CloseHandle(h);
    }
    *error = "it keeps being replaced";
    return nullptr;
}

int64_t LockedFile::Size() const {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle_->h, &size) ? size.QuadPart : 0;
}

bool LockedFile::ReadAt(int64_t at, void* buffer, size_t n, std::string* error) const {
    size_t got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < n) {
        OVERLAPPED where{};
        const uint64_t offset = static_cast<uint64_t>(at) + got;
        where.Offset = static_cast<DWORD>(offset);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - got, 1u << 30));
        if (!ReadFile(handle_->h, bytes + got, chunk, &read, &where)) {
            *error = Words(GetLastError());
            return false;
        }
        if (read == 0) {
            *error = "the file ended early";
            return false;
        }
        got += read;
    }
    return true;
}

bool LockedFile::AppendDurably(const std::string& bytes, std::string* error) {
    // Through the lock's own handle; opened for appending, every write goes
    // to the end.
    LARGE_INTEGER end{};
    SetFilePointerEx(handle_->h, end, nullptr, FILE_END);
    if (WriteFully(handle_->h, bytes) && FlushFileBuffers(handle_->h)) return true;
    *error = Words(GetLastError());
    return false;
}

bool LockedFile::RemoveLocked(std::string* error) { return Remove(handle_->path, error); }

}  // namespace dialscope::history::files
