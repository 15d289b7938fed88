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

namespace {

// A correct program's reaction to the frames of a download, frame by frame:
// it takes the header in the polling state, collects data frames in letter
// order, shows a record on its boundary frame and stops listening at the end
// frame. A record is shown exactly unless something went wrong around it.
//
// The device sends a download's frames back to back and never sends one
// twice, so anything between two intact frames long enough to have been a
// frame (a frame with a bad CRC, or six bytes of noise or more) is a gap. The intact frame after a gap decides what it cost, and
// text that arrived intact is always shown:
//  - A data frame in turn: appended; after a gap marked (the gap may have
//    held the record's boundary frame and as many of the next call's frames
//    as line the letters up), except a 'P' in turn as a sixteenth frame: see
//    below.
//  - A first data frame: begins the record; after a gap kRecordMayBeLostStatus
//    (a call with no text may have been lost). Not a 'P': marked, a miss.
//  - A 'P' out of turn, or in turn after a gap, with a record collected: the
//    collected text is shown under kUnknownHeader, marked, with a status line
//    saying what was seen; the 'P' begins a new record, marked.
//  - Any other letter out of turn: appended, marked, a miss; its letter is
//    the new place in the sequence. Three misses in a row give the download
//    up (the record is dropped, the program polls, the device sends it all
//    again).
//  - A boundary frame after a gap: marked; kDamageBeforeBoundaryStatus with
//    text collected, else kRecordMayBeLostStatus.
//  - The end frame, silence or a hang-up with text collected: the text under
//    kUnknownHeader first. A gap before the end frame with no text collected:
//    kRecordMayBeLostStatus.
// A marked record shows the text that arrived (or none) and then
// kShownDamagedLine, never "Tone only". Outside a download a frame with a
// bad CRC is simply ignored.
class ProgramModel {
public:
    void OnGap() {
        if (state_ == 2) pending_ = true;
    }
    void OnFrame(uint8_t command, const std::vector<uint8_t>& payload, bool crcGood) {
        if (ended_) return;
        if (!crcGood) return OnGap();
        if (state_ == 1) {
            if (command == 'D') {
                labels_ = {};
                ++headers_;
                for (size_t i = 8; i < payload.size() && i < kHeaderPayload; ++i)
                    labels_[(i - 8) / 8][(i - 8) % 8] = payload[i];
                DropRecord();
                pending_ = false;
                number_ = 0;
                misses_ = 0;
                state_ = 2;
            }
            return;
        }
        const bool data = command >= 0x50 && command <= 0x5F;
        if (stalled_ && (data || command == 'B' || command == 'E')) {
            stalled_ = false;
            Status(kResumedStatus);
        }
        const bool gap = pending_;
        if (data) {
            pending_ = false;
            if (!begun_) {
                if (gap) Status(kRecordMayBeLostStatus);
                Begin(command, payload);
                if (command != 'P') Miss(command);
                return;
            }
            if (command == 'P' && (command != expected_ || gap)) {
                ShowHeaderless(gap ? kHeaderlessAfterDamageStatus : kHeaderlessOutOfTurnStatus);
                Begin(command, payload);
                damaged_ = true;
                return;
            }
            Append(payload);
            if (gap) damaged_ = true;
            if (command == expected_) {
                InTurn(command);
            } else {
                Miss(command);
            }
        } else if (command == 'B' && !payload.empty()) {
            pending_ = false;
            if (gap) {
                damaged_ = true;
                Status(begun_ ? kDamageBeforeBoundaryStatus : kRecordMayBeLostStatus);
            }
            CallRecord r;
            std::vector<uint8_t> p = payload;
            p.resize(6, 0);
            r.label = p[0] & 7;
            r.letter = (p[0] >> 4) & 3;
            r.date = {p[1], p[2], p[3]};
            r.time = {p[4], p[5]};
            ++number_;
            r.text = text_;
            calls_.push_back({true, labels_[r.label], r, begun_, damaged_, headers_ - 1});
            if (damaged_) {
                std::string shown = RenderRecord(number_, labels_, r, true, text_);
                if (!begun_) shown.resize(shown.size() - 8);   // the header line alone: no "      \r\n"
                log_ += shown + kShownDamagedLine;
                ++damagedShown_;
            } else {
                log_ += RenderRecord(number_, labels_, r, begun_, text_);
            }
            ++shown_;
            DropRecord();
            misses_ = 0;
        } else if (command == 'E') {
            if (begun_) {
                ShowHeaderless(kHeaderlessAtEndStatus);
            } else if (gap) {
                Status(kRecordMayBeLostStatus);
            }
            pending_ = false;
            ended_ = true;
            status_.push_back(kReadOkStatus);
        }
    }
    // Whether a long silence now changes anything.
    bool SilenceMatters() const { return !ended_ && state_ == 2 && (begun_ || !stalled_); }
    // The program gives up on a begun record after about four silent seconds
    // (and shows what came of it); with none begun the download stalls and
    // goes on if the device sends again.
    void OnLongSilence() {
        if (!SilenceMatters()) return;
        if (begun_) {
            ShowHeaderless(kHeaderlessAtQuietStatus);
            Restart();
        } else {
            stalled_ = true;
            endedQuiet_ = true;
            status_.push_back(kStalledStatus);
        }
    }
    // The line went away: what was collected of a record is shown.
    void OnHangUp() {
        if (!ended_ && state_ == 2 && begun_) ShowHeaderless(kHeaderlessAtCutStatus);
    }
    int state() const { return state_; }
    bool ended() const { return ended_; }
    bool endedQuiet() const { return endedQuiet_; }
    const std::string& log() const { return log_; }
    const std::vector<std::string>& status() const { return status_; }
    int shown() const { return shown_; }
    int damagedShown() const { return damagedShown_; }
    int headerless() const { return headerless_; }
    const std::vector<Prediction::ShownCall>& calls() const { return calls_; }

private:
    void Status(const char* line) { status_.push_back(line); }
    void Begin(uint8_t letter, const std::vector<uint8_t>& payload) {
        DropRecord();
        Append(payload);
        InTurn(letter);
    }
    void Append(const std::vector<uint8_t>& payload) {
        begun_ = true;
        for (uint8_t b : payload)
            if (text_.size() < kMaxShownText) text_ += static_cast<char>(b);
    }
    void InTurn(uint8_t letter) {
        misses_ = 0;
        expected_ = letter >= '^' ? 'P' : letter + 1;
    }
    void Miss(uint8_t letter) {
        damaged_ = true;
        const int misses = misses_ + 1;
        InTurn(letter);
        misses_ = misses;
        if (misses_ == 3) {
            misses_ = 0;
            Restart();
        }
    }
    void ShowHeaderless(const char* why) {
        Status(why);
        char number[16];
        std::snprintf(number, sizeof number, "%2d. ", ++number_);
        std::string shown = std::string(number) + kUnknownHeader + "      ";
        for (char c : text_) shown += c == 0 ? ' ' : c;
        log_ += shown + "\r\n" + kShownDamagedLine;
        CallRecord r;
        r.text = text_;
        calls_.push_back({false, Label{}, r, true, true, headers_ - 1});
        ++shown_;
        ++damagedShown_;
        ++headerless_;
        DropRecord();
        misses_ = 0;
    }
    void Restart() {
        DropRecord();
        state_ = 1;   // and it polls with 'D', which the simulator answers after this download
    }
    void DropRecord() {
        begun_ = false;
        damaged_ = false;
        text_.clear();
    }

