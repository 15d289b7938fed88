// The call log as bytes: 8-bit text in the system code page, CR LF line ends.
// The log box is a view of it and "&Save" writes these bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dialscope {

class CallLog {
public:
    void Append(const uint8_t* bytes, size_t count) {
        bytes_.append(reinterpret_cast<const char*>(bytes), count);
    }
    void Clear() { bytes_.clear(); }
    const std::string& Bytes() const { return bytes_; }
    bool Empty() const { return bytes_.empty(); }

private:
    std::string bytes_;
};

}  // namespace dialscope
