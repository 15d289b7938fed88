#include <gtest/gtest.h>

#include <cstring>

#include "tools/devsim_wire.h"

namespace dialscope::devsim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
    Bytes out;
    for (int b : v) out.push_back(static_cast<uint8_t>(b));
    return out;
}

CallRecord Rec(uint8_t label, uint8_t letter, std::string text) {
    CallRecord r;
    r.label = label;
    r.letter = letter;
    r.date = {7, 15, 24};
    r.time = {9, 5};
    r.text = std::move(text);
    return r;
}

std::string Text(size_t n, char first) {
    std::string t;
    for (size_t i = 0; i < n; ++i) t += static_cast<char>(first + i % 23);
    return t;
}

// The receiving state machine as the program's frame parser works: one look
// at each byte, a third 0x7E in the command position is refused.
std::vector<Frame> ProgramParse(const Bytes& wire) {
    std::vector<Frame> frames;
    int state = 0;
    Frame f;
    size_t len = 0;
    for (uint8_t b : wire) {
        switch (state) {
        case 0: state = b == 0x7E ? 1 : 0; break;
        case 1: state = b == 0x7E ? 2 : 0; break;
        case 2:
            if (IsDeviceCommand(b)) {
                f = Frame{b, {}};
                state = 3;
            } else {
                state = 0;
            }
            break;
        case 3:
            len = b;
            state = len == 0 ? 5 : 4;
            break;
        case 4:
            f.payload.push_back(b);
            if (f.payload.size() == len) state = 5;
            break;
        case 5: state = 6; break;
        case 6:
            frames.push_back(f);
            state = 0;
            break;
        }
    }
    return frames;
}

Bytes Wire(const WirePlan& plan) {
    Bytes out;
    for (const WireItem& i : plan.items) out.insert(out.end(), i.bytes.begin(), i.bytes.end());
    return out;
}

TEST(DevsimWire, CrcAndCommandFrames) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(digits, 9), 0x31C3);
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Crc16(abc, 3), 0x9DD6);
    EXPECT_EQ(Crc16(nullptr, 0), 0);
    EXPECT_EQ(EncodeFrame(Frame{'D', {}}), B({0x7E, 0x7E, 0x44, 0x00, 0xC1, 0x08}));
    EXPECT_EQ(EncodeFrame(Frame{'2', {}}), B({0x7E, 0x7E, 0x32, 0x00, 0x63, 0xF7}));
    EXPECT_EQ(EncodeFrame(Frame{'1', {}}), B({0x7E, 0x7E, 0x31, 0x00, 0x36, 0xA4}));
    EXPECT_EQ(EncodeFrame(Frame{'0', {}}), B({0x7E, 0x7E, 0x30, 0x00, 0x05, 0x95}));
    EXPECT_EQ(EncodeFrame(Frame{'E', {}}), B({0x7E, 0x7E, 0x45, 0x00, 0xF2, 0x39}));
    EXPECT_EQ(EncodeFrame(Frame{'P', {0x7E}}), B({0x7E, 0x7E, 0x50, 0x01, 0x7E, 0xF2, 0xA6}));
    EXPECT_NE(EncodeFrame(Frame{'E', {}}, true), EncodeFrame(Frame{'E', {}}));
}

