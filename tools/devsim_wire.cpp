#include "tools/devsim_wire.h"

#include <cstdio>

namespace dialscope::devsim {

uint16_t Crc16(const uint8_t* bytes, size_t count, uint16_t crc) {
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

void AppendFrame(std::vector<uint8_t>* out, const Frame& frame, bool corruptCrc) {
    out->push_back(0x7E);
    out->push_back(0x7E);
    size_t body = out->size();
    out->push_back(frame.command);
    out->push_back(static_cast<uint8_t>(frame.payload.size()));
    out->insert(out->end(), frame.payload.begin(), frame.payload.end());
    uint16_t crc = Crc16(out->data() + body, out->size() - body);
    if (corruptCrc) crc ^= 0x00A5;
    out->push_back(static_cast<uint8_t>(crc >> 8));
    out->push_back(static_cast<uint8_t>(crc & 0xFF));
}

std::vector<uint8_t> EncodeFrame(const Frame& frame, bool corruptCrc) {
    std::vector<uint8_t> out;
    AppendFrame(&out, frame, corruptCrc);
    return out;
}

std::vector<DownloadFrame> BuildDownloadFrames(const CallLog& log, size_t maxDataPayload) {
    if (maxDataPayload == 0 || maxDataPayload > kMaxFramePayload) maxDataPayload = kMaxFramePayload;
    std::vector<DownloadFrame> frames;

    DownloadFrame header;
    header.frame.command = 'D';
    header.frame.payload.assign(kHeaderPayload, 0);   // bytes 0..7: nothing the program reads
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 8; ++i) header.frame.payload[8 + 8 * k + i] = log.labels[k][i];
    frames.push_back(std::move(header));

    for (size_t r = 0; r < log.records.size(); ++r) {
        const CallRecord& rec = log.records[r];
        uint8_t letter = 'P';
        int index = 0;
        for (size_t at = 0; at < rec.text.size(); at += maxDataPayload) {
            size_t n = std::min(maxDataPayload, rec.text.size() - at);
            DownloadFrame d;
            d.frame.command = letter;
            d.frame.payload.assign(rec.text.begin() + at, rec.text.begin() + at + n);
            d.record = static_cast<int>(r);
            d.dataIndex = index++;
            frames.push_back(std::move(d));
            letter = letter == '^' ? 'P' : letter + 1;   // 15 letters in rotation, never '_'
        }
        DownloadFrame b;
        b.frame.command = 'B';
        b.frame.payload = {static_cast<uint8_t>((rec.label & 0x0F) | ((rec.letter & 3) << 4)),
                           rec.date[0], rec.date[1], rec.date[2], rec.time[0], rec.time[1]};
        b.record = static_cast<int>(r);
        frames.push_back(std::move(b));
    }

    DownloadFrame end;
    end.frame.command = 'E';
    frames.push_back(std::move(end));
    return frames;
}

bool IsDeviceCommand(uint8_t c) {
    return c == '0' || c == '1' || c == 'B' || c == 'D' || c == 'E' || (c >= 0x50 && c <= 0x5F);
}

void FrameScanner::Feed(const uint8_t* bytes, size_t count, std::vector<Scanned>* out) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t b = bytes[i];
        switch (state_) {
        case State::kHunt:
            if (b == 0x7E) state_ = State::kSync;
            else ++skipped_;
            break;
        case State::kSync:
            if (b == 0x7E) {
                state_ = State::kCommand;
            } else {
                skipped_ += 2;
                state_ = State::kHunt;
            }
            break;
        case State::kCommand:
            if (b == 0x7E) {
                ++skipped_;                  // keep the last two sync bytes
            } else if (accept_(b)) {
                frame_.command = b;
                frame_.payload.clear();
                state_ = State::kLength;
            } else {
                skipped_ += 3;
                state_ = State::kHunt;
            }
            break;
        case State::kLength:
            if (b > maxPayload_) {
                skipped_ += 4;
                state_ = State::kHunt;
            } else {
                want_ = b;
                state_ = b == 0 ? State::kCrcHigh : State::kPayload;
            }
            break;
        case State::kPayload:
            frame_.payload.push_back(b);
            if (frame_.payload.size() == want_) state_ = State::kCrcHigh;
            break;
        case State::kCrcHigh:
            crcHigh_ = b;
            state_ = State::kCrcLow;
            break;
        case State::kCrcLow: {
            uint8_t head[2] = {frame_.command, static_cast<uint8_t>(frame_.payload.size())};
            uint16_t crc = Crc16(head, 2);
            crc = Crc16(frame_.payload.data(), frame_.payload.size(), crc);
            out->push_back({frame_, crc == ((crcHigh_ << 8) | b)});
            state_ = State::kHunt;
            break;
        }
        }
    }
}

