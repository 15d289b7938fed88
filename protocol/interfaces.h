// What the protocol and the port logic need from the world around them. The
// window shell and the serial layer implement these; tests use fakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "record/call_record.h"
#include "record/download_end.h"

namespace dialscope {

enum class Timer { time_com, watch_serial, AutoDisp };

// The main window's operations that the core uses.
class WindowOps {
public:
    virtual ~WindowOps() = default;
    // One line at the end of the status box (memo_info).
    virtual void AppendStatusLine(std::string_view line) = 0;
    // connect_show: red when on, white when off.
    virtual void SetIndicator(bool on) = 0;
    // Hides all six "Transferring" labels.
    virtual void HideAnimation() = 0;
    virtual void EnableTimer(Timer timer, bool enabled) = 0;
    // Appends one rendered call record (8-bit text, CR LF line ends) to the
    // call log and its view.
    virtual void AppendToCallLog(const uint8_t* bytes, size_t count) = 0;
    // The record just appended to the call log, and the bytes appended for
    // it. Both are valid only during the call: keep a copy.
    virtual void RecordOutput(const CallRecord& record, std::string_view rendered) { (void)record, (void)rendered; }
    // A download has begun (its header frame arrived) and has ended.
    virtual void DownloadStarted() {}
    virtual void DownloadEnded(DownloadEnd how) { (void)how; }
    // The device answered a poll on the line it was started on, the first
    // time since then.
    virtual void DeviceAnswered() {}
    // The port logic opened a port, or the system refused it (error: the
    // errno of the failing open; explained: the status box has said why).
    virtual void PortOpened(std::string_view port) { (void)port; }
    virtual void PortOpenFailed(std::string_view port, int error, bool explained) {
        (void)port, (void)error, (void)explained;
    }
    // The supervisor has tried every present adapter, opened at least one
    // port since it last stopped, and none answered: it waits for a device
    // change.
    virtual void NoDeviceAnswered() {}
};

// The serial port operations, main thread only.
class SerialOps {
public:
    virtual ~SerialOps() = default;
    virtual bool openPort(const char* name, uint32_t baudRate, bool parityCheck,
                          uint8_t byteSize, uint8_t stopBits) = 0;
    // The bytes are taken before the call returns; the caller may reuse them.
    virtual bool writePort(const uint8_t* bytes, uint32_t count) = 0;
    virtual bool closePort() = 0;
};

// The bytes the serial port has received, as the protocol tick on the main
// thread reads them. The receive thread stores them and raises a flag after
// storing; the tick is their only reader.
class ReceivedBytes {
public:
    virtual ~ReceivedBytes() = default;
    // Clears the flag; true when it was raised (bytes arrived since the last
    // call). Cleared before the bytes are read: a byte stored meanwhile
    // raises it again.
    virtual bool TakePending() = 0;
    // How many bytes are unread.
    virtual int32_t Unread() const = 0;
    // The next unread byte, which is then read; false when none is left.
    virtual bool Next(uint8_t& byte) = 0;
    // Drops every unread byte (what is left of a line that has gone).
    virtual void DropUnread() = 0;
};

// What the connection supervisor asks of the dialogue on a line it opened.
class LineDialogue {
public:
    virtual ~LineDialogue() = default;
    // A port has just been opened: the dialogue starts afresh on it and polls.
    virtual void StartOnNewLine() = 0;
    // Whether the device has answered on this line since it was started.
    virtual bool DeviceAnswered() const = 0;
};

}  // namespace dialscope
