// What opening and closing a port means whatever the system: one open port
// per SerialPort, a warning for a second open, lastOpenErrno for a refused
// one, and one receive thread per open, started last and stopped first. The
// system calls are in serial_port_posix.cpp and serial_port_win32.cpp.
#include "serial/serial_port.h"

#include <cerrno>
#include <new>
#include <utility>

#include "serial/receive_thread.h"

namespace dialscope {

SerialPort::SerialPort(WarningBox warn) : warn_(std::move(warn)) {}

SerialPort::~SerialPort() { closePort(); }

SerialPort::NativeHandle SerialPort::nativeHandle() const {
    return native_ ? HandleOf(*native_) : kNoHandle;
}

bool SerialPort::receiveRunning() const {
    return receiveThread_ != nullptr && receiveThread_->running();
}

uint64_t SerialPort::receiveWakeups() const {
    return receiveThread_ != nullptr ? receiveThread_->wakeups() : 0;
}

bool SerialPort::openPort(const char* name, uint32_t baudRate, bool parityCheck,
                          uint8_t byteSize, uint8_t stopBits) {
    lastOpenErrno_ = 0;
    lastOpenName_ = name != nullptr ? name : "";
    if (portOpen_) {
        // The open port and its receive thread go on untouched.
        if (warn_) warn_("Port Is Already Opened!", "Warning");
        return false;
    }
    if (name == nullptr || name[0] == '\0') {
        lastOpenErrno_ = ENOENT;
        return false;
    }

    int error = 0;
    NativePtr native = OpenNative(PortPath(name), baudRate, parityCheck, byteSize, stopBits, error);
    if (!native) {
        lastOpenErrno_ = error != 0 ? error : EIO;
        return false;
    }
    // On failure `native` goes out of scope, which gives the port back.
    std::unique_ptr<ReceiveThread> thread(NewReceiveThread(ring_, *native));
    if (!thread) {
        lastOpenErrno_ = ENOMEM;
        return false;
    }
    if (const int refused = thread->Start(); refused != 0) {
        lastOpenErrno_ = refused;
        return false;
    }
    native_ = std::move(native);
    receiveThread_ = std::move(thread);
    portOpen_ = true;
    return true;
}

bool SerialPort::writePort(const uint8_t* bytes, uint32_t count) {
    if (!portOpen_ || bytes == nullptr) return false;
    ++framesWritten_;
    return WriteNative(*native_, bytes, count);
}

bool SerialPort::closePort() {
    if (!portOpen_) return true;
    // The thread is joined before the port is given back, so a stopping
    // thread never acts on a port opened after it.
    if (!StopReceiving(*native_, *receiveThread_)) return false;
    receiveThread_->Join();
    receiveThread_.reset();
    native_.reset();
    portOpen_ = false;
    return true;
}

}  // namespace dialscope
