// The line settings the dialogue needs, made from whatever a tty had before.
// Kept apart from openPort so a test can apply them to a termios with every
// flag set: a pseudo-terminal forces eight bits and no parity on its own, so
// only a plain struct shows that a port left at seven bits with parity is
// put right.
#pragma once

#include <termios.h>

#include <cstdint>

namespace dialscope {

void ApplyLineSettings(termios& tio, uint32_t baudRate, bool parityCheck, uint8_t byteSize,
                       uint8_t stopBits);

}  // namespace dialscope
