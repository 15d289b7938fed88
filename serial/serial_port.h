// The serial port through which the caller-id box is reached: opened with
// exclusive access, set to 57600 8N1, written a command frame at a time, and
// read by one receive thread per open that feeds RxRing.
//
// openPort, writePort and closePort run on the main thread only. The receive
// thread touches nothing but its own descriptors, RxRing, rxHead and
// rxPending.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "protocol/interfaces.h"
#include "protocol/link_state.h"

namespace dialscope {

class hReceiveThread;

class SerialPort : public SerialOps {
public:
#if defined(_WIN32)
    using NativeHandle = void*;  // HANDLE
    static constexpr NativeHandle kNoHandle = nullptr;
#else
    using NativeHandle = int;  // file descriptor
    static constexpr NativeHandle kNoHandle = -1;
#endif
    // The modal warning box of the window shell: text, caption.
    using WarningBox = std::function<void(const char* text, const char* caption)>;

    SerialPort(Link& link, WarningBox warn);
    // Closes the port and waits for its receive thread, which the stop event
    // has already woken.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // `name` is a path, or a kernel name ("ttyUSB0") looked up in /dev (or in
    // the directory named by DIALSCOPE_DEV_ROOT). True when the port is open
    // and its receive thread runs.
    bool openPort(const char* name, uint32_t baudRate, bool parityCheck,
                  uint8_t byteSize, uint8_t stopBits) override;
    // Sends one command frame whole; true only when the driver took all of it
    // at once. The bytes are copied before the call returns.
    bool writePort(const uint8_t* bytes, uint32_t count) override;
    // Stops the receive thread, waits for it to leave its wait, and closes the
    // port. True also when no port was open.
    bool closePort() override;

    bool portOpen() const { return portOpen_; }
    // CommHandle: the open port, kNoHandle when none is open.
    NativeHandle nativeHandle() const { return CommHandle_; }
#if !defined(_WIN32)
    int fd() const { return CommHandle_; }
#endif
    // Whether the current receive thread is still in its loop; false after a
    // hang-up ended it, and when no port is open.
    bool receiveRunning() const;
    // Times the current receive thread has woken from its wait (for telling
    // a quiet thread from a spinning one).
    uint64_t receiveWakeups() const;

    // Why the last openPort failed: the errno of the step that refused it
    // (EACCES, EBUSY, EWOULDBLOCK for a port another program holds, ...);
    // 0 after a success and when our own port was already open.
    int lastOpenErrno() const { return lastOpenErrno_; }

    // Where kernel names are looked up: $DIALSCOPE_DEV_ROOT, else /dev.
    static const char* DeviceDirectory();

private:
    Link& link_;
    WarningBox warn_;
    NativeHandle CommHandle_ = kNoHandle;
    bool portOpen_ = false;
    int lastOpenErrno_ = 0;
    std::unique_ptr<hReceiveThread> receiveThread_;
#if defined(_WIN32)
    struct WriteQueue;
    // The line settings of the open port, as read from it and changed.
    DCB commState_{};
    std::unique_ptr<WriteQueue> writes_;
#endif
};

}  // namespace dialscope
