#include "publish/instance_name.h"

#include <unistd.h>

#include "ports/registry_sysfs.h"
#include "publish/mqtt_publisher.h"

namespace dialscope::publish {
namespace {

using namespace std::chrono_literals;

std::string ShortHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "dialscope";
    std::string host(name);
    return host.substr(0, host.find('.'));
}

}  // namespace

const std::string& InstanceName::Known() {
    const auto now = std::chrono::steady_clock::now();
    if (id_.empty() && now >= nextLook_) {
        nextLook_ = now + 1s;
        id_ = DefaultInstanceId();
    }
    return id_;
}

const std::string& InstanceName::Now() {
    nextLook_ = {};
    if (Known().empty()) id_ = MakeInstanceId(ShortHostName());
    return id_;
}

std::string DefaultInstanceId() {
    for (const auto& usb : ReadSysfsView(DefaultSysfsRoot()).usbDevices)
        if (usb.vendorId == "067b" && usb.productId == "2303" && !usb.portName.empty())
            return MakeInstanceId(ShortHostName() + "-" + usb.name);
    return {};
}

}  // namespace dialscope::publish