TEST(DevsimWire, DownloadFramesParseBack) {
    CallLog log;
    log.labels[2] = {'O', 'F', 'F', 'I', 'C', 'E', 0, 0};
    log.labels[7] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    std::string longText = Text(1200, 'A');   // 16 data frames: 15 full and one of 60
    longText[100] = 0x7E;
    longText[101] = 0x7E;
    longText[102] = 'P';
    log.records = {Rec(2, 1, "0123456789"), Rec(0, 3, ""), Rec(7, 2, longText)};

    const auto frames = BuildDownloadFrames(log);
    Bytes wire;
    for (const auto& f : frames) AppendFrame(&wire, f.frame);

    FrameScanner scanner(kMaxFramePayload, IsDeviceCommand);
    std::vector<FrameScanner::Scanned> got;
    scanner.Feed(wire.data(), wire.size(), &got);
    EXPECT_EQ(scanner.Skipped(), 0u);
    EXPECT_FALSE(scanner.MidFrame());
    ASSERT_EQ(got.size(), frames.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(got[i].crcOk) << i;
        EXPECT_EQ(got[i].frame, frames[i].frame) << i;
    }
    EXPECT_EQ(ProgramParse(wire).size(), frames.size());

    // Header: 72 bytes, labels from byte 8.
    ASSERT_EQ(got[0].frame.command, 'D');
    ASSERT_EQ(got[0].frame.payload.size(), 72u);
    EXPECT_EQ(Bytes(got[0].frame.payload.begin() + 24, got[0].frame.payload.begin() + 32),
              B({'O', 'F', 'F', 'I', 'C', 'E', 0, 0}));
    EXPECT_EQ(got[0].frame.payload[64], '1');
    // Record 0: one 'P' and the boundary frame of the worked example.
    EXPECT_EQ(got[1].frame, (Frame{'P', Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}}));
    EXPECT_EQ(got[2].frame, (Frame{'B', B({0x12, 0x07, 0x0F, 0x18, 0x09, 0x05})}));
    // Record 1 has no text: its boundary frame follows at once.
    EXPECT_EQ(got[3].frame, (Frame{'B', B({0x30, 7, 15, 24, 9, 5})}));
    // Record 2: letters P..^ then P again; the payloads join up to the text.
    std::string joined, letters;
    size_t i = 4;
    for (; got[i].frame.command != 'B'; ++i) {
        letters += static_cast<char>(got[i].frame.command);
        EXPECT_LE(got[i].frame.payload.size(), 76u);
        joined.append(got[i].frame.payload.begin(), got[i].frame.payload.end());
    }
    EXPECT_EQ(letters, "PQRSTUVWXYZ[\\]^P");
    EXPECT_EQ(joined, longText);
    EXPECT_EQ(got[i].frame.payload[0], 0x27);
    EXPECT_EQ(got.back().frame, (Frame{'E', {}}));

    // Smaller data frames when asked.
    const auto small = BuildDownloadFrames(log, 4);
    EXPECT_EQ(small[1].frame.payload, B({'0', '1', '2', '3'}));
    EXPECT_EQ(small[3].frame.payload, B({'8', '9'}));
}

TEST(DevsimWire, ScannerSkipsGarbageAndChecksCrc) {
    FrameScanner scanner(0, [](uint8_t c) { return c == '2' || c == 'D'; });
    Bytes in = B({0x00, 0x7E, 0x41, 0x7E, 0x7E, 0x7E, 0x32, 0x00, 0x63, 0xF7,   // extra sync kept
                  0x7E, 0x7E, 0x44, 0x01, 0x00,                               // length too big
                  0x7E, 0x7E, 0x44, 0x00, 0xC1, 0x09});                        // wrong CRC
    std::vector<FrameScanner::Scanned> got;
    scanner.Feed(in.data(), 7, &got);                 // split anywhere
    scanner.Feed(in.data() + 7, in.size() - 7, &got);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].frame.command, '2');
    EXPECT_TRUE(got[0].crcOk);
    EXPECT_EQ(got[1].frame.command, 'D');
    EXPECT_FALSE(got[1].crcOk);
}

