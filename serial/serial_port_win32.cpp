// The serial port on Windows: the communications API on a COM port, opened
// exclusively for overlapped I/O and read by one receive thread per open.
#include "serial/serial_port.h"

#include <windows.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "serial/line_settings_win32.h"
#include "serial/receive_thread_win32.h"

namespace dialscope {
namespace {

// A command frame whose turn in the driver does not come within this time is
// given up: the device re-polls long before then anyway.
constexpr DWORD kWriteBoundMs = 100;
// How long closePort lets the last frames leave before it cancels them.
constexpr DWORD kCloseDrainMs = 100;
// How long closePort waits for cancelled writes to let go of their buffers.
constexpr DWORD kWriteSettleMs = 2000;

constexpr DWORD kInQueue = 1024;
constexpr DWORD kOutQueue = 1024;

// The errno the connection supervisor understands for a refused open. A COM
// port another program holds is refused with "access denied".
int ErrnoFor(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    default:
        return EIO;
    }
}

// "COM10" and above open only through the device namespace; "COM1" opens
// either way, so every bare name gets the prefix.
std::string DevicePath(const char* name) {
    std::string n = name ? name : "";
    if (n.empty() || n.rfind("\\\\", 0) == 0) return n;
    return SerialPort::DeviceDirectory() + n;
}

}  // namespace

// Writes in flight. The dialogue may answer several frames within one tick;
// each write gets its own record and its own copy of the bytes, which stay
// untouched until the driver is done with them, and the driver sends them
// in the order they were written.
struct SerialPort::WriteQueue {
    struct Slot {
        OVERLAPPED overlapped{};
        HANDLE event = nullptr;
        std::vector<uint8_t> bytes;
        bool pending = false;
    };
    std::array<Slot, 8> slots;
    size_t next = 0;

    WriteQueue() {
        for (Slot& s : slots) s.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~WriteQueue() {
        for (Slot& s : slots)
            if (s.event) CloseHandle(s.event);
    }
    bool ok() const {
        for (const Slot& s : slots)
            if (!s.event) return false;
        return true;
    }
    // Waits up to `ms` in all for the writes in flight; true when none is left.
    bool Settle(DWORD ms) {
        const DWORD start = GetTickCount();
        for (Slot& s : slots) {
            if (!s.pending) continue;
            const DWORD spent = GetTickCount() - start;
            if (WaitForSingleObject(s.event, spent < ms ? ms - spent : 0) == WAIT_OBJECT_0) s.pending = false;
        }
        for (const Slot& s : slots)
            if (s.pending) return false;
        return true;
    }
};

// The line format is set, and every kind of flow control is switched
// off whatever the port was left with: the device's frames are binary,
// so XON/XOFF would eat every 0x11 and 0x13 in a date, a text or a
// checksum, and a received 0x13 would stop our own polls until a 0x11
// happened to come. Nothing in the dialogue paces either side by the
// modem lines, so a CTS or DSR handshake left by another program could
// only hold our polls or drop the device's bytes, and a line error must
// not stall every read and write until someone clears it. A port fresh
// from a Unix tty reads back as XON/XOFF (its default `ixon`), so a DCB
// kept as read would switch it on again. A DTR or RTS line left in
// handshake mode is simply held up; the rest of the DCB stays as read.
void ApplyLineSettings(DCB& dcb, uint32_t baudRate, bool parityCheck, uint8_t byteSize, uint8_t stopBits) {
    dcb.BaudRate = baudRate;
    dcb.fParity = parityCheck ? 1 : 0;
    dcb.ByteSize = byteSize;
    dcb.Parity = NOPARITY;
    dcb.StopBits = stopBits;
    dcb.fNull = 0;  // NUL bytes are data here
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fAbortOnError = 0;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) dcb.fDtrControl = DTR_CONTROL_ENABLE;
}

SerialPort::SerialPort(Link& link, WarningBox warn) : link_(link), warn_(std::move(warn)) {}

SerialPort::~SerialPort() { closePort(); }

const char* SerialPort::DeviceDirectory() { return "\\\\.\\"; }

