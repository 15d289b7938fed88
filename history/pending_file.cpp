#include "history/pending_file.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "history/file_system.h"

namespace dialscope::history {
namespace {

// Larger than any number of spills a user would let gather; a bigger file is
// not ours to read into memory.
constexpr int64_t kMaxPendingBytes = 256 << 20;

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
    auto locked = files::LockedFile::Open(file, files::LockedFile::Mode::Append, true, error);
    if (!locked) return false;
    // A line cut by an earlier crash must not swallow the first of these.
    const int64_t size = locked->Size();
    char last = '\n';
    std::string ignored;
    if (size > 0 && locked->ReadAt(size - 1, &last, 1, &ignored) && last != '\n') bytes.insert(bytes.begin(), '\n');
    return locked->AppendDurably(bytes, error);
}

std::unique_ptr<PendingTake> PendingTake::Open(const std::string& file, std::string* error) {
    error->clear();
    auto locked = files::LockedFile::Open(file, files::LockedFile::Mode::ReadWrite, false, error);
    if (!locked) return nullptr;
    const int64_t size = locked->Size();
    if (size == 0) {
        // Nothing in it: gone, under the lock, so no append is lost.
        std::string ignored;
        locked->RemoveLocked(&ignored);
        return nullptr;
    }
    if (size > kMaxPendingBytes) {
        *error = "it is larger than " + std::to_string(kMaxPendingBytes >> 20) + " MB";
        return nullptr;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!locked->ReadAt(0, bytes.data(), bytes.size(), error)) return nullptr;
    std::unique_ptr<PendingTake> take(new PendingTake());
    take->file_ = file;
    take->locked_ = std::move(locked);
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

PendingTake::~PendingTake() = default;

bool PendingTake::Done(std::string* error) {
    if (!unreadableBytes_.empty() && !files::AppendDurably(file_ + "-unreadable", unreadableBytes_, error))
        return false;
    // Removed while locked: an append waiting for the lock sees the path
    // gone and makes a new file.
    if (!locked_ || !locked_->RemoveLocked(error)) return false;
    locked_.reset();
    return true;
}

}  // namespace dialscope::history
