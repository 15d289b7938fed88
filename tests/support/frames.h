// Builders for device frames and a core harness driven by hand, for tests,
// benchmarks and fuzzing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <cstring>

#include "protocol/crc.h"
#include "protocol/protocol.h"
#include "tests/support/fakes.h"

namespace dialscope::testing {

using Bytes = std::string;

inline Bytes Frame(uint8_t command, const Bytes& payload = {}) {
    Bytes body;
    body += static_cast<char>(command);
    body += static_cast<char>(payload.size());
    body += payload;
    uint16_t c = CrcBuffer(0, reinterpret_cast<const uint8_t*>(body.data()),
                           static_cast<int32_t>(body.size()));
    Bytes f = "\x7E\x7E" + body;
    f += static_cast<char>(c >> 8);
    f += static_cast<char>(c & 0xFF);
    return f;
}

inline Bytes CorruptCrc(Bytes frame) {
    frame.back() = static_cast<char>(frame.back() ^ 0x55);
    return frame;
}

// Header frame: 8 unused bytes, then eight 8-byte labels (zero padded).
inline Bytes HeaderFrame(const std::vector<std::string>& labels) {
    Bytes payload(72, '\0');
    for (size_t k = 0; k < labels.size() && k < 8; ++k)
        for (size_t i = 0; i < labels[k].size() && i < 8; ++i) payload[8 + 8 * k + i] = labels[k][i];
    return Frame('D', payload);
}

inline Bytes BoundaryFrame(int label, int letter, int d1, int d2, int d3, int t1, int t2) {
    Bytes p;
    p += static_cast<char>((label & 0x0F) | ((letter & 3) << 4));
    for (int v : {d1, d2, d3, t1, t2}) p += static_cast<char>(v);
    return Frame('B', p);
}

// The data frames of one record's text, 'P' .. '^' in rotation.
inline Bytes DataFrames(const Bytes& text, size_t chunk = 76) {
    Bytes out;
    uint8_t seq = 'P';
    for (size_t at = 0; at < text.size(); at += chunk) {
        out += Frame(seq, text.substr(at, chunk));
        seq = seq == '^' ? 'P' : static_cast<uint8_t>(seq + 1);
    }
    return out;
}

// Bytes from the device reaching the dialogue: stored as the receive thread
// stores them, then parsed by one tick.
inline void DeviceSends(FakeLine& line, Protocol& protocol, const Bytes& bytes) {
    line.Receive(bytes);
    protocol.ComTick();
}

// The core on its own: real Protocol over fakes, bytes pushed into the ring
// as the receive thread would.
struct CoreHarness {
    FakeLine line;
    FakeWindow window;
    FakeSerial serial;
    Protocol protocol{line, window, serial};

    // polling: as start-up leaves the dialogue; else as it is made, waiting.
    explicit CoreHarness(bool polling = true) {
        if (polling) protocol.BeginPolling();
        serial.portOpen = true;
    }
    void Push(const Bytes& bytes) { line.Receive(bytes); }
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) protocol.ComTick();
    }
    void Feed(const Bytes& bytes) {
        Push(bytes);
        Tick();
    }
};

}  // namespace dialscope::testing