bool SerialPort::receiveRunning() const {
    return receiveThread_ != nullptr && receiveThread_->running();
}

uint64_t SerialPort::receiveWakeups() const {
    return receiveThread_ != nullptr ? receiveThread_->wakeups() : 0;
}

bool SerialPort::openPort(const char* name, uint32_t baudRate, bool parityCheck,
                          uint8_t byteSize, uint8_t stopBits) {
    lastOpenErrno_ = 0;
    if (portOpen_) {
        // The open port and its receive thread go on untouched.
        if (warn_) warn_("Port Is Already Opened!", "Warning");
        return false;
    }
    const std::string path = DevicePath(name);
    if (path.empty()) {
        lastOpenErrno_ = ENOENT;
        return false;
    }

    // Share mode 0: no other handle may hold the port while we do.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        lastOpenErrno_ = ErrnoFor(GetLastError());
        return false;
    }
    auto refuse = [&] {
        if (lastOpenErrno_ == 0) lastOpenErrno_ = ErrnoFor(GetLastError());
        CloseHandle(h);
        return false;
    };
    if (!SetCommMask(h, EV_RXCHAR)) return refuse();
    if (!SetupComm(h, kInQueue, kOutQueue)) return refuse();
    // Whatever the device sent before we were listening belongs to no dialogue.
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    ZeroMemory(&commState_, sizeof commState_);
    commState_.DCBlength = sizeof commState_;
    GetCommState(h, &commState_);
    ApplyLineSettings(commState_, baudRate, parityCheck, byteSize, stopBits);
    SetCommState(h, &commState_);  // a port that keeps its settings still opens

    auto writes = std::make_unique<WriteQueue>();
    auto thread = std::make_unique<hReceiveThread>(link_, h);
    if (!writes->ok() || !thread->Start()) {
        lastOpenErrno_ = ENOMEM;
        thread.reset();
        return refuse();
    }
    writes_ = std::move(writes);
    receiveThread_ = std::move(thread);
    CommHandle_ = h;
    portOpen_ = true;
    return true;
}

bool SerialPort::writePort(const uint8_t* bytes, uint32_t count) {
    if (!portOpen_ || bytes == nullptr || !writes_) return false;
    WriteQueue::Slot& slot = writes_->slots[writes_->next];
    if (slot.pending) {
        // Eight frames still queued: wait a moment for the oldest to leave.
        if (WaitForSingleObject(slot.event, kWriteBoundMs) != WAIT_OBJECT_0) return false;
        slot.pending = false;
    }
    slot.bytes.assign(bytes, bytes + count);
    ZeroMemory(&slot.overlapped, sizeof slot.overlapped);
    slot.overlapped.hEvent = slot.event;
    ResetEvent(slot.event);
    DWORD written = 0;
    const BOOL atOnce = WriteFile(CommHandle_, slot.bytes.data(), count, &written, &slot.overlapped);
    if (!atOnce && GetLastError() != ERROR_IO_PENDING) return false;
    // Still in progress: the driver sends it in the background.
    slot.pending = !atOnce;
    writes_->next = (writes_->next + 1) % writes_->slots.size();
    return atOnce != 0;
}

bool SerialPort::closePort() {
    if (!portOpen_) {
        CommHandle_ = kNoHandle;
        return true;
    }
    // Let the last frames reach the line, then cancel what the driver still
    // holds (flow control may hold it for good).
    if (!writes_->Settle(kCloseDrainMs)) CancelIo(CommHandle_);
    // Closing the handle completes the receive thread's pending wait and
    // read; the thread then ends without touching the port again, and is
    // joined here, so no stopping thread can act on a port opened later.
    if (!receiveThread_->ClosePortAndStop()) return false;
    receiveThread_->Join();
    receiveThread_.reset();
    if (!writes_->Settle(kWriteSettleMs)) {
        // The system may still write into these records: leave them be.
        (void)writes_.release();
    }
    writes_.reset();
    CommHandle_ = kNoHandle;
    portOpen_ = false;
    return true;
}

}  // namespace dialscope
