#include "app/core.h"

#include "app/save_log.h"

#include <algorithm>

namespace dialscope {

Platform SystemPlatform(void* window, SerialPort::WarningBox warningBox) {
    Platform platform;
    platform.registry = MakeSystemRegistryFactory();
    platform.deviceEvents = MakeDeviceEventSource(window);
    platform.warningBox = std::move(warningBox);
    return platform;
}

Core::Core(View& view, Platform platform)
    : view_(view),
      platform_(std::move(platform)),
      timers_(platform_.clock, [this] { view_.WakeAt(timers_.NextDue()); }),
      serial_(platform_.warningBox),
      protocol_(serial_, *this, serial_),
      supervisor_(ports_, serial_, *this, protocol_, [this] { return serial_.lastOpenErrno(); },
                  [this] { return serial_.portOpen(); }),
      monitor_(ports_, platform_.registry, supervisor_, serial_, *this) {
    timers_.SetBody(Timer::time_com, [this] { ComTick(); });
    timers_.SetBody(Timer::watch_serial, [this] { WatchSerialTick(); });
    timers_.SetBody(Timer::AutoDisp, [this] { AnimationTick(); });
}

Core::~Core() = default;

void Core::Start() {
    // Port discovery first: a registry error ends start-up before anything
    // runs.
    if (platform_.deviceEvents) monitor_.StartPortDiscovery(*platform_.deviceEvents);
    EmitAdapterChanges({});
    // The protocol tick first, then the supervisor.
    timers_.Enable(Timer::time_com, true);
    timers_.Enable(Timer::watch_serial, true);
    protocol_.BeginPolling();
    // No "Transferring" label until a download starts.
    view_.HideAnimation();
    view_.ShowStatusLine(kBanner);
}

void Core::ComTick() {
    protocol_.ComTick();
    if (store_) {
        store_->Tick();
        ShowStoreProblems();
    }
}

void Core::AnimationTick() {
    timers_.Enable(Timer::AutoDisp, false);
    view_.ShowAnimationFrame(AnimationStep(animStep_));
    timers_.Enable(Timer::AutoDisp, true);
}

int Core::deviceEventFd() const {
    return platform_.deviceEvents ? platform_.deviceEvents->fd() : -1;
}

std::vector<DeviceEvent> Core::ReadDeviceEvents() {
    if (!platform_.deviceEvents) return {};
    return platform_.deviceEvents->ReadEvents();
}

int Core::DeviceChange(const DeviceEvent& event) {
    const bool wasOpen = serial_.portOpen();
    const std::vector<std::string> before = PresentPorts();
    const int result = monitor_.OnWindowMessage(event);
    // A removal closed the port, perhaps under a download (or a download's
    // header still unread in the ring).
    if ((wasOpen || protocol_.downloading()) && !serial_.portOpen()) protocol_.LineClosed();
    if (result != kNoDeviceChange) EmitAdapterChanges(before);
    return result;
}

bool Core::UsePort(const std::string& name) {
    timers_.Enable(Timer::watch_serial, false);
    fixedPort_ = name;
    if (!serial_.openPort(name.c_str(), kLineBaudRate, false, 8, 0)) {
        PortOpenFailed(name, serial_.lastOpenErrno(), false);
        return false;
    }
    PortOpened(name);
    protocol_.StartOnNewLine();
    return true;
}

void Core::LookAgain() {
    if (serial_.portOpen()) {
        if (!protocol_.stalled()) return;
        // A download that stalled keeps its port open for what the box may
        // still send; the next download is worth more than that.
        serial_.closePort();
        protocol_.LineClosed();
    }
    supervisor_.Restart(false);
}

void Core::Clear() {
    log_.Clear();
    view_.ShowLogCleared();
}

bool Core::Save(const std::string& fileName, const std::string& text) {
    view_.ShowStatusLine("Save info to: " + fileName);
    const bool ok = AppendTextToFile(text, fileName);
    view_.ShowStatusLine(ok ? "Save info OK." : "save info error.");
    return ok;
}

void Core::AppendToCallLog(const uint8_t* bytes, size_t count) {
    log_.Append(bytes, count);
    view_.ShowLogAppended(log_, count);
}

void Core::RecordOutput(const CallRecord& record, std::string_view rendered) {
    if (store_) store_->RecordOutput(record, rendered);
    Emit(event::RecordOutput{record, rendered});
}

void Core::DownloadStarted() {
    std::string port = !fixedPort_.empty() ? fixedPort_ : supervisor_.portName();
    if (store_) store_->DownloadStarted(port);
    Emit(event::DownloadStarted{std::move(port)});
}

void Core::DownloadEnded(DownloadEnd how) {
    if (store_) {
        const std::string summary = store_->DownloadEnded(how);
        if (!summary.empty()) view_.ShowStatusLine(summary);
        ShowStoreProblems();
    }
    Emit(event::DownloadEnded{how, protocol_.callMayBeLost(), protocol_.damageFound()});
}

void Core::PortOpenFailed(std::string_view port, int error, bool explained) {
    Emit(event::PortOpenFailed{std::string(port), error, OpenFailureOf(error), explained});
}

void Core::ShowStoreProblems() {
    while (auto problem = store_->TakeProblem()) {
        view_.ShowStatusLine(problem->words);
        Emit(event::StoreProblem{problem->kind, std::move(problem->words)});
    }
}

void Core::Emit(const CoreEvent& e) {
    for (const CoreListener& listener : listeners_) listener(e);
}

std::vector<std::string> Core::PresentPorts() const {
    std::vector<std::string> names;
    for (int32_t p = 1; p <= ports_.PortCount(); ++p)
        if (ports_.IsPortPresentAt(p) == 1) names.push_back(ports_.GetPortField(p, 2));
    std::sort(names.begin(), names.end());
    return names;
}

void Core::EmitAdapterChanges(const std::vector<std::string>& before) {
    const std::vector<std::string> now = PresentPorts();
    std::vector<std::string> gone, come;
    std::set_difference(before.begin(), before.end(), now.begin(), now.end(), std::back_inserter(gone));
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(come));
    for (auto& port : gone) Emit(event::AdapterRemoved{std::move(port)});
    for (auto& port : come) Emit(event::AdapterArrived{std::move(port)});
}

}  // namespace dialscope
