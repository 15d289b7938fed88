// The adapter instances found in the registry, in the order the registry
// enumerates them. Positions are 1-based; 0 means "none".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dialscope {

struct PortRecord {
    std::string deviceKey;    // field 1: instance key the scan read
    std::string comPort;      // field 2: port name handed to openPort
    uint8_t present = 0;      // field 3: 1 while the adapter is plugged in
    std::string presenceKey;  // field 4: registry item that tells presence
};

// True when the first name.size() bytes of text equal name (byte for byte,
// case-sensitive). A longer text that starts with the name matches too.
bool BeginsWith(std::string_view text, std::string_view name);

class PortList {
public:
    void AppendPort(std::string deviceKey, std::string comPort, uint8_t present,
                    std::string presenceKey);
    int32_t PortCount() const;
    // 0 when no record is present.
    int32_t FirstPresentPort() const;
    // 0 when the position is outside 1 .. PortCount.
    uint8_t IsPortPresentAt(int32_t position) const;
    // Smallest present position after the given one; 0 when there is none.
    int32_t NextPresentPort(int32_t position) const;
    // present of the first record whose non-empty comPort begins with name.
    uint8_t PortPresentByName(std::string_view name) const;
    // Field 1 deviceKey, 2 comPort, 3 "1"/"0", any other presenceKey. Empty
    // text outside 1 .. PortCount.
    std::string GetPortField(int32_t position, int field) const;
    // Field 3 becomes 1 only for the exact text "1". False, and nothing
    // changed, outside 1 .. PortCount.
    bool SetPortField(int32_t position, int field, std::string_view text);
    void ClearPorts();

    const std::vector<PortRecord>& records() const { return records_; }

private:
    const PortRecord* At(int32_t position) const;

    std::vector<PortRecord> records_;
};

}  // namespace dialscope
