#include "publish/watch_settings.h"

#include <cmath>
#include <sstream>

#include "publish/exec_runner.h"

namespace dialscope::publish {
namespace {

std::string Number(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

template <typename T>
void Take(const std::optional<T>& given, Setting<T>* slot) {
    if (!given) return;
    *slot = *given;
    slot->from = From::CommandLine;
}

template <typename T>
Setting<T> First(const Setting<T>& commandLine, const Setting<T>& file) {
    return commandLine ? commandLine : file;
}

}  // namespace

bool Limit::Allows(double value) const {
    return value >= min && value <= max && (!whole || value == std::floor(value));
}

std::string Limit::Rule() const {
    return std::string(what) + " from " + Number(min) + " to " + Number(max) + after;
}

bool FromCommandLine(const CommandLineWatch& given, WatchSettings* settings, std::string* error) {
    WatchSettings out;
    if (given.mqttUrl) {
        auto parsed = ParseMqttUrl(*given.mqttUrl);
        if (!parsed.ok) {
            *error = parsed.error;
            return false;
        }
        out.mqttUrl = parsed.url;
        out.mqttUrl.from = From::CommandLine;
    }
    if (given.exec) {
        std::vector<std::string> argv;
        if (!SplitCommand(*given.exec, &argv, error)) {
            *error = "--exec: " + *error;
            return false;
        }
        out.exec = argv;
        out.exec.from = From::CommandLine;
    }
    Take(given.mqttPasswordFile, &out.mqttPasswordFile);
    Take(given.mqttCaFile, &out.mqttCaFile);
    Take(given.instanceId, &out.instanceId);
    Take(given.discoveryPrefix, &out.discoveryPrefix);
    Take(given.execTimeoutSeconds, &out.execTimeoutSeconds);
    Take(given.everyMinutes, &out.everyMinutes);
    Take(given.keepDays, &out.keepDays);
    Take(given.history, &out.history);
    Take(given.http, &out.http);
    *settings = out;
    return true;
}

WatchSettings Merge(const WatchSettings& commandLine, const WatchSettings& file) {
    WatchSettings out;
    out.mqttUrl = First(commandLine.mqttUrl, file.mqttUrl);
    out.mqttPasswordFile = First(commandLine.mqttPasswordFile, file.mqttPasswordFile);
    out.mqttCaFile = First(commandLine.mqttCaFile, file.mqttCaFile);
    out.instanceId = First(commandLine.instanceId, file.instanceId);
    out.discoveryPrefix = First(commandLine.discoveryPrefix, file.discoveryPrefix);
    out.exec = First(commandLine.exec, file.exec);
    out.execTimeoutSeconds = First(commandLine.execTimeoutSeconds, file.execTimeoutSeconds);
    out.everyMinutes = First(commandLine.everyMinutes, file.everyMinutes);
    out.keepDays = First(commandLine.keepDays, file.keepDays);
    out.history = First(commandLine.history, file.history);
    out.http = First(commandLine.http, file.http);
    out.port = First(commandLine.port, file.port);
    return out;
}

}  // namespace dialscope::publish
