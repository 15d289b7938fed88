// The watcher's configuration file reader on arbitrary file contents. The
// file is the user's or the packager's, but a broken one must still come back
// as a clean error: ReadWatchConfig returns true, or false with an error that
// names the file, and never throws, crashes or leaks. What it accepts keeps
// the limits its header documents.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "publish/watch_config.h"

#include "fuzz/fuzz_check.h"

namespace {

bool ValidInstanceId(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (unsigned char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One memory file for the whole run, rewritten for each input; the reader
    // opens it by name like any other file.
    static const int fd = memfd_create("watch.conf", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    CHECK(fd >= 0);
    CHECK(ftruncate(fd, 0) == 0);
    CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

    dialscope::publish::WatchSettings config;
    std::string error;
    bool ok = false;
    try {
        ok = dialscope::publish::ReadWatchConfig(path, &config, &error);
    } catch (...) {
        CHECK(false);  // an exception out of the reader is a finding
    }
    if (!ok) {
        // "<path> line N: ..." or "Cannot read the configuration file <path>: ...".
        CHECK(!error.empty());
        CHECK(error.find(path) != std::string::npos);
        return 0;
    }
    if (config.instanceId) CHECK(ValidInstanceId(*config.instanceId));
    if (config.discoveryPrefix) CHECK(config.discoveryPrefix->find_first_of("+#") == std::string::npos);
    if (config.exec) CHECK(!config.exec->empty() && !config.exec->front().empty());
    using dialscope::publish::kEveryMinutes, dialscope::publish::kExecTimeout, dialscope::publish::kKeepDays;
    if (config.execTimeoutSeconds) CHECK(kExecTimeout.Allows(*config.execTimeoutSeconds));
    if (config.everyMinutes) CHECK(kEveryMinutes.Allows(*config.everyMinutes));
    if (config.keepDays) CHECK(kKeepDays.Allows(*config.keepDays));
    for (const auto* s : {&config.mqttPasswordFile, &config.mqttCaFile, &config.history, &config.port})
        if (*s) CHECK(!(*s)->empty());
    return 0;
}
