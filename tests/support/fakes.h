// The fakes of everything around the program, for tests, fuzz targets and
// benches alike: the window operations the protocol uses, the serial port,
// the received bytes, the view Core shows through, and a device-event source.
//
// By default FakeWindow and FakeSerial record what they are told, for tests
// to read back. With `recording` off they only count, and hand each status
// line, record and written frame to the hooks (when set): nothing is
// allocated per tick, which the fuzz target's speed and the benches'
// allocation counts rely on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/view.h"
#include "ports/device_events.h"
#include "ports/supervisor.h"
#include "protocol/call_log.h"
#include "protocol/interfaces.h"
#include "serial/rx_ring.h"

namespace dialscope::testing {

struct TimerEvent {
    Timer timer;
    bool enabled;
};

class FakeWindow : public WindowOps {
public:
    void AppendStatusLine(std::string_view line) override {
        ++statusLines;
        if (onStatus) onStatus(line);
        if (recording) status.emplace_back(line);
    }
    void SetIndicator(bool on) override { indicatorRed = on; ++indicatorChanges; }
    void HideAnimation() override { ++hides; }
    void EnableTimer(Timer t, bool enabled) override {
        timers[static_cast<int>(t)] = enabled;
        if (recording) timerLog.push_back({t, enabled});
    }
    void AppendToCallLog(const uint8_t* bytes, size_t count) override {
        ++records;
        if (onRecord) onRecord(bytes, count);
        if (recording) log.Append(bytes, count);
    }
    void DownloadStarted() override { ++downloadsStarted; }
    void DownloadEnded(DownloadEnd how) override { ++downloadsEnded; lastEnd = how; }

    bool timer(Timer t) const { return timers[static_cast<int>(t)]; }
    std::string logText() const { return log.Bytes(); }

    bool recording = true;
    std::function<void(std::string_view)> onStatus;
    std::function<void(const uint8_t*, size_t)> onRecord;

    std::vector<std::string> status;
    int statusLines = 0;
    bool indicatorRed = false;
    int indicatorChanges = 0;
    int hides = 0;
    bool timers[3] = {true, true, false};
    std::vector<TimerEvent> timerLog;
    CallLog log;
    int records = 0;
    int downloadsStarted = 0, downloadsEnded = 0;
    DownloadEnd lastEnd = DownloadEnd::Completed;
};

class FakeSerial : public SerialOps {
public:
    bool openPort(const char* name, uint32_t baud, bool parity, uint8_t byteSize,
                  uint8_t stopBits) override {
        ++openCalls;
        if (onOpen) onOpen(name);
        if (recording) opens.emplace_back(name);
        lastBaud = baud; lastParity = parity; lastByteSize = byteSize; lastStopBits = stopBits;
        if (portOpen) return false;
        if (!openSucceeds) return false;
        portOpen = true;
        return true;
    }
    bool writePort(const uint8_t* bytes, uint32_t count) override {
        if (onWrite) onWrite(bytes, count);
        if (!portOpen) { ++lostWrites; return false; }
        ++writes;
        if (recording) {
            written.append(reinterpret_cast<const char*>(bytes), count);
            frames.emplace_back(reinterpret_cast<const char*>(bytes), count);
        }
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

    bool recording = true;
    std::function<void(const char*)> onOpen;
    std::function<void(const uint8_t*, uint32_t)> onWrite;

    bool portOpen = false;
    bool openSucceeds = true;
    size_t openCalls = 0;
    std::vector<std::string> opens;
    uint32_t lastBaud = 0; bool lastParity = true; uint8_t lastByteSize = 0, lastStopBits = 9;
    std::string written;
    std::vector<std::string> frames;
    size_t writes = 0;
    int closes = 0;
    int lostWrites = 0;
};

// Received bytes on a real receive ring, which the test fills from the
// receive thread's side (on its own thread or between ticks).
class FakeLine : public ReceivedBytes {
public:
    // Bytes stored as the receive thread stores them, then the flag raised.
    void Receive(std::string_view bytes) {
        for (char c : bytes) ring.Store(static_cast<uint8_t>(c));
        ring.RaisePending();
    }
    bool TakePending() override { return ring.TakePending(); }
    int32_t Unread() const override { return ring.Unread(); }
    bool Next(uint8_t& byte) override {
        if (!ring.Next(byte)) return false;
        ++taken;
        return true;
    }
    void DropUnread() override { ring.DropUnread(); }

    RxRing ring;
    uint64_t taken = 0;  // bytes read so far (the consumer's thread only)
};

// The supervisor's search as the device-change step sees it: the port it
// names, and each restart recorded (true: the port in use was just closed).
class FakeSearch final : public PortSearch {
public:
    std::string portName() const override { return name; }
    void Restart(bool portClosed) override { restarts.push_back(portClosed); }
    std::string name;
    std::vector<bool> restarts;
};

// What Core shows, recorded.
class FakeView : public View {
public:
    void ShowStatusLine(std::string_view line) override { status.emplace_back(line); }
    void SetIndicator(bool on) override { indicatorRed = on; ++indicatorChanges; }
    void HideAnimation() override { ++hides; frameShown = -1; }
    void ShowAnimationFrame(AnimationFrame frame) override { frameShown = frame.show; ++frames; }
    void WakeAt(std::optional<std::chrono::steady_clock::time_point> when) override {
        wakeAt = when;
        ++wakes;
    }
    void ShowLogAppended(const CallLog& log, size_t count) override {
        ++records;
        shownBytes += count;
        (void)log;
    }
    void ShowLogCleared() override { ++clears; shownBytes = 0; }

    std::vector<std::string> status;
    bool indicatorRed = false;
    int indicatorChanges = 0;
    int hides = 0;
    int frameShown = -1;   // the "Transferring" label shown, -1 for none
    int frames = 0;
    std::optional<std::chrono::steady_clock::time_point> wakeAt;  // as Core last said
    int wakes = 0;
    int records = 0;
    size_t shownBytes = 0;
    int clears = 0;
};

// A device-event source that hears of nothing unless told: Push() queues
// events for ReadEvents(). `onRegister` runs when the port logic registers
// (during start-up's port discovery), for tests of what happens before it.
class FakeDeviceEvents : public DeviceEventSource {
public:
    explicit FakeDeviceEvents(uint8_t family = kFamilyNt) : family_(family) {}
    uint8_t PlatformFamily() override { return family_; }
    bool Register(uint8_t family) override {
        ++registrations;
        registeredFamily = family;
        if (onRegister) onRegister();
        return registerSucceeds;
    }
    std::vector<DeviceEvent> ReadEvents() override {
        std::vector<DeviceEvent> out;
        out.swap(queued);
        return out;
    }
    void Push(const DeviceEvent& event) { queued.push_back(event); }

    bool registerSucceeds = true;
    int registrations = 0;
    uint8_t registeredFamily = kFamilyNone;
    std::function<void()> onRegister;
    std::vector<DeviceEvent> queued;

private:
    uint8_t family_;
};

}  // namespace dialscope::testing
