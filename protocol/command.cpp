#include "protocol/crc.h"
#include "protocol/protocol.h"

namespace dialscope {

// The program only ever sends 6-byte command frames with an empty payload.
// The serial layer copies the bytes before writePort returns, so TxFrame can
// be reused by the next command within the same tick.
bool Protocol::SendCommand(uint8_t command) {
    uint8_t* tx = TxFrame;
    tx[0] = 0x7E;
    tx[1] = 0x7E;
    tx[2] = command;
    tx[3] = 0x00;
    uint16_t c = CrcBuffer(0, tx + 2, 2);
    tx[4] = static_cast<uint8_t>(c >> 8);
    tx[5] = static_cast<uint8_t>(c & 0xFF);
    s_.txLength = kTxFrameSize;
    return serial_.writePort(tx, static_cast<uint32_t>(s_.txLength));
}

}  // namespace dialscope
