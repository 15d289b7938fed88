#include "protocol/crc.h"

#include <array>

namespace dialscope {

uint16_t CrcStep(uint16_t crc, uint8_t byte) {
    uint16_t d = static_cast<uint16_t>(byte << 8);
    for (int i = 0; i < 8; ++i) {
        bool t = ((crc ^ d) & 0x8000) != 0;
        crc = static_cast<uint16_t>(crc << 1);
        if (t) crc ^= 0x1021;
        d = static_cast<uint16_t>(d << 1);
    }
    return crc;
}

namespace {

// One entry per value of the high byte: the effect of shifting it out.
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        uint16_t crc = static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[b] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t CrcBuffer(uint16_t initial, const uint8_t* bytes, int32_t count) {
    uint16_t crc = initial;
    for (int32_t i = 0; i < count; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
    return crc;
}

}  // namespace dialscope
