#include "ports/supervisor.h"

#include <algorithm>
#include <cstring>

namespace dialscope {

uint8_t ChooseNextPort(const PortList& ports, char (&portName)[kPortNameSize], uint8_t start) {
    std::memset(portName, 0, kPortNameSize);
    if (ports.PortCount() == 0 || start > ports.PortCount()) return kNoPortLeft;
    int32_t chosen = start;
    if (start == 0) {
        chosen = ports.FirstPresentPort();
        if (chosen == 0) return kNoPortLeft;
    }
    if (ports.IsPortPresentAt(chosen)) {
        const std::string comPort = ports.GetPortField(chosen, 2);
        std::memcpy(portName, comPort.data(), std::min<size_t>(comPort.size(), kPortNameSize));
    }
    const int32_t next = ports.NextPresentPort(chosen);
    // portIndex is a byte and 255 means "none": positions past 254 are out of
    // reach, and must not wrap around to a small position.
    if (next == 0 || next >= kNoPortLeft) return kNoPortLeft;
    return static_cast<uint8_t>(next);
}

Supervisor::Supervisor(const PortList& ports, SerialOps& serial, WindowOps& window,
                       LineDialogue& dialogue, LastOpenErrorFn lastOpenError, PortHeldFn portHeld)
    : ports_(ports),
      serial_(serial),
      window_(window),
      dialogue_(dialogue),
      lastOpenError_(std::move(lastOpenError)),
      portHeld_(std::move(portHeld)) {}

void Supervisor::Tick() {
    window_.EnableTimer(Timer::watch_serial, false);
    switch (connectState_) {
    case 0: {
        const bool held = portHeld_ && portHeld_();
        if (portIndex_ == kNoPortLeft) {
            // portName names the port in use while one is held: the
            // device-change step looks it up when an adapter is pulled.
            if (!held) std::memset(portName_, 0, kPortNameSize);
            if (retryLater_) {
                // A present adapter's port was refused for a reason that
                // passes by itself (udev still setting up the node just
                // after a plug-in, another program probing it): look again
                // in a moment rather than wait for the next device change.
                // A device change resets portIndex and ends this wait.
                if (++retryWait_ < kRetryTicks) break;
                retryWait_ = 0;
                retryLater_ = false;
                retryPass_ = true;
                portIndex_ = 0;
                break;
            }
            // Every present adapter has been tried: stop until a device change.
            if (openedUnanswered_ && !held) window_.NoDeviceAnswered();
            openedUnanswered_ = false;
            portIndex_ = 0;
            connectState_ = 0;
            return;
        }
        if (portIndex_ == 0) {
            retryLater_ = false;  // a new pass
            retryWait_ = 0;
            if (!retryPass_) metHeldPort_ = false;  // a device change: warn once more
            retryPass_ = false;
        }
        char chosen[kPortNameSize];
        portIndex_ = ChooseNextPort(ports_, chosen, portIndex_);
        if (held) {
            // The serial layer refuses every open while the download's port
            // is open, each time with a modal box: one per device change,
            // the rest of the pass (and any retry pass) skips.
            if (metHeldPort_) break;
            metHeldPort_ = true;
        } else {
            std::memcpy(portName_, chosen, kPortNameSize);
        }
        // portName may fill all 8 bytes; the serial layer gets a terminated copy.
        char name[kPortNameSize + 1] = {};
        std::memcpy(name, chosen, kPortNameSize);
        if (serial_.openPort(name, kLineBaudRate, false, 8, 0)) {
            std::memcpy(portName_, chosen, kPortNameSize);  // the port now in use
            explained_.erase(explained_.lower_bound({name, OpenFailure{}}),
                             explained_.upper_bound({name, OpenFailure::other}));
            openedUnanswered_ = true;
            window_.PortOpened(name);
            // A new line: the dialogue starts afresh on it and polls.
            dialogue_.StartOnNewLine();
            connectState_ = 1;
        } else {
            ExplainOpenFailure(name);
        }
        break;
    }
    case 1:
        // Poll sent; the device has until the next tick to answer.
        connectState_ = 2;
        break;
    case 2:
        if (dialogue_.DeviceAnswered()) {
            connectState_ = kHandedOver;
        } else {
            connectState_ = 0;
            serial_.closePort();
        }
        break;
    case kHandedOver:
        // The download dialogue is in charge of the port.
        return;
    default:
        connectState_ = 0;
        break;
    }
    window_.EnableTimer(Timer::watch_serial, true);
}

std::string Supervisor::portName() const {
    return std::string(portName_, std::find(portName_, portName_ + kPortNameSize, '\0'));
}

void Supervisor::Restart(bool portClosed) {
    // A probe still waiting for its answer (states 1 and 2) holds its port
    // open; a restart would then meet that port at every attempt and never
    // reach the adapter just plugged in. Close it so the new pass starts
    // clean. An answered port (download in charge) stays open.
    if (!portClosed && probing() && !dialogue_.DeviceAnswered()) serial_.closePort();
    portIndex_ = 0;
    connectState_ = 0;
    window_.EnableTimer(Timer::watch_serial, true);
}

void Supervisor::ExplainOpenFailure(const std::string& port) {
    if (port.empty() || !lastOpenError_) return;
    const int error = lastOpenError_();
    // 0: the refusal was for our own port already open, which is no failure
    // of the system's.
    if (error == 0) return;
    retryLater_ = true;
    const OpenFailure reason = OpenFailureOf(error);
    // Permissions and a busy port are worth a line; the supervisor retries
    // after every device change, so it says each once.
    bool explained = false;
    if (reason == OpenFailure::permission || reason == OpenFailure::busy) {
        explained = true;
        if (explained_.insert({port, reason}).second) window_.AppendStatusLine(CannotOpenWords(port, error));
    }
    window_.PortOpenFailed(port, error, explained);
}

}  // namespace dialscope
