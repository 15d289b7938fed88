// The serial port on Windows: the communications API on a COM port, opened
// exclusively for overlapped I/O and read by one receive thread per open.
// Only the system calls are here; serial_port.cpp keeps the bookkeeping.
#include "serial/serial_port.h"

#include <windows.h>

#include <array>
#include <cerrno>
#include <new>
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

// Writes in flight. The dialogue may answer several frames within one tick;
// each write gets its own record and its own copy of the bytes, which stay
// untouched until the driver is done with them, and the driver sends them
// in the order they were written.
struct WriteQueue {
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

}  // namespace

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

struct SerialPort::Native {
    // Null once the receive thread's Stop() has closed it.
    HANDLE handle = nullptr;
    WriteQueue writes;
};

const char* SerialPort::DeviceDirectory() { return "\\\\.\\"; }

// "COM10" and above open only through the device namespace; "COM1" opens
// either way, so every bare name gets the prefix.
std::string SerialPort::PortPath(const char* name) {
    std::string n = name;
    if (n.rfind("\\\\", 0) == 0) return n;
    return DeviceDirectory() + n;
}

SerialPort::NativePtr SerialPort::OpenNative(const std::string& path, uint32_t baudRate,
                                             bool parityCheck, uint8_t byteSize, uint8_t stopBits,
                                             int& error) {
    // Share mode 0: no other handle may hold the port while we do.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = ErrnoFor(GetLastError());
        return nullptr;
    }
    auto refuse = [&] {
        if (error == 0) error = ErrnoFor(GetLastError());
        CloseHandle(h);
        return nullptr;
    };
    if (!SetCommMask(h, EV_RXCHAR)) return refuse();
    if (!SetupComm(h, kInQueue, kOutQueue)) return refuse();
    // Whatever the device sent before we were listening belongs to no dialogue.
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    DCB state{};
    state.DCBlength = sizeof state;
    GetCommState(h, &state);
    ApplyLineSettings(state, baudRate, parityCheck, byteSize, stopBits);
    SetCommState(h, &state);  // a port that keeps its settings still opens

    auto* native = new (std::nothrow) Native;
    if (native == nullptr || !native->writes.ok()) {
        delete native;
        error = ENOMEM;
        return refuse();
    }
    native->handle = h;
    return NativePtr(native);
}

ReceiveThread* SerialPort::NewReceiveThread(RxRing& ring, Native& native) {
    return new (std::nothrow) hReceiveThread(ring, native.handle);
}

bool SerialPort::StopReceiving(Native& native, ReceiveThread& thread) {
    // Let the last frames reach the line, then cancel what the driver still
    // holds (flow control may hold it for good).
    if (!native.writes.Settle(kCloseDrainMs)) CancelIo(native.handle);
    // Closing the handle completes the receive thread's pending wait and
    // read; the thread then ends without touching the port again.
    if (!thread.Stop()) return false;
    native.handle = nullptr;
    return true;
}

SerialPort::NativeHandle SerialPort::HandleOf(const Native& native) {
    return native.handle != nullptr ? reinterpret_cast<NativeHandle>(native.handle) : kNoHandle;
}

bool SerialPort::WriteNative(Native& native, const uint8_t* bytes, uint32_t count) {
    WriteQueue& writes = native.writes;
    WriteQueue::Slot& slot = writes.slots[writes.next];
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
    const BOOL atOnce = WriteFile(native.handle, slot.bytes.data(), count, &written, &slot.overlapped);
    if (!atOnce && GetLastError() != ERROR_IO_PENDING) return false;
    // Still in progress: the driver sends it in the background.
    slot.pending = !atOnce;
    writes.next = (writes.next + 1) % writes.slots.size();
    return atOnce != 0;
}

// Runs after the receive thread has closed the port, or after an open whose
// thread did not start (the handle is then still ours to close).
void SerialPort::NativeCloser::operator()(Native* native) const {
    if (native->handle != nullptr) CloseHandle(native->handle);
    if (!native->writes.Settle(kWriteSettleMs)) {
        // The system may still write into these records: leave them be.
        return;
    }
    delete native;
}

}  // namespace dialscope
