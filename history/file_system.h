// What the history asks of the file system, one implementation per system
// (file_system_posix.cpp, file_system_win32.cpp). Paths are UTF-8 on both.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace dialscope::history::files {

enum class Kind { Regular, Folder, Fifo, Device, Socket, Other };

struct Info {
    Kind kind = Kind::Other;
    int64_t size = 0;
    // Which file it is and when it last changed: equal values mean, as far
    // as the system tells, the same unchanged file.
    uint64_t file = 0;
    int64_t changed = 0;
    bool operator==(const Info&) const = default;
};

// What the path names (through links). Missing: nullopt with *missing set;
// any other failure: nullopt with *error saying why.
std::optional<Info> Look(const std::string& path, bool* missing = nullptr, std::string* error = nullptr);

// Whether the path names something (through links).
bool Exists(const std::string& path);
// Whether anything has this name, a dangling link included.
bool NameTaken(const std::string& path);

// Whether the user may write the file (a missing one: *missing set, false).
bool MayWrite(const std::string& path, bool* missing = nullptr);

// The folder part of a path ("." when there is none).
std::string Dirname(const std::string& path);

// Makes the missing folders of dir, the user's alone; an existing folder is
// left as it is.
bool MakeFolders(const std::string& dir, std::string* error);

// Reads up to n bytes from the start of a regular file without ever waiting
// on it (a FIFO swapped in after Look). Returns the count read, or -1 with
// *error; *info says what was opened (nullopt when it went missing).
int64_t ReadStart(const std::string& path, void* buffer, size_t n, std::optional<Info>* info, std::string* error);

// Makes an empty file that only the user may read, unless there is one.
void CreatePrivate(const std::string& path);

// Removes the file; false (and *error) when it stays.
bool Remove(const std::string& path, std::string* error = nullptr);

// Appends bytes to the file (made the user's alone when missing) and waits
// until they are on the disk.
bool AppendDurably(const std::string& path, const std::string& bytes, std::string* error);

// A warning naming what to do when other users of the computer may read the
// history or the files beside it; empty when only its owner may.
std::string ReadableByOthers(const std::string& path);

// The path as the path part of an SQLite file: URI, before percent-encoding.
std::string UriPath(const std::string& path);

// The history's place when none is named; empty with *problem when there
// is none.
std::string DefaultHistoryPath(std::string* problem);

// A regular file held open under an exclusive lock against other processes.
class LockedFile {
public:
    enum class Mode { Append, ReadWrite };
    // The lock holds only while the path still names the file locked (a
    // taker may have removed it meanwhile: then it is opened again).
    // ReadWrite of a missing file: nullptr with *error empty. Not waiting
    // for the lock: nullptr with *error "another program is taking it in".
    static std::unique_ptr<LockedFile> Open(const std::string& path, Mode mode, bool wait, std::string* error);
    ~LockedFile();
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    int64_t Size() const;
    // Reads exactly n bytes at offset at.
    bool ReadAt(int64_t at, void* buffer, size_t n, std::string* error) const;
    // Appends and waits until the bytes are on the disk.
    bool AppendDurably(const std::string& bytes, std::string* error);
    // Removes the file by name while it is still locked, so that whoever
    // waits for the lock finds the name gone and makes a new file.
    bool RemoveLocked(std::string* error);

    struct Handle;

private:
    explicit LockedFile(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
};

}  // namespace dialscope::history::files
