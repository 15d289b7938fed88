// The program behind every face: the serial port, the protocol, the port
// list with its device-change handling, the connection supervisor, the
// device events, and the call log with Clear and Save. A face (the Qt
// window, the Win32 window, a test driver) builds its view, wakes when Core
// asks it to and hands it the time, its clicks and device events, and shows
// what Core tells it to.
// Main thread only, apart from the receive thread inside the serial port.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core_events.h"
#include "app/timer_table.h"
#include "record/call_store.h"
#include "app/view.h"
#include "ports/device_change.h"
#include "ports/device_event.h"
#include "ports/device_events.h"
#include "ports/port_list.h"
#include "ports/registry_reader.h"
#include "ports/supervisor.h"
#include "protocol/call_log.h"
#include "protocol/interfaces.h"
#include "protocol/protocol.h"
#include "serial/serial_port.h"

namespace dialscope {

// The status box's first line.
inline constexpr char kBanner[] = "Dialscope V1.3";

// What Core needs of the system it runs on.
struct Platform {
    // The registry view the port scans read.
    RegistryFactory registry;
    // Where adapters coming and going are heard of.
    std::unique_ptr<DeviceEventSource> deviceEvents;
    // The modal "Port Is Already Opened!" box: text, caption.
    SerialPort::WarningBox warningBox;
    // The clock the timers run on; the steady clock when empty.
    TimerTable::NowFn clock;
};

// The system's registry view and device events. `window` is the window that
// receives device messages where the system sends them (Windows), else null.
Platform SystemPlatform(void* window, SerialPort::WarningBox warningBox);

class Core final : private WindowOps {
public:
    Core(View& view, Platform platform);
    ~Core() override;
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Start-up: port discovery (a registry error escapes to the caller), the
    // protocol tick and the supervisor, polling, the banner.
    void Start();

    // The clock: when the face must next call RunDue (none: no timer runs;
    // View::WakeAt says the same whenever it changes), and the bodies of
    // the timers due at now. ready: see TimerTable::RunDue.
    std::optional<TimerTable::TimePoint> NextDue() const { return timers_.NextDue(); }
    void RunDue(TimerTable::TimePoint now, const std::function<bool(Timer)>& ready = {}) {
        timers_.RunDue(now, ready);
    }
    // What is due now by Core's clock (Platform::clock): a face's wake-up.
    void RunDue() { timers_.RunDue(timers_.Now()); }
    bool timerRunning(Timer timer) const { return timers_.enabled(timer); }

    // The bodies of the three timers.
    void ComTick();
    void WatchSerialTick() { supervisor_.Tick(); }
    void AnimationTick();

    // Device events: the face watches deviceEventFd() (readable = events
    // waiting; -1 when events come as window messages) and hands each event
    // from ReadDeviceEvents() to DeviceChange. A registry error escapes.
    int deviceEventFd() const;
    std::vector<DeviceEvent> ReadDeviceEvents();
    int DeviceChange(const DeviceEvent& event);

    // The console's --port: the supervisor stays out, and the named port is
    // opened and polled as the supervisor would. False when it cannot be
    // opened; a PortOpenFailed event has then said why.
    bool UsePort(const std::string& name);
    // Looks for an adapter again as after a device change (the console's
    // periodic download). Does nothing while a port is open, unless the
    // download on it has stalled: that port is closed first.
    void LookAgain();

    // "&Clear": the log emptied. "&Save": appends text (the log as it stood
    // when the user asked; by default as it stands) to fileName, with its
    // status lines; true when saved.
    void Clear();
    bool Save(const std::string& fileName, const std::string& text);
    bool Save(const std::string& fileName) { return Save(fileName, log_.Bytes()); }
    const CallLog& callLog() const { return log_; }

    // From now on listener hears every event (core_events.h), in the order
    // of subscription; a record is in the log and the store before its
    // event, and a download's end comes after its status lines.
    void Subscribe(CoreListener listener) { listeners_.push_back(std::move(listener)); }
    // Every download and record also goes to store (may be null); the store
    // must outlive the core or be detached first.
    void AttachStore(CallStore* store) { store_ = store; }

    // What the protocol and the port logic call to act on the program (the
    // status box, the indicator, the timers, the call log, download events);
    // tests drive a face through it.
    WindowOps& programOps() { return *this; }

    SerialPort& serial() { return serial_; }
    const SerialPort& serial() const { return serial_; }
    Protocol& protocol() { return protocol_; }
    const Protocol& protocol() const { return protocol_; }
    PortList& ports() { return ports_; }
    DeviceMonitor& monitor() { return monitor_; }
    const Supervisor& supervisor() const { return supervisor_; }

private:
    // What the protocol and the port logic do to the program.
    void AppendStatusLine(std::string_view line) override { view_.ShowStatusLine(line); }
    void SetIndicator(bool on) override { view_.SetIndicator(on); }
    void HideAnimation() override { view_.HideAnimation(); }
    void EnableTimer(Timer timer, bool enabled) override { timers_.Enable(timer, enabled); }
    void AppendToCallLog(const uint8_t* bytes, size_t count) override;
    void RecordOutput(const CallRecord& record, std::string_view rendered) override;
    void DownloadStarted() override;
    void DownloadEnded(DownloadEnd how) override;
    void DeviceAnswered() override { Emit(event::DeviceAnswered{}); }
    void PortOpened(std::string_view port) override { Emit(event::PortOpened{std::string(port)}); }
    void PortOpenFailed(std::string_view port, int error, bool explained) override;
    void NoDeviceAnswered() override { Emit(event::NoDeviceAnswered{}); }
    void ShowStoreProblems();
    void Emit(const CoreEvent& e);
    // The names of the present adapters' ports.
    std::vector<std::string> PresentPorts() const;
    // Says which adapters came and went since `before`.
    void EmitAdapterChanges(const std::vector<std::string>& before);

    View& view_;
    Platform platform_;
    TimerTable timers_;
    CallLog log_;
    SerialPort serial_;
    Protocol protocol_;
    PortList ports_;
    Supervisor supervisor_;
    DeviceMonitor monitor_;
    // Where the "Transferring" animation stands (see AnimationStep).
    int32_t animStep_ = 0;
    std::vector<CoreListener> listeners_;
    CallStore* store_ = nullptr;
    std::string fixedPort_;
};

}  // namespace dialscope
