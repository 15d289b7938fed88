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
        // Any noise may be what is left of a frame that lost bytes, and
        // marks a record: no expected log.
        EXPECT_FALSE(PredictProgramLog(log, plan, noise).available);
    }
    // Unsafe noise does disturb the stream, and no prediction is offered.
    noise.noiseUnsafe = true;
    WirePlan plan;
    ASSERT_TRUE(PlanDownload(frames, noise, true, 3, &plan, nullptr));
    EXPECT_NE(ProgramParse(Wire(plan)), clean);
    EXPECT_FALSE(PredictProgramLog(log, plan, noise).available);
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
        return PredictProgramLog(log, plan, f);
    }
    CallLog log;
    std::vector<DownloadFrame> frames;
};

// A spoiled download gets no expected log, and says why; a fault that names
// no frame of the log is refused.
TEST_F(DevsimFaults, SpoiledDownloadsAreNotPredicted) {
    FaultOptions none;
    EXPECT_EQ(Predict(none).log, RenderDownload(log));
    FaultOptions badCrc, wrongLetter, silence, hangUp, noise;
    noise.noiseMax = 1;
    badCrc.badCrcFrame = 2;
    wrongLetter.wrongLetterFrame = 4;
    silence.silenceRecord = 1;
    silence.silenceAfter = 2;
    silence.silenceSeconds = 1;
    hangUp.hangupAfterByte = 100;
    const struct {
        const char* what;
        FaultOptions f;
        const char* reason;
    } cases[] = {
        {"bad CRC", badCrc, "wrong CRC"},
        {"wrong letter", wrongLetter, "out of turn"},
        {"silence", silence, "quiet"},
        {"hang-up", hangUp, "cut"},
        {"a byte of noise", noise, "lost bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Prediction p = Predict(c.f);
        EXPECT_FALSE(p.available);
        EXPECT_TRUE(p.log.empty());
        EXPECT_NE(p.reason.find(c.reason), std::string::npos) << p.reason;
    }
    FaultOptions notData;
    notData.wrongLetterFrame = 2;
    WirePlan plan;
    std::string error;
    EXPECT_FALSE(PlanDownload(frames, notData, true, 1, &plan, &error));
    EXPECT_NE(error.find("not a data frame"), std::string::npos);
    silence.silenceAfter = 5;   // record 1 has four data frames
    EXPECT_FALSE(PlanDownload(frames, silence, true, 1, &plan, nullptr));
}

TEST_F(DevsimFaults, HangUpCutsTheLine) {
    WirePlan plan;
    // Hang-up three bytes into record 1's first data frame.
    FaultOptions h;
    size_t upToB = 0;
    for (int i = 0; i <= 2; ++i) upToB += EncodeFrame(frames[i].frame).size();
    h.hangupAfterByte = static_cast<long long>(upToB + 3);
    ASSERT_TRUE(PlanDownload(frames, h, true, 1, &plan, nullptr));
    EXPECT_EQ(plan.bytes, upToB + 3);
    ASSERT_EQ(plan.items.back().kind, WireItem::Kind::kHangUp);
    EXPECT_FALSE(plan.items[plan.items.size() - 2].whole);
}

}  // namespace
}  // namespace dialscope::devsim