// ---------------------------------------------------------------- faults

namespace {

// Noise between frames. Safe noise never holds two 0x7E in a row, never a
// command letter one or two bytes after a 0x7E, and never ends on a 0x7E, so
// whatever way a receiver hunts for the sync pair, it is back to hunting when
// the next frame's first sync byte comes. Unsafe noise now
// and then carries a sync pair and a command byte a receiver accepts.
std::vector<uint8_t> MakeNoise(Rng& rng, size_t count, bool unsafe) {
    std::vector<uint8_t> noise;
    for (size_t i = 0; i < count; ++i) {
        uint8_t b = rng.Below(8) == 0 ? 0x7E : static_cast<uint8_t>(rng.Below(256));
        const size_t n = noise.size();
        if (!unsafe && b == 0x7E && n > 0 && noise.back() == 0x7E) b = static_cast<uint8_t>(rng.Below(0x7E));
        // Nor a command letter one or two bytes after a 7E: a receiver may
        // take that for a frame whose sync byte was damaged.
        if (!unsafe && IsDeviceCommand(b) && ((n > 0 && noise[n - 1] == 0x7E) || (n > 1 && noise[n - 2] == 0x7E)))
            b = static_cast<uint8_t>(rng.Below(0x30));
        noise.push_back(b);
    }
    if (unsafe && count >= 3 && rng.Below(4) == 0) {
        static constexpr uint8_t kCommands[] = {'0', '1', 'B', 'D', 'E', 'P', 'Q', '_'};
        size_t at = rng.Below(static_cast<uint32_t>(count - 2));
        noise[at] = noise[at + 1] = 0x7E;
        noise[at + 2] = kCommands[rng.Below(std::size(kCommands))];
    }
    if (!unsafe && !noise.empty() && noise.back() == 0x7E) noise.back() = static_cast<uint8_t>(rng.Below(0x7E));
    return noise;
}

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

}  // namespace

