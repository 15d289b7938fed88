#include "app/save_log.h"

#include <windows.h>

#include <algorithm>

namespace dialscope {

namespace {

// Closes the handle on every way out.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool Close() {
        if (!ok()) return true;
        const BOOL closed = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }

private:
    HANDLE handle_;
};

bool WriteAll(HANDLE file, const char* bytes, size_t count) {
    while (count > 0) {
        // WriteFile takes a DWORD count; a log is never near 4 GB, but do not
        // let a huge one wrap.
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(WriteCallSize(count), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr)) return false;
        if (written == 0) return false;  // no progress: treat like a full disk
        bytes += written;
        count -= written;
    }
    return true;
}

}  // namespace

bool AppendBytesToFile(const std::string& bytes, const std::string& fileName) {
    // OPEN_ALWAYS opens the file or creates it, and never truncates: a file
    // chosen again keeps every log saved into it before. Others may read it
    // meanwhile, but nobody else may write between our seek and our write.
    FileHandle file(CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) return false;

    LARGE_INTEGER zero{};
    bool ok = SetFilePointerEx(file.get(), zero, nullptr, FILE_END) != FALSE;

    ok = ok && WriteAll(file.get(), bytes.data(), bytes.size());

    // A network share or a nearly full disk may take the write and refuse the
    // data only on its way out: flush, so that such a save says so.
    ok = ok && FlushFileBuffers(file.get()) != FALSE;

    if (!file.Close()) ok = false;
    return ok;
}

}  // namespace dialscope
