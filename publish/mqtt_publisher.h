// Publishes each new call to an MQTT broker, for home-automation hubs and anything
// else on the same bus.
//
// Topics, for prefix P and instance id I (several watchers share one broker, each with
// its own instance id):
//   P/I/call    every call, QoS 1, not retained: one message per call
//   P/I/last    the latest call, QoS 1, retained: what a subscriber sees on arrival and
//               the hub sensor's attributes, so kept under kMaxAttributesBytes (see
//               AttributesPayload)
//   P/I/event   {"event_type": "call", ...} once per call, QoS 1, not retained: the
//               hub's event entity, which automations trigger on
//   P/I/status  "online" (retained) while connected; "offline" (retained) is the last
//               will, so the broker sets it when the watcher vanishes, and is also
//               published by Stop()
//   P/I/replay/request  subscribed: a collector (serve --collect) asks for the calls
//               it missed; see collector.h
//   D/sensor/dialscope_I/last_call/config   discovery configs (retained) in the
//   D/event/dialscope_I/call/config         widely used hub convention, D = discovery
//               prefix ("homeassistant")
//
// A call's payload is the caller's JSON object with "id": "I-<callId>" put first (in
// place of any "id" of its own). The id is made here (CallId), from the instance and
// the history's call number, so every copy of a call (a re-send after a reconnect, a
// re-send after a restart) carries the same id and subscribers can drop duplicates.
// The watcher's stdout and its per-call command carry the same id.
//
// Nothing is lost while the broker is away: calls wait in order until the broker has
// acknowledged them (PUBACK on P/I/call), and only then is onPublished called, on the
// publisher's thread. Unacknowledged calls are sent again, in order, after every
// reconnect; their event is not fired again. The connection is retried with a doubling
// delay (1 s up to 60 s).
//
// Threading: Publish() and Stop() may be called from any thread. The callbacks run on
// the publisher's own thread and must not call Stop(); they may call Publish().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "publish/mqtt_url.h"

namespace dialscope::publish {

struct MqttOptions {
    MqttUrl url;
    std::string password;            // empty: none sent
    std::string instance;            // see ValidInstanceId
    std::string caFile;              // mqtts: empty means the system's store (caPath)
    std::string caPath = "/etc/ssl/certs";
    int keepaliveSeconds = 30;
    std::string discoveryPrefix = "homeassistant";  // empty: no discovery configs
    // The sensor's state, from the last call's JSON (the hub's template language).
    std::string valueTemplate = "{{ value_json.text }}";
    std::chrono::milliseconds firstRetry{1000};
    // A broker that takes the TCP connection but sends no CONNACK within this is
    // reported (and the connection tried again).
    std::chrono::milliseconds connackWait{10000};
    std::chrono::milliseconds longestRetry{60000};
    std::size_t maxQueued = 10000;   // calls waiting for the broker; see Publish()
    // A short visit beside a running watcher (a test call): a client id of its own, so
    // that the watcher keeps its connection, and no status: no "online", no last will,
    // no "offline" on Stop, which waits instead for the broker to take what was sent.
    bool visitor = false;
    // A client that only listens and asks (serve --collect): no status, no last will,
    // no discovery configs, no calls of its own; the instance id is unused.
    bool collector = false;
    std::string clientId;      // empty: "dialscope-<instance>"
    // false: the broker keeps the subscriptions and queues their QoS 1 messages while
    // the client is away (a persistent session; needs a fixed clientId).
    bool cleanSession = true;
    // Topic filters subscribed with QoS 1 on every connection; what arrives goes to the
    // receiver (SetReceiver).
    std::vector<std::string> subscriptions;
};

// The most the discovery topics add after the discovery prefix, for a 64-byte instance.
constexpr std::size_t kLongestDiscoverySuffix = 18 + 64 + 17;  // "/sensor/dialscope_I/last_call/config"
// The hub keeps an entity's attributes only while their JSON is under 16 KB.
constexpr std::size_t kMaxAttributesBytes = 16000;

// A call's payload as the hub's attributes take it: under kMaxAttributesBytes. A longer
// one loses "text_hex", then the end of "text", and says so in "trimmed" (the names of
// the fields shortened). Anything else is returned as it is.
std::string AttributesPayload(const std::string& payload);

// Whether the CA file can be used to check a broker: readable and holding at least one
// certificate. False with *error in plain words.
bool CheckCaFile(const std::string& path, std::string* error);

// Letters, digits, '-', '_' and '.'; 1 to 64 of them. The id becomes a topic level,
// part of every call id and the hub's entity ids.
bool ValidInstanceId(const std::string& id);
// Maps any other character to '-' and trims to 64 ("pi-kitchen/1-1.2" -> "pi-kitchen-1-1.2").
std::string MakeInstanceId(const std::string& text);

class MqttPublisher {
public:
    using PublishedFn = std::function<void(std::int64_t callId)>;
    // Plain-words messages: connection problems (each kind once until the next good
    // connection) and "connected again" after a problem.
    using MessageFn = std::function<void(const std::string& message)>;
    // A message on a subscribed topic, on the publisher's thread.
    using ReceivedFn = std::function<void(const std::string& topic, const std::string& payload)>;

    MqttPublisher(MqttOptions options, PublishedFn onPublished, MessageFn onMessage);
    ~MqttPublisher();  // Stop()
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Checks the options (instance id, topic prefixes, CA file) and starts connecting in the
    // background. False with *error set when an option is wrong; nothing started.
    bool Start(std::string* error);
    // Before Start.
    void SetReceiver(ReceivedFn onReceived);

    // Queues a call; returns at once. `json` must be one JSON object. False (and
    // nothing queued) when it is not one, or when maxQueued calls already wait: the
    // call stays unpublished in the history and is offered again later. A call id
    // already waiting is not queued twice. `id` replaces CallId(instance, callId) as the
    // payload's "id" when given.
    bool Publish(std::int64_t callId, const std::string& json, const std::string& id = {});

    // Publishes "offline", disconnects and ends the thread, waiting at most `limit`
    // (a connect attempt to a silent host cannot be cut short; it is then left to
    // finish on its own, and no callback runs after Stop returns).
    // Queues one message (QoS 1, not retained) for any topic; returns at once. It goes
    // out once connected; one the connection loses before the broker took it is gone
    // (what is sent here is asked again when missing). False when maxQueued wait.
    bool Send(const std::string& topic, std::string payload);

    void Stop(std::chrono::milliseconds limit = std::chrono::seconds(3));

    std::size_t Waiting() const;  // calls not yet acknowledged
    bool Connected() const;       // the broker has accepted the connection

    std::string Topic(const std::string& leaf) const;  // "P/I/leaf"
    struct Discovery {
        std::string topic, config;  // the retained config's JSON
    };
    std::vector<Discovery> DiscoveryConfigs() const;  // none when discovery is off
    static std::string CallId(const std::string& instance, std::int64_t callId);

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace dialscope::publish
