#include "app/program_hooks.h"

#include <QObject>
#include <QSocketNotifier>

#include "app/message_boxes.h"
#include "ports/device_event.h"

namespace dialscope {

CoreHooks MakeProgramHooks(Link& link, std::unique_ptr<Core>& core) {
    CoreHooks hooks;
    hooks.onStart = [&link, &core](TForm1& window) {
        core = std::make_unique<Core>(
            link, window, [](const char*, const char*) { ShowPortAlreadyOpenedBox(); });
        core->StartPortDiscovery();
        int fd = core->hotplugFd();
        if (fd >= 0) {
            // Device events arrive on the main thread, between timer ticks.
            auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &window);
            QObject::connect(notifier, &QSocketNotifier::activated, &window, [&core] {
                for (const DeviceEvent& event : core->ReadDeviceEvents())
                    Guard([&] { core->DeviceChange(event); });
            });
        }
    };
    hooks.onComTick = [&core] { core->ComTick(); };
    hooks.onWatchSerialTick = [&core] { core->WatchSerialTick(); };
    return hooks;
}

}  // namespace dialscope