TEST(DevsimWire, SafeNoiseNeverMakesOrBreaksAFrame) {
    const CallLog log = GenerateCallLog(25, 11);
    const auto frames = BuildDownloadFrames(log);
    std::vector<Frame> clean;
    size_t cleanBytes = 0;
    for (const auto& f : frames) {
        clean.push_back(f.frame);
        cleanBytes += EncodeFrame(f.frame).size();
    }
    FaultOptions noise;
    noise.noiseMax = 40;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        WirePlan plan;
        ASSERT_TRUE(PlanDownload(frames, noise, true, seed, &plan, nullptr));
        const Bytes wire = Wire(plan);
        EXPECT_GT(wire.size(), cleanBytes);
        EXPECT_EQ(ProgramParse(wire), clean) << "seed " << seed;
        FrameScanner scanner(kMaxFramePayload, IsDeviceCommand);
        std::vector<FrameScanner::Scanned> got;
        scanner.Feed(wire.data(), wire.size(), &got);
        EXPECT_GT(scanner.Skipped(), 0u);
        ASSERT_EQ(got.size(), clean.size());
        const Prediction p = PredictProgramLog(frames, plan, noise);
        ASSERT_TRUE(p.available);
        EXPECT_TRUE(p.readOk);
        // Every frame arrives; noise long enough to have been a frame may
        // mark the record it falls in, shorter noise changes nothing.
        std::string sent, shown;
        for (const auto& r : log.records) sent += r.text;
        for (const auto& call : p.calls) shown += call.record.text;
        EXPECT_EQ(shown, sent);
        FaultOptions shortNoise;
        shortNoise.noiseMax = 5;
        ASSERT_TRUE(PlanDownload(frames, shortNoise, true, seed, &plan, nullptr));
        EXPECT_EQ(PredictProgramLog(frames, plan, shortNoise).log, RenderDownload(log));
    }
    // Unsafe noise does disturb the stream, and no prediction is offered.
    noise.noiseUnsafe = true;
    WirePlan plan;
    ASSERT_TRUE(PlanDownload(frames, noise, true, 3, &plan, nullptr));
    EXPECT_NE(ProgramParse(Wire(plan)), clean);
    EXPECT_FALSE(PredictProgramLog(frames, plan, noise).available);
}

// Frames of the log used below:
//   0 D | 1 P (rec 0) | 2 B | 3 P 4 Q 5 R 6 S (rec 1) | 7 B | 8 B (rec 2, tone only) | 9 E
class DevsimFaults : public ::testing::Test {
protected:
    void SetUp() override {
        log.labels[0] = {'H', 'O', 'M', 'E', 0, 0, 0, 0};
        log.records = {Rec(0, 0, "hello"), Rec(0, 1, Text(300, 'a')), Rec(0, 2, "")};
        frames = BuildDownloadFrames(log);
        ASSERT_EQ(frames.size(), 10u);
    }
    Prediction Predict(const FaultOptions& f) {
        WirePlan plan;
        EXPECT_TRUE(PlanDownload(frames, f, true, 1, &plan, nullptr));
        return PredictProgramLog(frames, plan, f);
    }
    std::string R(int n, int rec, bool hasText, const std::string& text) {
        return RenderRecord(n, log.labels, log.records[rec], hasText, text);
    }
    CallLog log;
    std::vector<DownloadFrame> frames;
};

