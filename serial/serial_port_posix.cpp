// The serial port on Linux: termios on the tty of a usb-serial adapter (a
// pseudo-terminal in tests), read by a poll()-driven receive thread. Only the
// system calls are here; serial_port.cpp keeps the bookkeeping.
#include "serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "serial/line_settings_posix.h"
#include "serial/receive_thread_posix.h"

namespace dialscope {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A command frame that cannot be handed to the driver within this time is
// given up: the device re-polls long before then anyway.
constexpr milliseconds kWriteBound{100};
// How long closePort lets the last frames leave the adapter before it
// discards them; a line held by hardware flow control would otherwise keep
// close() waiting for the driver's closing time (30 s on usb-serial).
constexpr milliseconds kCloseDrainBound{100};

speed_t SpeedFor(uint32_t baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;  // not a rate we drive: leave the port's own
    }
}

tcflag_t CharSizeFor(uint8_t byteSize) {
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

}  // namespace

// The device's frames are binary: 0x11 and 0x13 are ordinary bytes of a date,
// a time, a text or a checksum, and so are 0x0D, 0x0A, 0x00 and 0x7F. A
// freshly plugged adapter starts at the kernel's terminal defaults (icrnl
// ixon, opost onlcr, isig icanon echo), and another program may have left
// parity, seven bits, stripping or flow control on the port. With XON/XOFF on,
// the tty swallows every 0x11/0x13 the device sends and a received 0x13 stops
// our polls; with hardware flow control a line without RTS/CTS wiring never
// sends. So every flag the dialogue relies on is set here, whatever the port
// had: no flow control of either kind, no translation or stripping in either
// direction, no line editing, echo or signal characters, and reads that
// return what has arrived (VMIN=1, VTIME=0). Only HUPCL stays as it was.
void ApplyLineSettings(termios& tio, uint32_t baudRate, bool parityCheck, uint8_t byteSize,
                       uint8_t stopBits) {
    tcflag_t inputOff = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                        ICRNL | IXON | IXOFF | IXANY | IMAXBEL;
#ifdef IUCLC
    inputOff |= IUCLC;
#endif
#ifdef IUTF8
    inputOff |= IUTF8;
#endif
    tio.c_iflag &= ~inputOff;
    if (parityCheck) tio.c_iflag |= INPCK;
    // Without OPOST none of the output translations (ONLCR, OCRNL, ...) apply.
    tio.c_oflag &= ~OPOST;
    tcflag_t localOff = ICANON | ISIG | IEXTEN | ECHO | ECHOE | ECHOK | ECHONL | NOFLSH | TOSTOP;
#ifdef ECHOCTL
    localOff |= ECHOCTL;
#endif
#ifdef ECHOPRT
    localOff |= ECHOPRT;
#endif
#ifdef ECHOKE
    localOff |= ECHOKE;
#endif
#ifdef XCASE
    localOff |= XCASE;
#endif
#ifdef EXTPROC
    localOff |= EXTPROC;
#endif
    tio.c_lflag &= ~localOff;
    tcflag_t controlOff = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
#ifdef CMSPAR
    controlOff |= CMSPAR;
#endif
    tio.c_cflag &= ~controlOff;
    tio.c_cflag |= CharSizeFor(byteSize) | CLOCAL | CREAD;
    if (stopBits != 0) tio.c_cflag |= CSTOPB;  // 1.5 and 2 both mean two here
    // VMIN=1: an empty non-blocking read is EAGAIN, never the 0 of a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed = SpeedFor(baudRate);
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
}

struct SerialPort::Native {
    int fd = -1;
};

const char* SerialPort::DeviceDirectory() {
    const char* root = std::getenv("DIALSCOPE_DEV_ROOT");
    return (root != nullptr && root[0] != '\0') ? root : "/dev";
}

std::string SerialPort::PortPath(const char* name) {
    if (std::strchr(name, '/') != nullptr) return name;
    return std::string(DeviceDirectory()) + "/" + name;
}

SerialPort::NativePtr SerialPort::OpenNative(const std::string& path, uint32_t baudRate,
                                             bool parityCheck, uint8_t byteSize, uint8_t stopBits,
                                             int& error) {
    // O_NONBLOCK: a line without carrier must not hold up the open, and the
    // receive thread's reads must never block (it would miss its stop event).
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    auto refuse = [&error, fd] {
        error = errno;
        ::close(fd);
        return nullptr;
    };

    // Exclusive: the lock keeps out every other opener, root included;
    // TIOCEXCL in addition keeps out programs that do not lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse();
    ::ioctl(fd, TIOCEXCL);

    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ApplyLineSettings(tio, baudRate, parityCheck, byteSize, stopBits);
        ::tcsetattr(fd, TCSANOW, &tio);  // a port that keeps its settings still opens
    } else if (errno == ENOTTY) {
        // Not a terminal at all: nothing there to wait for characters on.
        return refuse();
    }
    // Whatever the device sent before we were listening belongs to no dialogue.
    ::tcflush(fd, TCIOFLUSH);
    auto* native = new (std::nothrow) Native{fd};
    if (native == nullptr) {
        errno = ENOMEM;
        return refuse();
    }
    return NativePtr(native);
}

ReceiveThread* SerialPort::NewReceiveThread(RxRing& ring, Native& native) {
    return new (std::nothrow) hReceiveThread(ring, native.fd);
}

// The stop event wakes the thread at once, so the join that follows is only
// as long as one non-blocking read; the descriptor is closed after it.
bool SerialPort::StopReceiving(Native&, ReceiveThread& thread) { return thread.Stop(); }

SerialPort::NativeHandle SerialPort::HandleOf(const Native& native) { return native.fd; }

bool SerialPort::WriteNative(Native& native, const uint8_t* bytes, uint32_t count) {
    // The dialogue may answer several frames within one tick; each must reach
    // the line whole, so a partial write is finished here, not dropped.
    const auto deadline = Clock::now() + kWriteBound;
    uint32_t done = 0;
    bool atOnce = true;
    while (done < count) {
        ssize_t n = ::write(native.fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            if (done < count) atOnce = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;  // EIO: line gone
        atOnce = false;
        auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{native.fd, POLLOUT, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return false;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    }
    return atOnce;
}

// Runs once no receive thread reads the descriptor any more: after a close,
// and after an open whose thread did not start.
void SerialPort::NativeCloser::operator()(Native* native) const {
    const int fd = native->fd;
    delete native;
    const auto deadline = Clock::now() + kCloseDrainBound;
    int queued = 0;
    while (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    ::tcflush(fd, TCOFLUSH);
    // The exclusive flag lives on the tty, not on our descriptor.
    ::ioctl(fd, TIOCNXCL);
    // Linux releases the descriptor even when close() reports an error, so
    // there is nothing to retry: the port counts as closed.
    ::close(fd);
}

}  // namespace dialscope
