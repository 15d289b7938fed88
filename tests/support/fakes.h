// Recording fakes of the window and the serial port, for driving the core
// deterministically in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/call_log.h"
#include "protocol/interfaces.h"

namespace dialscope::testing {

class FakeWindow : public WindowOps {
public:
    void AppendStatusLine(std::string_view line) override { status.emplace_back(line); }
    void SetIndicator(bool on) override { indicatorRed = on; ++indicatorChanges; }
    void HideAnimation() override { ++hides; }
    void EnableTimer(Timer t, bool enabled) override {
        timers[static_cast<int>(t)] = enabled;
        timerLog.push_back({t, enabled});
    }
    void AppendToCallLog(const uint8_t* bytes, size_t count) override {
        log.Append(bytes, count);
        ++records;
    }
    bool timer(Timer t) const { return timers[static_cast<int>(t)]; }
    std::string logText() const { return log.Bytes(); }

    std::vector<std::string> status;
    bool indicatorRed = false;
    int indicatorChanges = 0;
    int hides = 0;
    bool timers[3] = {true, true, false};
    struct TimerEvent { Timer timer; bool enabled; };
    std::vector<TimerEvent> timerLog;
    CallLog log;
    int records = 0;
};

class FakeSerial : public SerialOps {
public:
    bool openPort(const char* name, uint32_t baud, bool parity, uint8_t byteSize,
                  uint8_t stopBits) override {
        opens.emplace_back(name);
        lastBaud = baud; lastParity = parity; lastByteSize = byteSize; lastStopBits = stopBits;
        if (portOpen) return false;
        if (!openSucceeds) return false;
        portOpen = true;
        return true;
    }
    bool writePort(const uint8_t* bytes, uint32_t count) override {
        if (!portOpen) { ++lostWrites; return false; }
        written.append(reinterpret_cast<const char*>(bytes), count);
        frames.emplace_back(reinterpret_cast<const char*>(bytes), count);
        return true;
    }
    bool closePort() override { ++closes; portOpen = false; return true; }

    // Command letters of the frames written, in order ("2D" ...).
    std::string commands() const {
        std::string s;
        for (const auto& f : frames) if (f.size() >= 3) s += f[2];
        return s;
    }
    void clearWritten() { written.clear(); frames.clear(); }

    bool portOpen = false;
    bool openSucceeds = true;
    std::vector<std::string> opens;
    uint32_t lastBaud = 0; bool lastParity = true; uint8_t lastByteSize = 0, lastStopBits = 9;
    std::string written;
    std::vector<std::string> frames;
    int closes = 0;
    int lostWrites = 0;
};

}  // namespace dialscope::testing
