#include "ports/port_list.h"

#include <utility>

namespace dialscope {

bool BeginsWith(std::string_view text, std::string_view name) {
    return text.size() >= name.size() && text.compare(0, name.size(), name) == 0;
}

void PortList::AppendPort(std::string deviceKey, std::string comPort, uint8_t present,
                          std::string presenceKey) {
    records_.push_back(
        PortRecord{std::move(deviceKey), std::move(comPort), present, std::move(presenceKey)});
}

int32_t PortList::PortCount() const { return static_cast<int32_t>(records_.size()); }

const PortRecord* PortList::At(int32_t position) const {
    if (position < 1 || position > PortCount()) return nullptr;
    return &records_[static_cast<size_t>(position) - 1];
}

int32_t PortList::FirstPresentPort() const { return NextPresentPort(0); }

uint8_t PortList::IsPortPresentAt(int32_t position) const {
    const PortRecord* r = At(position);
    return r ? r->present : 0;
}

int32_t PortList::NextPresentPort(int32_t position) const {
    // Widened so that a position near INT32_MAX cannot wrap around.
    int64_t p = static_cast<int64_t>(position) + 1;
    if (p < 1) p = 1;
    for (; p <= PortCount(); ++p) {
        if (records_[static_cast<size_t>(p) - 1].present != 0) return static_cast<int32_t>(p);
    }
    return 0;
}

uint8_t PortList::PortPresentByName(std::string_view name) const {
    for (const PortRecord& r : records_) {
        if (!r.comPort.empty() && BeginsWith(r.comPort, name)) return r.present;
    }
    return 0;
}

std::string PortList::GetPortField(int32_t position, int field) const {
    const PortRecord* r = At(position);
    if (!r) return {};
    switch (field) {
    case 1: return r->deviceKey;
    case 2: return r->comPort;
    case 3: return r->present ? "1" : "0";
    default: return r->presenceKey;
    }
}

bool PortList::SetPortField(int32_t position, int field, std::string_view text) {
    if (!At(position)) return false;
    PortRecord& r = records_[static_cast<size_t>(position) - 1];
    switch (field) {
    case 1: r.deviceKey = text; break;
    case 2: r.comPort = text; break;
    case 3: r.present = (text == "1") ? 1 : 0; break;
    default: r.presenceKey = text; break;
    }
    return true;
}

void PortList::ClearPorts() { records_.clear(); }

}  // namespace dialscope
