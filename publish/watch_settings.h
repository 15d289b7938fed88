// The watcher's settings, from the command line and from its configuration
// file (publish/watch_config.h) alike: one struct, one merge (the command line
// wins over the file), and one table of the limits both are checked against.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "publish/mqtt_url.h"

namespace dialscope::publish {

// Where a setting was given; messages name it the way it was given there.
enum class From { File, CommandLine };

// A setting that may be given, and where it was.
template <typename T>
struct Setting {
    std::optional<T> value;
    From from = From::File;

    Setting& operator=(T v) {
        value = std::move(v);
        return *this;
    }
    explicit operator bool() const { return value.has_value(); }
    const T& operator*() const { return *value; }
    const T* operator->() const { return &*value; }
    T value_or(T fallback) const { return value.value_or(std::move(fallback)); }
};

struct WatchSettings {
    Setting<MqttUrl> mqttUrl;
    Setting<std::string> mqttPasswordFile;
    Setting<std::string> mqttCaFile;
    Setting<std::string> instanceId;
    Setting<std::string> discoveryPrefix;
    Setting<std::vector<std::string>> exec;
    Setting<double> execTimeoutSeconds;
    Setting<int> everyMinutes;
    Setting<int> keepDays;
    Setting<std::string> history;
    Setting<std::string> http;  // ADDR:PORT of the web pages
    Setting<std::string> port;  // the file only: watch uses every adapter that appears
};

// What the command line gave, as typed: the address and the command are
// parsed and split by FromCommandLine.
struct CommandLineWatch {
    std::optional<std::string> mqttUrl;
    std::optional<std::string> mqttPasswordFile;
    std::optional<std::string> mqttCaFile;
    std::optional<std::string> instanceId;
    std::optional<std::string> discoveryPrefix;
    std::optional<std::string> exec;  // one string, quoted like a shell's
    std::optional<double> execTimeoutSeconds;
    std::optional<int> everyMinutes;
    std::optional<int> keepDays;
    std::optional<std::string> history;
    std::optional<std::string> http;
};

// The command line's settings, each marked as given there. False with *error
// naming the option when the address or the command cannot be used.
bool FromCommandLine(const CommandLineWatch& given, WatchSettings* settings, std::string* error);

// Each setting from the command line when it gave one, else from the file.
WatchSettings Merge(const WatchSettings& commandLine, const WatchSettings& file);

// A setting's name where it was given: "--exec-timeout" or "exec_timeout_seconds".
struct SettingName {
    const char* option;
    const char* key;
    const char* In(From from) const { return from == From::CommandLine ? option : key; }
};

// A number the watcher takes within bounds, the same on the command line and
// in the file.
struct Limit {
    SettingName name;
    double min, max;
    bool whole;          // a whole number
    const char* what;    // "a whole number of minutes"
    const char* after;   // said after the bounds: " (a week)"

    bool Allows(double value) const;
    // What it must be: "a whole number of minutes from 1 to 10080 (a week)".
    std::string Rule() const;
};

inline constexpr Limit kEveryMinutes{{"--every", "every_minutes"}, 1, 10080, true, "a whole number of minutes", " (a week)"};
inline constexpr Limit kKeepDays{{"--keep-days", "keep_days"}, 1, 36500, true, "a whole number of days", ""};
inline constexpr Limit kExecTimeout{
    {"--exec-timeout", "exec_timeout_seconds"}, 0.1, 86400, false, "a number of seconds above 0,", " (a day)"};
inline constexpr const Limit* kLimits[] = {&kEveryMinutes, &kKeepDays, &kExecTimeout};

inline constexpr SettingName kInstanceIdName{"--instance-id", "instance_id"};
inline constexpr SettingName kDiscoveryPrefixName{"--discovery-prefix", "discovery_prefix"};
inline constexpr SettingName kCaFileName{"--mqtt-ca-file", "mqtt_ca_file"};

// A dozen settings fit in a few hundred bytes; a file near this is the wrong file.
inline constexpr long kMaxConfigBytes = 1 << 20;

}  // namespace dialscope::publish
