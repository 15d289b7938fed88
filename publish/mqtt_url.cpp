#include "publish/mqtt_url.h"

#include <mosquitto.h>

#include <cctype>

namespace dialscope::publish {

namespace {

// The address as it may be shown: a password in it (refused anyway) never reaches a
// message or a log.
std::string Shown(const std::string& text) {
    auto start = text.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    auto at = text.find('@', start), end = text.find('/', start);
    if (at == std::string::npos || (end != std::string::npos && at > end)) return text;
    auto colon = text.find(':', start);
    if (colon == std::string::npos || colon > at) return text;
    return text.substr(0, colon + 1) + "***" + text.substr(at);
}

MqttUrlResult Fail(const std::string& text, const std::string& why) {
    MqttUrlResult r;
    std::string shown = Shown(text);
    if (shown.size() > 100) {  // a screenful of prefix helps nobody
        std::size_t cut = 80;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;  // whole characters
        shown = shown.substr(0, cut) + "...";
    }
    r.error = "The MQTT address \"" + shown + "\" " + why;
    return r;
}

}  // namespace

std::string TopicPrefixProblem(const std::string& prefix, std::size_t suffixBytes) {
    for (unsigned char c : prefix) {
        // '+' and '#' are subscription wildcards and a publisher's topic may not hold
        // them; control characters and NUL are refused by brokers.
        if (c == '+' || c == '#' || c < 0x20 || c == 0x7f)
            return "has '+', '#' or a control character, which MQTT topics cannot hold.";
    }
    if (prefix.size() > kMaxTopicBytes || mosquitto_validate_utf8(prefix.data(), static_cast<int>(prefix.size())) != 0)
        return prefix.size() > kMaxTopicBytes ? "is longer than an MQTT topic may be (65,535 bytes)."
                                              : "is not valid UTF-8, which MQTT topics must be.";
    if (prefix.size() + suffixBytes > kMaxTopicBytes)
        return "is " + std::to_string(prefix.size()) + " bytes long; with what follows it in a topic (up to " +
               std::to_string(suffixBytes) + " bytes) it exceeds the 65,535 bytes an MQTT topic may have.";
    return {};
}

std::string MqttUrl::Target() const {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(tls ? "mqtts://" : "mqtt://") + h + ":" + std::to_string(port) + "/" + prefix;
}

MqttUrlResult ParseMqttUrl(const std::string& text, UrlSource source) {
    MqttUrlResult r;
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
    } else if (text.rfind("mqtts://", 0) == 0) {
        r.url.tls = true;
        rest = text.substr(8);
    } else {
        return Fail(text, "must start with mqtt:// or mqtts://.");
    }
    r.url.port = r.url.tls ? 8883 : 1883;

    std::string authority = rest.substr(0, rest.find('/'));
    std::string path = rest.size() > authority.size() ? rest.substr(authority.size() + 1) : "";
    if (authority.find_first_of("?#") != std::string::npos || path.find('?') != std::string::npos)
        return Fail(text, "has a query or fragment; give only mqtt[s]://[user@]host[:port][/prefix].");

    auto at = authority.rfind('@');
    if (at != std::string::npos) {
        std::string userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        if (userinfo.find(':') != std::string::npos) {
            if (source == UrlSource::ConfigFile)
                return Fail(text, "holds a password. Keep it out of the configuration file: put it in a "
                                  "private file named by mqtt_password_file, or in the environment variable "
                                  "DIALSCOPE_MQTT_PASSWORD.");
            return Fail(text, "holds a password. Command lines are visible to every user of the machine: "
                              "put the password in a file given with --mqtt-password-file, or in the "
                              "environment variable DIALSCOPE_MQTT_PASSWORD.");
        }
        if (userinfo.empty()) return Fail(text, "has an empty user name before '@'.");
        r.url.user = userinfo;
    }

    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        auto close = authority.find(']');
        if (close == std::string::npos) return Fail(text, "has an unclosed '[' in its host.");
        r.url.host = authority.substr(1, close - 1);
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return Fail(text, "has text after its host's ']'.");
            portText = after.substr(1);
            if (portText.empty()) return Fail(text, "has an empty port after ':'.");
        }
    } else {
        auto colon = authority.find(':');
        r.url.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty()) return Fail(text, "has an empty port after ':'.");
        }
    }
    if (r.url.host.empty()) return Fail(text, "has no host name.");
    for (unsigned char c : r.url.host) {
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '%'))
            return Fail(text, "has a host name with a character a host name cannot hold.");
    }
    if (!portText.empty()) {
        long port = 0;
        for (unsigned char c : portText) {
            if (!std::isdigit(c) || port > 65535) return Fail(text, "has a port that is not a number from 1 to 65535.");
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535) return Fail(text, "has a port that is not a number from 1 to 65535.");
        r.url.port = static_cast<int>(port);
    }

    while (!path.empty() && path.back() == '/') path.pop_back();
    if (!path.empty()) {
        if (path.find("//") != std::string::npos || path[0] == '/')
            return Fail(text, "has an empty level in its topic prefix (\"//\").");
        std::string problem = TopicPrefixProblem(path, kLongestTopicSuffix);
        if (!problem.empty()) return Fail(text, "has a topic prefix that " + problem);
        r.url.prefix = path;
    }
    r.ok = true;
    return r;
}

}  // namespace dialscope::publish
