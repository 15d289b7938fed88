// CRC-16 of the device's frames: polynomial 0x1021, initial value 0, MSB
// first, no reflection, no final XOR; sent high byte first.
#pragma once

#include <cstdint>

namespace dialscope {

uint16_t CrcStep(uint16_t crc, uint8_t byte);
uint16_t CrcBuffer(uint16_t initial, const uint8_t* bytes, int32_t count);

}  // namespace dialscope