    int state_ = 1;
    bool begun_ = false;
    bool damaged_ = false;
    bool pending_ = false;
    bool ended_ = false;
    bool stalled_ = false;
    bool endedQuiet_ = false;
    std::string text_;
    uint8_t expected_ = 'P';
    int misses_ = 0;
    int number_ = 0;
    int shown_ = 0;
    int damagedShown_ = 0;
    int headerless_ = 0;
    int headers_ = 0;
    std::vector<Prediction::ShownCall> calls_;
    LabelSet labels_{};
    std::string log_;
    std::vector<std::string> status_;
};

}  // namespace

Prediction PredictProgramLog(const std::vector<DownloadFrame>& frames, const WirePlan& first,
                             const FaultOptions& faults) {
    Prediction p;
    if (faults.noiseUnsafe) {
        p.reason = "unsafe noise can make or break frames at random";
        return p;
    }
    ProgramModel model;
    bool hungUp = false;
    for (const WireItem& item : first.items) {
        if (item.kind == WireItem::Kind::kHangUp) {
            hungUp = true;
            model.OnHangUp();
            break;
        }
        if (item.kind == WireItem::Kind::kPause) {
            if (!model.SilenceMatters() || item.seconds <= kSilenceHarmless) continue;
            if (item.seconds < kSilenceRestart) {
                char why[160];
                std::snprintf(why, sizeof why,
                              "a silence of %.2f s within a download is too close to the program's 4 s time-out",
                              item.seconds);
                p.reason = why;
                return p;
            }
            model.OnLongSilence();
            continue;
        }
        // Noise between frames is a gap when it is long enough to have been
        // a frame (six bytes); a frame cut short by the hang-up never
        // reaches the program.
        if (item.frame < 0) {
            if (item.bytes.size() >= 6) model.OnGap();
            continue;
        }
        if (!item.whole) continue;
        model.OnFrame(item.command, frames[item.frame].frame.payload, item.crcGood);
    }
    if (!hungUp && !model.ended()) {
        // A record left begun times out, and so does a download whose end
        // frame was lost; in the polling state the program asks again and
        // the simulator sends the whole log once more.
        model.OnLongSilence();
        if (model.state() == 1) {
            p.secondDownload = true;
            for (const DownloadFrame& f : frames) model.OnFrame(f.frame.command, f.frame.payload, true);
        }
    }
    p.available = true;
    p.log = model.log();
    p.statusLines = model.status();
    p.readOk = model.ended();
    p.endedQuiet = model.endedQuiet();
    p.recordsShown = model.shown();
    p.recordsDamaged = model.damagedShown();
    p.recordsHeaderless = model.headerless();
    p.calls = model.calls();
    for (const std::string& line : p.statusLines) {
        p.recordsMaybeLost += line == kRecordMayBeLostStatus;
    }
    return p;
}

}  // namespace dialscope::devsim
