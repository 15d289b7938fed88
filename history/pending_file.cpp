#include "history/pending_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

namespace dialscope::history {
namespace {

// Larger than any number of spills a user would let gather; a bigger file is
// not ours to read into memory.
constexpr off_t kMaxPendingBytes = 256 << 20;

std::string ToHex(const void* data, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) out += {kHex[p[i] >> 4], kHex[p[i] & 15]};
    return out;
}

std::optional<std::string> FromHex(const std::string& hex) {
    if (hex.size() % 2) return std::nullopt;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi << 4 | lo));
    }
    return out;
}

bool WriteFully(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Opens and locks the file; the lock holds only if the path still names the
// file locked (a taker may have removed it meanwhile: then again).
int OpenLocked(const std::string& file, int flags, bool wait, std::string* error) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0) {
            if (errno != ENOENT || (flags & O_CREAT)) *error = std::strerror(errno);
            return -1;
        }
        struct stat held {}, named {};
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            *error = "it is not a regular file";
            close(fd);
            return -1;
        }
        if (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
            *error = errno == EWOULDBLOCK ? "another program is taking it in" : std::strerror(errno);
            close(fd);
            return -1;
        }
        if (stat(file.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino)
            return fd;
        close(fd);
    }
    *error = "it keeps being replaced";
    return -1;
}

}  // namespace

std::string PendingPath(const std::string& historyPath) { return historyPath + ".pending"; }

std::string PendingLine(const PendingRecord& r) {
    const CallRecord& f = r.fields;
    nlohmann::ordered_json j;
    j["download_started"] = r.downloadStarted;
    j["port"] = ToHex(r.port.data(), r.port.size());
    j["download_ended"] = r.endedHow;
    j["received"] = r.receivedAt;
    j["occurrence"] = r.occurrence;
    j["header_known"] = f.headerKnown;
    j["label"] = ToHex(f.label.data(), f.label.size());
    j["label_index"] = f.labelIndex;
    j["letter"] = f.letterCode;
    j["date_time"] = f.dateTime;
    j["has_text"] = f.hasText;
    j["text"] = ToHex(f.text.data(), f.text.size());
    j["damaged"] = f.damaged;
    j["rendered"] = ToHex(r.rendered.data(), r.rendered.size());
    return j.dump();
}

std::optional<PendingRecord> ParsePendingLine(const std::string& line) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    try {
        PendingRecord r;
        r.downloadStarted = j.at("download_started").get<int64_t>();
        auto port = FromHex(j.at("port").get<std::string>());
        r.endedHow = j.at("download_ended").get<std::string>();
        r.receivedAt = j.at("received").get<int64_t>();
        r.occurrence = j.at("occurrence").get<int>();
        CallRecord& f = r.fields;
        f.headerKnown = j.at("header_known").get<bool>();
        auto label = FromHex(j.at("label").get<std::string>());
        const int index = j.at("label_index").get<int>(), letter = j.at("letter").get<int>();
        const auto dateTime = j.at("date_time").get<std::vector<int>>();
        f.hasText = j.at("has_text").get<bool>();
        auto text = FromHex(j.at("text").get<std::string>());
        f.damaged = j.at("damaged").get<bool>();
        auto rendered = FromHex(j.at("rendered").get<std::string>());
        if (!port || !label || label->size() != f.label.size() || !text || !rendered || index < 0 ||
            index > 255 || letter < 0 || letter > 255 || dateTime.size() != 5 || r.occurrence < 0)
            return std::nullopt;
        r.port = *port;
        std::memcpy(f.label.data(), label->data(), f.label.size());
        f.labelIndex = static_cast<uint8_t>(index);
        f.letterCode = static_cast<uint8_t>(letter);
        for (size_t i = 0; i < 5; ++i) {
            if (dateTime[i] < -1 || dateTime[i] > 255) return std::nullopt;
            f.dateTime[i] = static_cast<int16_t>(dateTime[i]);
        }
        f.text = *text;
        r.rendered = *rendered;
        return r;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

bool AppendPending(const std::string& file, const std::vector<PendingRecord>& records, std::string* error) {
    std::string bytes;
    for (const auto& r : records) bytes += PendingLine(r) + "\n";
    int fd = OpenLocked(file, O_WRONLY | O_CREAT | O_APPEND, true, error);
    if (fd < 0) return false;
    fchmod(fd, 0600);
    // A line cut by an earlier crash must not swallow the first of these.
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') bytes.insert(bytes.begin(), '\n');
    }
    bool ok = WriteFully(fd, bytes) && fsync(fd) == 0;
    if (!ok) *error = std::strerror(errno);
    close(fd);
    return ok;
}

std::unique_ptr<PendingTake> PendingTake::Open(const std::string& file, std::string* error) {
    error->clear();
    int fd = OpenLocked(file, O_RDWR, false, error);
    if (fd < 0) return nullptr;
    struct stat st {};
    fstat(fd, &st);
    if (st.st_size == 0) {
        // Nothing in it: gone, under the lock, so no append is lost.
        unlink(file.c_str());
        close(fd);
        return nullptr;
    }
    if (st.st_size > kMaxPendingBytes) {
        *error = "it is larger than " + std::to_string(kMaxPendingBytes >> 20) + " MB";
        close(fd);
        return nullptr;
    }
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != bytes.size()) {
        *error = std::strerror(errno ? errno : EIO);
        close(fd);
        return nullptr;
    }
    std::unique_ptr<PendingTake> take(new PendingTake());
    take->file_ = file;
    take->fd_ = fd;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        if (auto r = ParsePendingLine(line)) {
            take->records_.push_back(std::move(*r));
        } else {
            ++take->unreadable_;
            take->unreadableBytes_ += line + "\n";
        }
    }
    return take;
}

PendingTake::~PendingTake() {
    if (fd_ >= 0) close(fd_);
}

bool PendingTake::Done(std::string* error) {
    if (!unreadableBytes_.empty()) {
        int fd = open((file_ + "-unreadable").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 || !WriteFully(fd, unreadableBytes_) || fsync(fd) != 0) {
            *error = std::strerror(errno);
            if (fd >= 0) close(fd);
            return false;
        }
        close(fd);
    }
    // Removed while locked: an append waiting for the lock sees the path
    // gone and makes a new file.
    if (unlink(file_.c_str()) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    close(fd_);
    fd_ = -1;
    return true;
}

}  // namespace dialscope::history
