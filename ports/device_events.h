// Where the program learns of adapters being plugged in and pulled out, on
// any platform: the registry layout and kind of event that apply here, the
// registration for those events, and the events themselves as DeviceEvents.
//
// Linux reads the kernel's uevent stream (or inotify on a fake sysfs tree):
// the source has a descriptor that turns readable when events wait, and the
// face reading it hands ReadEvents() to the core on the main thread. Windows
// sends WM_DEVICECHANGE to the registered window: the window decodes each
// message with DecodeWindowMessage and hands the event to the core.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ports/device_event.h"

namespace dialscope {

constexpr uint8_t kFamilyNone = 0;
constexpr uint8_t kFamilyWin9x = 1;
constexpr uint8_t kFamilyNt = 2;

class DeviceEventSource {
public:
    virtual ~DeviceEventSource() = default;
    // 1 for the 9x registry layout and events, 2 for NT's, 0 for neither.
    virtual uint8_t PlatformFamily() = 0;
    // Asks for the family's device events; true when the system agreed.
    virtual bool Register(uint8_t family) = 0;
    // Readable when events wait; -1 when events come another way (window
    // messages) or cannot be had.
    virtual int fd() const { return -1; }
    // Everything waiting now, oldest first; never blocks.
    virtual std::vector<DeviceEvent> ReadEvents() { return {}; }
};

// The family this system presents: NT's layout on Linux (through the sysfs
// view); on Windows what the version query says.
uint8_t GetPlatformFamily();

// The system's source. Linux: inotify on <root>/class/tty when
// $DIALSCOPE_SYSFS_ROOT names a fake tree, else the kernel's uevents.
// Windows: registration of `window` (an HWND) for device notifications.
std::unique_ptr<DeviceEventSource> MakeDeviceEventSource(void* window = nullptr);

// The event a window message carries, when it is a device change (Windows;
// lParam points at the message's broadcast header).
std::optional<DeviceEvent> DecodeWindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace dialscope
