// Many watchers, one history: `serve --collect` keeps the calls other machines'
// watchers publish, each with the watcher's instance id.
//
// Topics, for prefix P, a watcher's instance I and the collector's client id C:
//   P/+/call               subscribed, QoS 1, on a persistent session (clean session
//                          off, client id C): the broker queues the calls for C while
//                          it is away, up to its own limits
//   P/+/status             subscribed: a watcher that says "online" (retained, so also
//                          each one known when the collector connects) is asked for
//                          what the collector may have missed
//   P/I/replay/request     {"after": N, "reply_to": "P/I/replay/C"}: N is I's mark, up
//                          to which the collector keeps every call of I's history
//                          (history::CallHistory::LastCollected), or where the
//                          previous page of an answer ended
//   P/I/replay/C           the watcher's answer, QoS 1, never on P/I/call (no other
//                          subscriber sees a call twice): messages {"calls": [...]} of
//                          at most kReplayBatch calls as P/I/call carries them, then
//                          {"end": true, "more": true|false}; more: the page of
//                          kReplayPage calls was full, and the collector asks again
//
// A call is kept once by (I, its id in I's history). What comes in is checked
// before it is kept: anything malformed is left out with one line on stderr.
//
// The mark moves over the numbers that came in a row, and over the gaps (calls
// the watcher pruned, or damaged) that a whole answer showed, from its request
// through its last page ({"more": false}), when nothing of it was left out or refused here.
// A call beyond a gap is kept but moves nothing: a lost call is asked for again,
// and one message with a far number cannot make the replay skip any.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "history/call_history.h"
#include "publish/mqtt_publisher.h"

namespace dialscope::publish {

constexpr std::size_t kReplayPage = 500;   // calls answered per request
constexpr std::size_t kReplayBatch = 50;   // calls per answer message
constexpr std::size_t kMaxCollectedPayload = 256 * 1024;  // a larger message is no call of ours
constexpr std::size_t kMaxUnsaved = 10000;  // calls waiting for a busy history; those after are asked again

// A call as P/I/call carries it, read for the history of the collector. False with
// *why in plain words when it is not one: its id must be "<instance>-<n>", its
// received time not more than 10 minutes after nowMs (unix ms).
bool ReadCollectedCall(const std::string& instance, const std::string& json, int64_t nowMs,
                       history::CollectedCall* call, std::string* why);

// A replay request as the watcher of `requestTopic` ("P/I/replay/request") reads it:
// reply_to must be another level under "P/I/replay/". False with *why when not.
struct ReplayRequest {
    int64_t after = 0;
    std::string replyTo;
};
bool ReadReplayRequest(const std::string& requestTopic, const std::string& payload, ReplayRequest* request,
                       std::string* why);
// The answer's messages to a request: the calls' payloads (JSON objects) in
// batches, then the end marker.
std::vector<std::string> ReplayAnswer(const std::vector<std::string>& calls, bool more);

// "dialscope-serve-<16 hex digits>" from the history's path: the same serve of the
// same history finds its session again.
std::string CollectorClientId(const std::string& historyPath);

class Collector {
public:
    using ReportFn = std::function<void(const std::string& line)>;
    // mqtt: the broker, its password and CA file, and options.clientId; the rest is set here.
    // maxUnsaved: how many calls wait in memory while the history is busy.
    Collector(MqttOptions mqtt, std::string historyPath, ReportFn report, std::size_t maxUnsaved = kMaxUnsaved);
    ~Collector();  // Stop()
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Opens its own connection to the history and starts connecting in the
    // background. False with *error when an option is wrong or the history
    // cannot be opened.
    bool Start(std::string* error);
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialscope::publish
