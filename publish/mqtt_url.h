// The broker address a watcher publishes to: mqtt[s]://[user@]host[:port][/prefix].
#pragma once

#include <cstddef>
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

// An MQTT topic is at most 65,535 bytes of UTF-8.
constexpr std::size_t kMaxTopicBytes = 65535;
// The most the publisher adds after the URL's prefix: "/<instance of 64>/status".
constexpr std::size_t kLongestTopicSuffix = 1 + 64 + 1 + 6;

// Why `prefix` cannot begin a topic that has `suffixBytes` more after it (plain words,
// starting with "has" or "is"), or empty when it can: '+', '#', control characters and
// NUL, text that is not UTF-8, and a topic over 65,535 bytes are refused.
std::string TopicPrefixProblem(const std::string& prefix, std::size_t suffixBytes);

}  // namespace dialscope::publish
