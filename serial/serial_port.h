// The serial port through which the caller-id box is reached: opened with
// exclusive access, set to 57600 8N1, written a command frame at a time, and
// read by one receive thread per open that feeds the port's receive ring.
//
// openPort, writePort, closePort and the reading of received bytes run on
// the main thread only. The receive thread touches nothing but its own
// descriptors and the producer's side of the ring.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/interfaces.h"
#include "serial/rx_ring.h"

namespace dialscope {

class ReceiveThread;

class SerialPort final : public SerialOps, public ReceivedBytes {
public:
    // The open port as the system knows it: a file descriptor on Linux, a
    // HANDLE on Windows. -1 is "none" on both (INVALID_HANDLE_VALUE is -1).
    using NativeHandle = std::intptr_t;
    static constexpr NativeHandle kNoHandle = -1;
    // The modal warning box of the window shell: text, caption.
    using WarningBox = std::function<void(const char* text, const char* caption)>;

    explicit SerialPort(WarningBox warn);
    // Closes the port and waits for its receive thread, which the stop event
    // has already woken.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // `name` is a path, or a kernel name ("ttyUSB0") looked up in /dev (or in
    // the directory named by DIALSCOPE_DEV_ROOT); on Windows "COM3" and the
    // like. True when the port is open and its receive thread runs.
    bool openPort(const char* name, uint32_t baudRate, bool parityCheck,
                  uint8_t byteSize, uint8_t stopBits) override;
    // Sends one command frame whole; true only when the driver took all of it
    // at once. The bytes are copied before the call returns.
    bool writePort(const uint8_t* bytes, uint32_t count) override;
    // Stops the receive thread, waits for it to leave its wait, and closes the
    // port. True also when no port was open.
    bool closePort() override;

    // ReceivedBytes: what the receive threads have stored, bytes kept from
    // one open to the next until they are read or dropped.
    bool TakePending() override { return ring_.TakePending(); }
    int32_t Unread() const override { return ring_.Unread(); }
    bool Next(uint8_t& byte) override { return ring_.Next(byte); }
    void DropUnread() override { ring_.DropUnread(); }
    // The ring as it stands, for watching it from outside (tests).
    const RxRing& ring() const { return ring_; }
    // Frames handed to an open port since this object was made, whether the
    // driver took them whole or not.
    uint64_t framesWritten() const { return framesWritten_; }

    bool portOpen() const { return portOpen_; }
    // The open port, kNoHandle when none is open.
    NativeHandle nativeHandle() const;
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
    // The name openPort was last given, as given ("ttyUSB0" or a path).
    const std::string& lastOpenName() const { return lastOpenName_; }

    // Where kernel names are looked up: $DIALSCOPE_DEV_ROOT, else /dev; on
    // Windows the device namespace.
    static const char* DeviceDirectory();

private:
    // The system's side of an open port: its handle and, on Windows, the
    // records of the writes in flight. Defined in serial_port_posix.cpp and
    // serial_port_win32.cpp; NativeCloser gives back whatever is still open.
    struct Native;
    struct NativeCloser {
        void operator()(Native* native) const;
    };
    using NativePtr = std::unique_ptr<Native, NativeCloser>;

    // What each system does with system calls, and nothing else; the
    // bookkeeping around them (already open, lastOpenErrno, the receive
    // thread's start and end) is serial_port.cpp's.
    //
    // The path `name` (not empty) opens.
    static std::string PortPath(const char* name);
    // Opens `path` for this program alone, puts the line settings on it and
    // discards what was queued before; null, with the refusing errno in
    // `error`, when any step refuses.
    static NativePtr OpenNative(const std::string& path, uint32_t baudRate, bool parityCheck,
                                uint8_t byteSize, uint8_t stopBits, int& error);
    // The receive thread for the open port, not yet started; null when out
    // of memory.
    static ReceiveThread* NewReceiveThread(RxRing& ring, Native& native);
    // Lets the last frames leave where that must happen before the thread
    // stops, and stops it; false when the system refused, and the port then
    // stays open.
    static bool StopReceiving(Native& native, ReceiveThread& thread);
    static bool WriteNative(Native& native, const uint8_t* bytes, uint32_t count);
    static NativeHandle HandleOf(const Native& native);

    RxRing ring_;
    WarningBox warn_;
    uint64_t framesWritten_ = 0;
    bool portOpen_ = false;
    int lastOpenErrno_ = 0;
    std::string lastOpenName_;
    // Declared after native_, so the thread, which reads the port, goes first.
    NativePtr native_;
    std::unique_ptr<ReceiveThread> receiveThread_;
};

}  // namespace dialscope
