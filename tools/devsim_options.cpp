#include <charconv>
#include <cstdlib>
#include <string_view>

#include "tools/devsim.h"

namespace dialscope::devsim {

std::string UsageText() {
    return R"(usage: dialscope-devsim [options]

The caller-identification device on a pseudo-terminal. The first line on
stdout is "pty <slave path>"; further lines report what happens (README.md).

Call log:
  --records N             records to make up (default 20)
  --seed S                seed for the log, the noise and the faults (default 1)
  --log FILE              read the call log from FILE (format in README.md)
  --write-log FILE        write the call log to FILE in that format
  --expect FILE           write the log bytes a correct program shows for the
                          first download (refused when the line spoils it)
  --frame-payload N       text bytes per data frame, 1 to 76 (default 76)

Dialogue:
  --respond all|poll|none answer polls and downloads (all), polls only, or
                          nothing at all (a silent device); default all
  --poll-answer 1|0       the answer to a '2' poll (default 1)
  --fast                  send as fast as the pty takes bytes
  --rate N                bytes per second when paced (default 5760)
  --exit-after-downloads N  exit once N downloads have been sent and read

Faults (all but noise go into the first download only; frame indexes count
the download's frames from 0, the header, as --dump-frames lists them):
  --noise N               up to N noise bytes between frames (never a frame start)
  --noise-unsafe          let the noise hold frame starts (no --expect then)
  --bad-crc-frame K       send frame K with a wrong CRC
  --bad-crc-rate F        send each frame with a wrong CRC with chance F
  --wrong-letter-frame K  data frame K carries the next letter instead of its own
  --silence R:K:SECONDS   go quiet for SECONDS after the K-th data frame
                          (K from 1) of record R (from 0)
  --hangup-after-byte N   hang up after N bytes of the download

Fake adapter:
  --sysfs-root DIR        present the device as a USB adapter in a fake sysfs
  --dev-root DIR          tree under DIR, with a /dev link in --dev-root
  --tty-name NAME         (default ttyUSB0)
  --usb-port PORT         (default 1-1; 1-1.4 sits behind a hub)
  --vendor-id HEX         (default 067b)
  --product-id HEX        (default 2303)
  --serial TEXT           give the adapter a serial number
  --start-unplugged       wait for "plug" before presenting the device

Control:
  --stdin-control         read control lines from stdin: plug, unplug, status,
                          send 0, send 1, quit; end of input quits. Without it
                          stdin is never read and SIGINT or SIGTERM ends the run.
  --dry-run               write --expect / --write-log files and exit
  --dump-frames           list the download's frames and exit
  --help
  --version               print the program's version and exit
)";
}

namespace {

template <typename T>
bool Integer(std::string_view s, T lo, T hi, T* v) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
    return ec == std::errc() && p == s.data() + s.size() && *v >= lo && *v <= hi;
}

bool Real(const std::string& s, double lo, double hi, double* v) {
    if (s.empty()) return false;
    char* end = nullptr;
    *v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && *v >= lo && *v <= hi;
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
    CommandLine cl;
    SimOptions& sim = cl.sim;
    FaultOptions& f = sim.faults;
    int records = 20;
    uint64_t seed = 1;
    std::string logPath;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        auto need = [&]() -> bool {
            if (inlineValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        auto bad = [&](const std::string& what) {
            *error = arg + ": " + what;
            return false;
        };
        auto flag = [&]() { return !inlineValue; };

        if (arg == "--help" || arg == "-h") {
            cl.help = true;
        } else if (arg == "--version" && flag()) {
            cl.version = true;
        } else if (arg == "--fast" && flag()) {
            sim.fast = true;
        } else if (arg == "--noise-unsafe" && flag()) {
            f.noiseUnsafe = true;
        } else if (arg == "--start-unplugged" && flag()) {
            sim.startPlugged = false;
        } else if (arg == "--stdin-control" && flag()) {
            cl.stdinControl = true;
        } else if (arg == "--dry-run" && flag()) {
            cl.dryRun = true;
        } else if (arg == "--dump-frames" && flag()) {
            cl.dumpFrames = true;
        } else if (arg == "--records" || arg == "--seed" || arg == "--log" || arg == "--write-log" ||
                   arg == "--expect" || arg == "--frame-payload" || arg == "--respond" || arg == "--poll-answer" ||
                   arg == "--rate" || arg == "--exit-after-downloads" || arg == "--noise" ||
                   arg == "--bad-crc-frame" || arg == "--bad-crc-rate" || arg == "--wrong-letter-frame" ||
                   arg == "--silence" || arg == "--hangup-after-byte" || arg == "--sysfs-root" ||
                   arg == "--dev-root" || arg == "--tty-name" || arg == "--usb-port" || arg == "--vendor-id" ||
                   arg == "--product-id" || arg == "--serial") {
            if (!need()) return bad("needs a value");
            if (arg == "--records") {
                if (!Integer(value, 0, 100000, &records)) return bad("a count from 0 to 100000");
            } else if (arg == "--seed") {
                if (!Integer<uint64_t>(value, 0, UINT64_MAX, &seed)) return bad("a whole number");
            } else if (arg == "--log") {
                logPath = value;
            } else if (arg == "--write-log") {
                cl.writeLogPath = value;
            } else if (arg == "--expect") {
                cl.expectPath = value;
            } else if (arg == "--frame-payload") {
                size_t n;
                if (!Integer<size_t>(value, 1, kMaxFramePayload, &n)) return bad("1 to 76");
                sim.framePayload = n;
            } else if (arg == "--respond") {
                if (value == "all") sim.respond = Respond::kAll;
                else if (value == "poll") sim.respond = Respond::kPollOnly;
                else if (value == "none") sim.respond = Respond::kNone;
                else return bad("all, poll or none");
            } else if (arg == "--poll-answer") {
                if (value != "0" && value != "1") return bad("0 or 1");
                sim.pollAnswer = static_cast<uint8_t>(value[0]);
            } else if (arg == "--rate") {
                if (!Real(value, 1, 1e9, &sim.rate)) return bad("bytes per second, at least 1");
            } else if (arg == "--exit-after-downloads") {
                if (!Integer(value, 1, 1000000, &sim.exitAfterDownloads)) return bad("a count of at least 1");
            } else if (arg == "--noise") {
                if (!Integer(value, 0, 10000, &f.noiseMax)) return bad("0 to 10000 bytes");
            } else if (arg == "--bad-crc-frame") {
                if (!Integer(value, 0, 10000000, &f.badCrcFrame)) return bad("a frame index");
            } else if (arg == "--bad-crc-rate") {
                if (!Real(value, 0, 1, &f.badCrcRate)) return bad("a share from 0 to 1");
            } else if (arg == "--wrong-letter-frame") {
                if (!Integer(value, 0, 10000000, &f.wrongLetterFrame)) return bad("a frame index");
            } else if (arg == "--silence") {
                size_t a = value.find(':'), b = a == std::string::npos ? a : value.find(':', a + 1);
                if (b == std::string::npos || !Integer(std::string_view(value).substr(0, a), 0, 10000000, &f.silenceRecord) ||
                    !Integer(std::string_view(value).substr(a + 1, b - a - 1), 1, 10000000, &f.silenceAfter) ||
                    !Real(value.substr(b + 1), 0, 3600, &f.silenceSeconds))
                    return bad("RECORD:FRAME:SECONDS, e.g. 2:3:5.0");
            } else if (arg == "--hangup-after-byte") {
                if (!Integer(value, 0LL, 1LL << 40, &f.hangupAfterByte)) return bad("a byte count");
            } else if (arg == "--sysfs-root") {
                sim.adapter.sysfsRoot = value;
            } else if (arg == "--dev-root") {
                sim.adapter.devRoot = value;
            } else if (arg == "--tty-name") {
                sim.adapter.ttyName = value;
            } else if (arg == "--usb-port") {
                if (value.find('-') == std::string::npos || value.find('/') != std::string::npos)
                    return bad("a USB port name such as 1-1 or 1-1.4");
                sim.adapter.usbPort = value;
            } else if (arg == "--vendor-id") {
                sim.adapter.vendorId = value;
            } else if (arg == "--product-id") {
                sim.adapter.productId = value;
            } else if (arg == "--serial") {
                sim.adapter.serial = value;
            }
        } else {
            *error = "unknown option " + std::string(argv[i]);
            return false;
        }
    }

    if (sim.adapter.ttyName.empty() || sim.adapter.ttyName.find('/') != std::string::npos) {
        *error = "--tty-name: a plain device name such as ttyUSB0";
        return false;
    }
    if (sim.adapter.sysfsRoot.empty() != sim.adapter.devRoot.empty()) {
        *error = "--sysfs-root and --dev-root go together";
        return false;
    }
    sim.fakeAdapter = !sim.adapter.sysfsRoot.empty();
    f.seed = seed;
    if (!logPath.empty()) {
        if (!LoadCallLog(logPath, &sim.log, error)) return false;
    } else {
        sim.log = GenerateCallLog(records, seed);
    }
    *out = std::move(cl);
    return true;
}

}  // namespace dialscope::devsim