// What a damaged frame cost is decided by the intact frames after it: text
// that arrived is shown, marked where something may be missing; text whose
// boundary frame was lost stands under the unknown header.
TEST_F(DevsimFaults, BadCrcOrWrongLetterInsideARecord) {
    const std::string full = RenderDownload(log);
    const std::string& t1 = log.records[1].text;
    const std::string mayBe = kRecordMayBeLostStatus, cutShort = kDamageBeforeBoundaryStatus, ok = kReadOkStatus;
    // Record `rec` as number n, marked, with `text` (none: the header line alone).
    auto marked = [&](int n, int rec, const std::string& text) {
        std::string shown = R(n, rec, true, text);
        if (text.empty()) shown.resize(shown.size() - 8);
        return shown + kShownDamagedLine;
    };
    auto unknown = [&](int n, const std::string& text) {
        char number[8];
        std::snprintf(number, sizeof number, "%2d. ", n);
        return number + std::string(kUnknownHeader) + "      " + text + "\r\n" + kShownDamagedLine;
    };
    const struct {
        const char* what;
        int badCrc, wrongLetter;
        std::string log;
        std::vector<std::string> status;
        int damaged;
        bool second;
    } cases[] = {
        {"the only data frame lost: marked, never Tone only", 1, -1,
         marked(1, 0, "") + R(2, 1, true, t1) + R(3, 2, false, ""), {mayBe, ok}, 1, false},
        {"'Q' lost: 'R' out of turn is one miss; all the other text", 4, -1,
         R(1, 0, true, "hello") + marked(2, 1, t1.substr(0, 76) + t1.substr(152)) + R(3, 2, false, ""), {ok}, 1,
         false},
        {"the last data frame lost (or the boundary frame of a call before)", 6, -1,
         R(1, 0, true, "hello") + marked(2, 1, t1.substr(0, 228)) + R(3, 2, false, ""), {cutShort, ok}, 1, false},
        {"a boundary frame lost: its text under the unknown header, the next record marked", 2, -1,
         unknown(1, "hello") + marked(2, 1, t1) + R(3, 2, false, ""), {kHeaderlessAfterDamageStatus, ok}, 2, false},
        {"a tone-only record's boundary frame lost, before the end frame", 8, -1,
         R(1, 0, true, "hello") + R(2, 1, true, t1), {mayBe, ok}, 0, false},
        {"'hello' out of turn: a miss, kept, marked", -1, 1,
         marked(1, 0, "hello") + R(2, 1, true, t1) + R(3, 2, false, ""), {ok}, 1, false},
        {"'hello' out of turn and its boundary frame lost", 2, 1,
         unknown(1, "hello") + marked(2, 1, t1) + R(3, 2, false, ""), {kHeaderlessAfterDamageStatus, ok}, 2, false},
        {"the last data frame out of turn", -1, 6, R(1, 0, true, "hello") + marked(2, 1, t1) + R(3, 2, false, ""),
         {ok}, 1, false},
        {"a record's first frame out of turn: two misses, then in turn again", -1, 3,
         R(1, 0, true, "hello") + marked(2, 1, t1) + R(3, 2, false, ""), {ok}, 1, false},
        {"a record's first frame lost", 3, -1, R(1, 0, true, "hello") + marked(2, 1, t1.substr(76)) + R(3, 2, false, ""),
         {mayBe, ok}, 1, false},
        {"a middle frame out of turn, and the one after it", -1, 4,
         R(1, 0, true, "hello") + marked(2, 1, t1) + R(3, 2, false, ""), {ok}, 1, false},
        // Outside a download a bad frame is no lost record.
        {"the header lost: the program polls and gets it all", 0, -1, full, {ok}, 0, true},
        {"the end frame lost: the download stalls", 9, -1, full, {kStalledStatus}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FaultOptions f;
        f.badCrcFrame = c.badCrc;
        f.wrongLetterFrame = c.wrongLetter;
        const Prediction p = Predict(f);
        ASSERT_TRUE(p.available);
        EXPECT_EQ(p.log, c.log);
        EXPECT_EQ(p.statusLines, c.status);
        EXPECT_EQ(p.recordsDamaged, c.damaged);
        EXPECT_EQ(p.secondDownload, c.second);
        EXPECT_EQ(p.readOk, c.status.back() == ok);
        EXPECT_EQ(p.endedQuiet, c.status.back() == kStalledStatus);
        // The calls listed are the records shown: each intact one exactly
        // as the log shows it, numbered within its download.
        ASSERT_EQ(static_cast<int>(p.calls.size()), p.recordsShown);
        int damaged = 0;
        int numbers[2] = {0, 0};
        for (const auto& call : p.calls) {
            const int n = ++numbers[call.download];
            if (call.damaged || !call.headerKnown) {
                ++damaged;
                continue;
            }
            LabelSet labels{};
            labels[call.record.label & 7] = call.label;
            EXPECT_NE(p.log.find(RenderRecord(n, labels, call.record, call.hasText, call.record.text)),
                      std::string::npos);
        }
        EXPECT_EQ(damaged, c.damaged);
    }
    FaultOptions notData;
    notData.wrongLetterFrame = 2;
    WirePlan plan;
    std::string error;
    EXPECT_FALSE(PlanDownload(frames, notData, true, 1, &plan, &error));
    EXPECT_NE(error.find("not a data frame"), std::string::npos);
}

TEST_F(DevsimFaults, SilenceAndHangUp) {
    const std::string full = RenderDownload(log);
    FaultOptions f;
    f.silenceRecord = 1;
    f.silenceAfter = 2;
    f.silenceSeconds = 1.0;
    EXPECT_EQ(Predict(f).log, full);
    f.silenceSeconds = 4.0;
    EXPECT_FALSE(Predict(f).available);
    f.silenceSeconds = 6.0;
    Prediction p = Predict(f);
    ASSERT_TRUE(p.available);
    // What came of the record is shown before the program gives it up.
    char two[8];
    std::snprintf(two, sizeof two, "%2d. ", 2);
    const std::string cutAt152 =
        two + std::string(kUnknownHeader) + "      " + log.records[1].text.substr(0, 152) + "\r\n" + kShownDamagedLine;
    EXPECT_EQ(p.log, R(1, 0, true, "hello") + cutAt152 + full);
    EXPECT_EQ(p.statusLines, (std::vector<std::string>{kHeaderlessAtQuietStatus, kReadOkStatus}));

    WirePlan plan;
    f.silenceAfter = 5;   // record 1 has four data frames
    EXPECT_FALSE(PlanDownload(frames, f, true, 1, &plan, nullptr));

    // A record whose first data frame was lost has not begun: a long silence
    // after it stalls the download, and the frames that follow resume it.
    FaultOptions lostFirst;
    lostFirst.badCrcFrame = 1;
    lostFirst.silenceRecord = 0;
    lostFirst.silenceAfter = 1;
    lostFirst.silenceSeconds = 6.0;
    p = Predict(lostFirst);
    ASSERT_TRUE(p.available);
    std::string header = R(1, 0, true, "");
    header.resize(header.size() - 8);
    EXPECT_EQ(p.log, header + kShownDamagedLine + R(2, 1, true, log.records[1].text) + R(3, 2, false, ""));
    EXPECT_EQ(p.statusLines, (std::vector<std::string>{kStalledStatus, kResumedStatus, kRecordMayBeLostStatus,
                                                       kReadOkStatus}));
    EXPECT_TRUE(p.endedQuiet);
    EXPECT_TRUE(p.readOk);
    EXPECT_FALSE(p.secondDownload);

    // Hang-up three bytes into record 1's first data frame.
    FaultOptions h;
    size_t upToB = 0;
    for (int i = 0; i <= 2; ++i) upToB += EncodeFrame(frames[i].frame).size();
    h.hangupAfterByte = static_cast<long long>(upToB + 3);
    ASSERT_TRUE(PlanDownload(frames, h, true, 1, &plan, nullptr));
    EXPECT_EQ(plan.bytes, upToB + 3);
    ASSERT_EQ(plan.items.back().kind, WireItem::Kind::kHangUp);
    EXPECT_FALSE(plan.items[plan.items.size() - 2].whole);
    p = PredictProgramLog(frames, plan, h);
    EXPECT_EQ(p.log, R(1, 0, true, "hello"));
    EXPECT_FALSE(p.readOk);
    EXPECT_FALSE(p.secondDownload);
    EXPECT_TRUE(p.statusLines.empty());

    // Hang-up just after record 1's boundary frame, which went out damaged:
    // no intact frame follows to tell what it was; the record's text is
    // shown under the unknown header when the line goes.
    h.badCrcFrame = 7;
    h.hangupAfterByte = 0;
    for (int i = 0; i <= 7; ++i) h.hangupAfterByte += static_cast<long long>(EncodeFrame(frames[i].frame).size());
    ASSERT_TRUE(PlanDownload(frames, h, true, 1, &plan, nullptr));
    p = PredictProgramLog(frames, plan, h);
    EXPECT_EQ(p.log, R(1, 0, true, "hello") + two + kUnknownHeader + "      " + log.records[1].text + "\r\n" +
                         kShownDamagedLine);
    EXPECT_EQ(p.statusLines, std::vector<std::string>{kHeaderlessAtCutStatus});
    EXPECT_FALSE(p.readOk);
}

}  // namespace
}  // namespace dialscope::devsim
