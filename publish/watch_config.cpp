#include "publish/watch_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <toml++/toml.h>

#include "publish/exec_runner.h"
#include "publish/mqtt_publisher.h"

namespace dialscope::publish {

namespace {

std::string TooLarge(const std::string& path) {
    return "The configuration file " + path + " is larger than " + std::to_string(kMaxConfigBytes >> 20) +
           " MiB; a watch configuration holds a few settings. Check that --config names the right file.";
}

// The whole file, refused before it is read when it is too large (a stream
// that never ends, such as a device, is cut off at the same size).
bool ReadAll(const std::string& path, std::string* text, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "Cannot read the configuration file " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kMaxConfigBytes) {
        ::close(fd);
        *error = TooLarge(path);
        return false;
    }
    text->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "Cannot read the configuration file " + path + ": " + std::strerror(errno) + ".";
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > static_cast<size_t>(kMaxConfigBytes)) {
            ::close(fd);
            *error = TooLarge(path);
            return false;
        }
    }
    ::close(fd);
    return true;
}

std::string OutOfLimit(const Limit& limit) {
    return "'" + std::string(limit.name.key) + "' must be " + limit.Rule() + ".";
}

}  // namespace

bool ReadWatchConfig(const std::string& path, WatchSettings* config, std::string* error) {
    std::string text;
    if (!ReadAll(path, &text, error)) return false;
    toml::table table;
    try {
        table = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        *error = path + " line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description()) + ".";
        return false;
    }

    WatchSettings out;
    // Not a structured binding: the lambdas below use the node, and clang 14
    // (the fuzz build's compiler) cannot capture a binding.
    for (auto&& entry : table) {
        const auto& keyName = entry.first;
        auto& node = entry.second;
        std::string key(keyName.str());
        auto line = keyName.source().begin.line;
        auto fail = [&](const std::string& why) {
            *error = path + " line " + std::to_string(line) + ": " + why;
            return false;
        };
        auto needString = [&](Setting<std::string>* slot, bool mayBeEmpty) {
            const auto* s = node.as_string();
            if (!s) return fail("'" + key + "' must be a quoted string.");
            if (!mayBeEmpty && s->get().empty()) return fail("'" + key + "' must not be empty.");
            *slot = s->get();
            return true;
        };

        if (key == "mqtt_url") {
            const auto* s = node.as_string();
            if (!s) return fail("'mqtt_url' must be a quoted string.");
            MqttUrlResult r = ParseMqttUrl(s->get(), UrlSource::ConfigFile);
            if (!r.ok) return fail("'mqtt_url': " + r.error);
            out.mqttUrl = r.url;
        } else if (key == "mqtt_password_file") {
            if (!needString(&out.mqttPasswordFile, false)) return false;
        } else if (key == "mqtt_ca_file") {
            if (!needString(&out.mqttCaFile, false)) return false;
        } else if (key == "instance_id") {
            if (!needString(&out.instanceId, false)) return false;
            if (!ValidInstanceId(*out.instanceId))
                return fail("'instance_id' may hold only letters, digits, '-', '_' and '.', 1 to 64 of them.");
        } else if (key == "discovery_prefix") {
            if (!needString(&out.discoveryPrefix, true)) return false;
            const std::string problem = out.discoveryPrefix->empty()
                                            ? std::string()
                                            : TopicPrefixProblem(*out.discoveryPrefix, kLongestDiscoverySuffix);
            if (!problem.empty()) return fail("'discovery_prefix' " + problem);
        } else if (key == "exec") {
            std::vector<std::string> argv;
            if (const auto* s = node.as_string()) {
                std::string why;
                if (!SplitCommand(s->get(), &argv, &why)) return fail("'exec': " + why);
            } else if (const auto* a = node.as_array()) {
                for (const auto& item : *a) {
                    if (!item.is_string()) return fail("'exec' must be a list of quoted strings.");
                    argv.push_back(**item.as_string());
                }
            } else {
                return fail("'exec' must be a command in quotes or a list of quoted arguments.");
            }
            // Either form: "''" splits into one empty word, which no program is called.
            if (argv.empty() || argv[0].empty()) return fail("'exec' must name a command.");
            out.exec = argv;
        } else if (key == "exec_timeout_seconds") {
            std::optional<double> v;
            if (const auto* i = node.as_integer()) v = static_cast<double>(i->get());
            if (const auto* f = node.as_floating_point()) v = f->get();
            if (!v || !kExecTimeout.Allows(*v)) return fail(OutOfLimit(kExecTimeout));
            out.execTimeoutSeconds = *v;
        } else if (key == "every_minutes") {
            const auto* i = node.as_integer();
            if (!i || !kEveryMinutes.Allows(static_cast<double>(i->get()))) return fail(OutOfLimit(kEveryMinutes));
            out.everyMinutes = static_cast<int>(i->get());
        } else if (key == "keep_days") {
            const auto* i = node.as_integer();
            if (!i || !kKeepDays.Allows(static_cast<double>(i->get()))) return fail(OutOfLimit(kKeepDays));
            out.keepDays = static_cast<int>(i->get());
        } else if (key == "history") {
            if (!needString(&out.history, false)) return false;
        } else if (key == "http") {
            if (!needString(&out.http, false)) return false;
        } else if (key == "port") {
            if (!needString(&out.port, false)) return false;
        } else {
            return fail("unknown key '" + key + "'.");
        }
    }
    *config = out;
    return true;
}

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error, std::string* warning) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "Cannot read the MQTT password file " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        *error = "The MQTT password file " + path + " is empty; its first line must be the password.";
        return false;
    }
    struct stat st {};
    warning->clear();
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH))
        *warning = "The MQTT password file " + path +
                   " can be read by every user of this machine; make it private (chmod 600 or 640).";
    *password = line;
    return true;
}

}  // namespace dialscope::publish
