// The connection supervisor: on each 500 ms watch_serial tick it opens the
// next present adapter's port, polls once, and keeps the port only if the
// device answers within the two ticks after the poll. It stops its timer once
// the device has answered or every present adapter has been tried; the
// device-change step arms it again. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "ports/open_failure.h"
#include "ports/port_list.h"
#include "protocol/interfaces.h"

namespace dialscope {

constexpr int kPortNameSize = 8;

// portIndex value for "no adapter left to try".
constexpr uint8_t kNoPortLeft = 255;

constexpr uint32_t kLineBaudRate = 57600;

// Ticks (of 500 ms) to wait before another pass when a present adapter's
// port was refused by the system.
constexpr int kRetryTicks = 4;

// Chooses the port for this attempt from the position start (0 = first present
// adapter) and returns the position to try after it, or kNoPortLeft. portName
// gets the chosen comPort cut to 8 bytes, NUL-padded when shorter, all zero
// when no present adapter was chosen.
uint8_t ChooseNextPort(const PortList& ports, char (&portName)[kPortNameSize], uint8_t start);

// Why the serial layer could not open a port it was given: the errno of the
// failing open (EACCES, EPERM, EBUSY, EWOULDBLOCK ...), 0 after a success or
// when the refusal was for a port of ours already open.
using LastOpenErrorFn = std::function<int()>;

// Whether the program already holds a port open (the serial layer keeps one
// at a time and refuses every further open with its warning box).
using PortHeldFn = std::function<bool()>;

// What the device-change step needs of the connection supervisor.
class PortSearch {
public:
    virtual ~PortSearch() = default;
    // The port of the latest attempt, and while a port is held open the one
    // in use; empty when none.
    virtual std::string portName() const = 0;
    // Starts the search afresh, as a device change does. portClosed: the
    // port it had open was just closed.
    virtual void Restart(bool portClosed) = 0;
};

class Supervisor final : public PortSearch {
public:
    Supervisor(const PortList& ports, SerialOps& serial, WindowOps& window, LineDialogue& dialogue,
               LastOpenErrorFn lastOpenError = {}, PortHeldFn portHeld = {});

    // The body of watch_serialTimer.
    void Tick();

    std::string portName() const override;
    void Restart(bool portClosed) override;
    // A port is open and polled, its answer still awaited.
    bool probing() const { return connectState_ == 1 || connectState_ == 2; }
    // The device answered: the download dialogue is in charge of the port.
    bool handedOver() const { return connectState_ == kHandedOver; }

private:
    static constexpr uint8_t kHandedOver = 3;

    void ExplainOpenFailure(const std::string& port);

    // 0: the next tick opens the next present adapter's port; 1: poll sent;
    // 2: the answer is due; kHandedOver.
    uint8_t connectState_ = 0;
    // Where the next attempt starts (0: a new pass), kNoPortLeft after the
    // last present adapter.
    uint8_t portIndex_ = 0;
    // The chosen port's name, cut to kPortNameSize bytes and NUL-padded
    // (not terminated when it fills them all).
    char portName_[kPortNameSize] = {};
    const PortList& ports_;
    SerialOps& serial_;
    WindowOps& window_;
    LineDialogue& dialogue_;
    LastOpenErrorFn lastOpenError_;
    PortHeldFn portHeld_;
    // Ports and reasons already explained in the status box; a port's entries
    // go when it opens.
    std::set<std::pair<std::string, OpenFailure>> explained_;
    // A present adapter's port could not be opened in this pass for a reason
    // of the system's (permissions, busy, no node yet): try again after
    // kRetryTicks ticks instead of stopping.
    bool retryLater_ = false;
    int retryWait_ = 0;
    // The pass under way was started by the wait above, not by a device
    // change or the program's start.
    bool retryPass_ = false;
    // A device change during a download restarts the supervisor while the
    // download's port stays open; the first attempt after the change meets
    // that port and its warning box, later attempts skip it.
    bool metHeldPort_ = false;
    // A port was opened since the supervisor last stopped. When it stops
    // again without a device in charge, no device answered on any.
    bool openedUnanswered_ = false;
};

}  // namespace dialscope
