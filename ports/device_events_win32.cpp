#include "ports/device_events.h"

#include <windows.h>
#include <dbt.h>

namespace dialscope {
namespace {

// The system's setup class of USB devices, and its class of serial and
// parallel ports.
constexpr GUID kUsbDeviceClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

}  // namespace

uint8_t GetPlatformFamily() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // 148
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = GetVersionExA(&info);
#pragma GCC diagnostic pop
    if (!ok) return kFamilyNone;
    switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32_WINDOWS: return kFamilyWin9x;
    case VER_PLATFORM_WIN32_NT: return kFamilyNt;
    default: return kFamilyNone;
    }
}

// Registers the main window for device-interface events of the family's
// class (USB devices on 9x, ports on NT); WM_DEVICECHANGE then brings them.
class WindowDeviceEvents final : public DeviceEventSource {
public:
    explicit WindowDeviceEvents(HWND window) : window_(window) {}

    uint8_t PlatformFamily() override { return GetPlatformFamily(); }

    bool Register(uint8_t family) override {
        if (family != kFamilyWin9x && family != kFamilyNt) return false;
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;  // 32
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = family == kFamilyWin9x ? kUsbDeviceClass : kPortsClass;
        // The registration lasts as long as the window; its handle is not needed.
        return RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) != nullptr;
    }

private:
    HWND window_;
};

std::unique_ptr<DeviceEventSource> MakeDeviceEventSource(void* window) {
    return std::make_unique<WindowDeviceEvents>(static_cast<HWND>(window));
}

std::optional<DeviceEvent> DecodeWindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message != WM_DEVICECHANGE) return std::nullopt;
    DeviceEvent event;
    event.message = message;
    event.eventCode = static_cast<uint32_t>(wParam);
    if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0) {
        event.deviceType = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype;
    }
    return event;
}

}  // namespace dialscope
