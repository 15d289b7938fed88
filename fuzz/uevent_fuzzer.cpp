// The kernel uevent parser on arbitrary bytes: no crash, no read outside the
// message, and an event only of the two kinds the port logic knows.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "ports/device_events_linux.h"

using namespace dialscope;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that ASan sees any read past the message.
    std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    std::optional<DeviceEvent> event = ParseUevent(copy.get(), size);
    if (!event) return 0;
    if (event->message != WM_DEVICECHANGE_ID) __builtin_trap();
    if (event->eventCode != DBT_DEVICEARRIVAL_CODE && event->eventCode != DBT_DEVICEREMOVECOMPLETE_CODE)
        __builtin_trap();
    if (event->deviceType != DBT_DEVTYP_DEVICEINTERFACE_TYPE) __builtin_trap();
    // An event needs at least "add@/" and its fields.
    if (size < 5) __builtin_trap();
    return 0;
}
