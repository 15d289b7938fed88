// Writes the seed corpora of the fuzz targets:
//   make_seeds <fuzz/corpus directory>
// creates <dir>/fuzz_byte_path, <dir>/fuzz_reg_file and <dir>/fuzz_uevent
// and (re)writes the seeds in them. The byte-path seeds start with the three
// set-up bytes that byte_path_fuzzer.cpp reads. After changing a seed:
//   cmake --build build-fuzz --target fuzz_make_seeds
//   build-fuzz/fuzz_make_seeds fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/frames.h"

namespace {

using namespace dialscope::testing;
namespace fs = std::filesystem;

// Set-up byte 0.
constexpr uint8_t kStart0 = 0x00, kStart1 = 0x01, kStart2 = 0x02;
constexpr uint8_t kPollWithD = 0x04;
constexpr uint8_t kRepairCrc = 0x10;
constexpr uint8_t kQuietRare = 0x20, kQuietOften = 0x40, kQuietLong = 0x60;
constexpr uint8_t kHoldPending = 0x80;

bool Write(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

std::string Seed(uint8_t setup, uint8_t chunkBits, uint8_t seed, const Bytes& device) {
    std::string s;
    s += static_cast<char>(setup);
    s += static_cast<char>(chunkBits);
    s += static_cast<char>(seed);
    return s + device;
}

struct Rng {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
};

// Record text with the bytes devices send: digits, zero bytes, CR LF, high
// bytes and runs of 0x7E.
Bytes Text(Rng& rng, size_t length) {
    Bytes t;
    for (size_t i = 0; i < length; ++i) {
        uint32_t r = rng.Next() % 40;
        if (r == 0) t += '\0';
        else if (r == 1 && i + 1 < length) { t += "\r\n"; ++i; }
        else if (r == 2) t += static_cast<char>(0x80 + rng.Next() % 0x80);
        else if (r == 3) t += '\x7E';
        else t += static_cast<char>('0' + rng.Next() % 10);
    }
    return t;
}

Bytes Header() { return HeaderFrame({"DESK", "HALL", "OFFICE", "", "KITCHEN1", "\x01\x7E", "ABC", "12345678"}); }

Bytes Boundary(Rng& rng) {
    return BoundaryFrame(static_cast<int>(rng.Next() % 8), static_cast<int>(rng.Next() % 4),
                         static_cast<int>(rng.Next() % 100), static_cast<int>(rng.Next() % 100),
                         static_cast<int>(rng.Next() % 100), static_cast<int>(rng.Next() % 100),
                         static_cast<int>(rng.Next() % 100));
}

// '1' from the device, the header, `records` records, 'E'.
Bytes Download(Rng& rng, int records, size_t maxText) {
    Bytes d = Frame('1') + Header();
    for (int i = 0; i < records; ++i) {
        size_t len = i % 4 == 1 ? 0 : rng.Next() % (maxText + 1);
        d += DataFrames(Text(rng, len), 1 + rng.Next() % 76) + Boundary(rng);
    }
    return d + Frame('E');
}

// Line noise with single 0x7E bytes in it; never two in a row and never one
// last, which would take the next frame's sync bytes away.
Bytes Noise(Rng& rng, size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) {
        bool sync = rng.Next() % 4 == 0 && i + 1 < n && (out.empty() || out.back() != '\x7E');
        char c = static_cast<char>(rng.Next() & 0xFF);
        out += sync ? '\x7E' : (c == '\x7E' ? '\x7D' : c);
    }
    return out;
}

bool ByteSeeds(const fs::path& dir) {
    bool ok = true;
    Rng rng{1};

    ok &= Write(dir / "clean_download", Seed(kStart1, 10, 1, Download(rng, 12, 300)));
    ok &= Write(dir / "clean_download_one_byte_ticks", Seed(kStart1, 0, 2, Download(rng, 3, 100)));

    {  // noise between and in front of frames
        Bytes d = Noise(rng, 9) + Frame('1') + Noise(rng, 5) + Header();
        for (int i = 0; i < 8; ++i)
            d += Noise(rng, rng.Next() % 6) + DataFrames(Text(rng, rng.Next() % 200), 60) +
                 Noise(rng, rng.Next() % 3) + Boundary(rng);
        d += "\x7E\x7E\x7E" + Frame('E');
        ok &= Write(dir / "noisy_download", Seed(kStart1, 3, 3, d));
    }
    {  // bad checksums on a data frame, a boundary frame and a header frame
        Bytes d = Frame('1') + CorruptCrc(Header()) + Header();
        d += Frame('P', "first") + CorruptCrc(Frame('Q', "lost")) + Frame('R', "after") + Boundary(rng);
        d += Frame('P', "text") + CorruptCrc(Boundary(rng));
        d += Frame('P', "next") + Boundary(rng) + Frame('E');
        ok &= Write(dir / "bad_crc_frames", Seed(kStart1, 6, 4, d));
    }
    {  // length bytes the frame buffer cannot hold, then frames that can
        Bytes d = Frame('1') + Header();
        for (int len : {77, 78, 126, 200, 255}) {
            d += "\x7E\x7EP";
            d += static_cast<char>(len);
            d += Bytes(static_cast<size_t>(len) + 2, '\x41');
        }
        d += Frame('P', Bytes(76, 'x')) + Boundary(rng) + Frame('E');
        ok &= Write(dir / "overlong_lengths", Seed(kStart1, 8, 5, d));
    }
    {  // wrong letters, '_', misses adding up across records to a restart
        Bytes d = Frame('1') + Header();
        d += Frame('Q', "miss") + Frame('P', "a") + Frame('Q', "b") + Frame('_', "c") + Frame('R', "d");
        d += Boundary(rng) + Frame('S', "x") + Frame('T', "y") + Boundary(rng);
        d += Frame('R', "third miss: restart") + Frame('P', "ignored while polling");
        d += Frame('1') + Header() + Frame('P', "again") + Frame('V', "z") + Boundary(rng);
        d += Frame('D', Bytes(72, '\0')) + Frame('1') + Frame('E');
        ok &= Write(dir / "sequence_misses", Seed(kStart1, 5, 6, d));
    }
    {  // the line goes quiet inside records
        Bytes d = Frame('1') + Header();
        for (int i = 0; i < 5; ++i) d += DataFrames(Text(rng, 150), 50) + Boundary(rng);
        ok &= Write(dir / "quiet_inside_records", Seed(kStart1 | kQuietOften, 7, 7, d + Frame('E')));
        ok &= Write(dir / "long_silences", Seed(kStart2 | kQuietLong, 6, 8, Frame('P', "begun") + Frame('Q', "more")));
    }
    {  // more than 99 records: wider record numbers
        Bytes d = Frame('1') + Header();
        for (int i = 0; i < 105; ++i) d += BoundaryFrame(i % 8, i % 4, 1, 2, 3, 4, 5);
        ok &= Write(dir / "many_records", Seed(kStart1, 11, 9, d + Frame('E')));
    }
    {  // a record longer than the text buffer takes
        Bytes d = Frame('1') + Header() + DataFrames(Bytes(8200, 'L'), 76) + Boundary(rng) + Frame('E');
        ok &= Write(dir / "record_too_long", Seed(kStart1, 11, 10, d));
    }
    {  // the device says '0' (not ready), then '1'; '0' in a download
        Bytes d = Frame('0') + Frame('1') + Frame('0') + Frame('1') + Header() + Frame('P', "x") + Frame('0') +
                  Frame('1') + Header() + Frame('B') + Frame('E');
        ok &= Write(dir / "not_ready_answers", Seed(kStart1 | kPollWithD, 4, 11, d));
        ok &= Write(dir / "waiting_state", Seed(kStart0 | kQuietRare, 4, 12, Frame('D', Bytes(72, 'L')) + Frame('1') + Frame('1')));
    }
    {  // odd frames: short header, short boundary frames, label index above 7,
       // dates above 99, a boundary frame with length 0 inside a record
        Bytes d = Frame('1') + Frame('D', "short") + Frame('P', "a") + Frame('B', "\x03") +
                  Frame('P', "b") + Frame('B', "\x0F\x63\x64\xFF") + Frame('P', "c") + Frame('B') +
                  Frame('Q', "d") + Frame('B', "\xFF\xFF\xFF\xFF\xFF\xFF\xFF") + Frame('P') + Boundary(rng) +
                  Frame('E') + Frame('P', "after the end");
        ok &= Write(dir / "odd_frames", Seed(kStart1 | kHoldPending, 3, 13, d));
    }
    {  // checksums left for the harness to repair: zeros in their place
        Bytes d;
        auto raw = [&](uint8_t cmd, const Bytes& payload) {
            Bytes f = "\x7E\x7E";
            f += static_cast<char>(cmd);
            f += static_cast<char>(payload.size());
            return f + payload + Bytes(2, '\0');
        };
        d = raw('1', "") + raw('D', Bytes(72, 'H')) + raw('P', "repaired") + raw('Q', "text") +
            raw('B', "\x21\x01\x02\x03\x04\x05") + raw('E', "");
        ok &= Write(dir / "repaired_checksums", Seed(kStart1 | kRepairCrc, 9, 20, d));
    }
    return ok;
}

bool RegSeeds(const fs::path& dir) {
    bool ok = true;
    ok &= Write(dir / "nt_layout.reg",
                "REGEDIT4\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_067B&PID_2303\\5&1a2b3c&0&1]\r\n"
                "\"DeviceDesc\"=\"USB-Serial Controller\"\r\n"
                "\"ConfigFlags\"=dword:00000000\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_067B&PID_2303\\5&1a2b3c&0&1\\Device Parameters]\r\n"
                "\"PortName\"=\"COM3\"\r\n"
                "@=\"default\"\r\n"
                "\"Data\"=hex:01,02,0a,\\\r\n"
                "  ff,7e\r\n"
                "\"Multi\"=hex(7):41,00,42,00,00\r\n"
                "; a comment\r\n"
                "\"Gone\"=-\r\n");
    ok &= Write(dir / "ninex_layout.reg",
                "REGEDIT4\n"
                "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_067B&PID_2303\\0001]\n"
                "\"Driver\"=\"Ports\\\\0003\"\n"
                "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Ports\\0003]\n"
                "\"PortName\"=\"COM4\"\n"
                "\"Quote\"=\"say \\\"hi\\\"\"\n"
                "[-HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_067B&PID_2303\\0002]\n");
    ok &= Write(dir / "errors.reg",
                "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"a\"=dword:123456789\n\"b\"=hex:1,\n");
    ok &= Write(dir / "bom_and_blank.reg", "\xEF\xBB\xBF\n\nREGEDIT4\n[HKEY_LOCAL_MACHINE]\n\"x\"=\"\"\n[HKEY_LOCAL_MACHINE\\a\\\\b]\n");
    return ok;
}

bool UeventSeeds(const fs::path& dir) {
    using namespace std::string_literals;
    bool ok = true;
    ok &= Write(dir / "tty_add",
                "add@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0"
                "ACTION=add\0DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0"
                "SUBSYSTEM=tty\0MAJOR=188\0MINOR=0\0DEVNAME=ttyUSB0\0SEQNUM=4242\0"s);
    ok &= Write(dir / "tty_remove",
                "remove@/devices/pci0000:00/usb1/1-1/ttyUSB0/tty/ttyUSB0\0ACTION=remove\0"
                "DEVPATH=/devices/pci0000:00/usb1/1-1/ttyUSB0/tty/ttyUSB0\0SUBSYSTEM=tty\0SEQNUM=4243\0"s);
    ok &= Write(dir / "usb_bind",
                "bind@/devices/pci0000:00/usb1/1-1/1-1:1.0\0ACTION=bind\0SUBSYSTEM=usb\0"
                "PRODUCT=67b/2303/300\0DRIVER=usbserial\0SEQNUM=4244\0"s);
    ok &= Write(dir / "libudev", "libudev\0\xfe\xed\xca\xfe\0\0\0\0ACTION=add\0SUBSYSTEM=tty\0"s);
    ok &= Write(dir / "cut_short", "add@/devices/x/tty/ttyUSB1\0ACTION=add\0SUBSYSTEM=tt"s);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    bool ok = true;
    for (const char* target : {"fuzz_byte_path", "fuzz_reg_file", "fuzz_uevent"})
        fs::create_directories(root / target);
    ok &= ByteSeeds(root / "fuzz_byte_path");
    ok &= RegSeeds(root / "fuzz_reg_file");
    ok &= UeventSeeds(root / "fuzz_uevent");
    return ok ? 0 : 1;
}
