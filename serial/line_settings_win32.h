// The line settings the dialogue needs, made from the DCB a COM port had
// before. Kept apart from openPort so a test can apply them to a DCB with
// every field set: Wine keeps only the XON/XOFF and CTS flow of a DCB in its
// tty, so only a plain struct shows that DSR flow, DSR sensitivity,
// abort-on-error and handshaking DTR/RTS lines left by another program are
// put right.
#pragma once

#include <windows.h>

#include <cstdint>

namespace dialscope {

void ApplyLineSettings(DCB& dcb, uint32_t baudRate, bool parityCheck, uint8_t byteSize, uint8_t stopBits);

}  // namespace dialscope
