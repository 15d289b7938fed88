// The broker address a watcher publishes to: mqtt[s]://[user@]host[:port][/prefix].
#pragma once

#include <string>

namespace dialscope::publish {

struct MqttUrl {
    bool tls = false;                 // mqtts://
    std::string host;
    int port = 0;                     // 1883, or 8883 with TLS, unless given
    std::string prefix = "dialscope"; // topic prefix; never empty, no leading or trailing '/'
    std::string user;                 // empty: connect without a user name

    // "mqtt://host:1883/prefix": what the call history records as the place a call
    // went to. The user is left out on purpose: publishing the same calls under another
    // account to the same broker and prefix reaches the same subscribers.
    std::string Target() const;
};

struct MqttUrlResult {
    bool ok = false;
    MqttUrl url;
    std::string error;  // plain words, naming the URL, when !ok
};

// Where the address was written: a password in it is refused either way, and
// the message says where it belongs instead.
enum class UrlSource { CommandLine, ConfigFile };

MqttUrlResult ParseMqttUrl(const std::string& text, UrlSource source = UrlSource::CommandLine);

}  // namespace dialscope::publish