bool PlanDownload(const std::vector<DownloadFrame>& frames, const FaultOptions& faults, bool withFaults,
                  uint64_t noiseSeed, WirePlan* plan, std::string* error) {
    const int count = static_cast<int>(frames.size());
    if (withFaults) {
        if (faults.badCrcFrame >= count)
            return Fail(error, "bad-CRC frame " + std::to_string(faults.badCrcFrame) + " is past the last frame (" +
                                   std::to_string(count - 1) + ")");
        if (faults.wrongLetterFrame >= 0 &&
            (faults.wrongLetterFrame >= count || frames[faults.wrongLetterFrame].dataIndex < 0))
            return Fail(error, "wrong-letter frame " + std::to_string(faults.wrongLetterFrame) + " is not a data frame");
        if (faults.silenceRecord >= 0) {
            int dataFrames = 0;
            for (const DownloadFrame& f : frames)
                if (f.record == faults.silenceRecord && f.dataIndex >= 0) ++dataFrames;
            if (faults.silenceAfter < 1 || faults.silenceAfter > dataFrames)
                return Fail(error, "record " + std::to_string(faults.silenceRecord) + " has " +
                                       std::to_string(dataFrames) + " data frames; silence after frame " +
                                       std::to_string(faults.silenceAfter) + " is not possible");
        }
    }

    Rng noiseRng(noiseSeed);
    Rng faultRng(faults.seed ^ 0xBADC0FFEE0DDF00Dull);
    WirePlan out;
    for (int i = 0; i < count; ++i) {
        const DownloadFrame& df = frames[i];
        if (i > 0 && faults.noiseMax > 0) {
            size_t n = noiseRng.Below(static_cast<uint32_t>(faults.noiseMax) + 1);
            if (n > 0) {
                WireItem noise;
                noise.bytes = MakeNoise(noiseRng, n, faults.noiseUnsafe);
                out.items.push_back(std::move(noise));
            }
        }
        Frame sent = df.frame;
        bool badCrc = false;
        if (withFaults) {
            bool drawn = faults.badCrcRate > 0 && faultRng.Unit() < faults.badCrcRate;
            badCrc = drawn || i == faults.badCrcFrame;
            if (i == faults.wrongLetterFrame) sent.command = sent.command == '^' ? 'P' : sent.command + 1;
        }
        WireItem item;
        item.bytes = EncodeFrame(sent, badCrc);
        item.frame = i;
        item.crcGood = !badCrc;
        item.command = sent.command;
        out.items.push_back(std::move(item));
        if (withFaults && faults.silenceRecord >= 0 && df.record == faults.silenceRecord &&
            df.dataIndex == faults.silenceAfter - 1) {
            WireItem pause;
            pause.kind = WireItem::Kind::kPause;
            pause.seconds = faults.silenceSeconds;
            out.items.push_back(std::move(pause));
        }
    }

    if (withFaults && faults.hangupAfterByte >= 0) {
        size_t budget = static_cast<size_t>(faults.hangupAfterByte);
        std::vector<WireItem> cut;
        for (WireItem& item : out.items) {
            if (item.kind != WireItem::Kind::kBytes) {
                cut.push_back(std::move(item));
                continue;
            }
            if (budget == 0) break;
            if (item.bytes.size() > budget) {
                item.bytes.resize(budget);
                item.whole = false;
            }
            budget -= item.bytes.size();
            cut.push_back(std::move(item));
        }
        // A pause after the last byte sent would only delay the hang-up.
        while (!cut.empty() && cut.back().kind == WireItem::Kind::kPause) cut.pop_back();
        WireItem hangup;
        hangup.kind = WireItem::Kind::kHangUp;
        cut.push_back(std::move(hangup));
        out.items = std::move(cut);
    }

    for (const WireItem& item : out.items) out.bytes += item.bytes.size();
    *plan = std::move(out);
    return true;
}

// ---------------------------------------------------------------- prediction

Prediction PredictProgramLog(const CallLog& log, const WirePlan& first, const FaultOptions& faults) {
    Prediction p;
    if (faults.noiseUnsafe) p.reason = "unsafe noise can make or break frames at random";
    else if (faults.hangupAfterByte >= 0) p.reason = "the line is cut during the download";
    else if (faults.silenceRecord >= 0) p.reason = "the box goes quiet during the download";
    else if (faults.badCrcRate > 0 || faults.badCrcFrame >= 0) p.reason = "frames are sent with a wrong CRC";
    else if (faults.wrongLetterFrame >= 0) p.reason = "a data frame is sent out of turn";
    for (const WireItem& item : first.items)
        if (p.reason.empty() && item.frame < 0 && !item.bytes.empty())
            p.reason = "noise between frames may be what is left of a frame that lost bytes";
    if (!p.reason.empty()) {
        p.reason = "a spoiled download is judged by its properties, not predicted (" + p.reason + ")";
        return p;
    }
    p.available = true;
    p.log = RenderDownload(log);
    return p;
}

}  // namespace dialscope::devsim
