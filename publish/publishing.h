// What the watcher does with each new call besides printing it: send it to an
// MQTT broker (--mqtt) and run a command for it (--exec).
//
// Both outputs keep what they owe in the history, each as a target of its own:
// the broker by its address and prefix, the command by its words. A call is
// marked for the broker once the broker acknowledged it, and for the command
// once a run of the command for it has ended (however it ended); until then it
// stays owed in the file and is sent or run again after a restart, a crash or
// a reboot.
//
// Threading: everything here runs on the watcher's main thread, the one thread
// that touches the call history, except the publisher's acknowledgements and
// the runner's "done". They come on those threads and only go into
// mutex-protected queues; the next Tick() marks them in the history.
#pragma once

#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "history/call_history.h"
#include "publish/exec_runner.h"
#include "publish/instance_name.h"
#include "publish/mqtt_publisher.h"
#include "publish/watch_config.h"
#include "publish/watch_settings.h"

namespace dialscope::publish {

// The settings made ready to use: the URL parsed, the password read, the
// command split. False with *error (plain words) when something is wrong.
struct PublishPlan {
    std::string instance;  // given with --instance-id or instance_id; empty: the default
    std::optional<MqttOptions> mqtt;  // its instance is set when the publisher starts
    std::optional<ExecOptions> exec;
};
bool MakePlan(const WatchSettings& settings, PublishPlan* plan, std::string* error, std::string* warning);

// The call's JSON line as the watcher hands it on: its "id" is "<instance>-<n>" (null
// for a call not in a history).
std::string WatchLine(const history::StoredCall& call, history::DateOrder order, const std::string& instance);

// The command's call: the JSON line on its stdin and the DIALSCOPE_CALL_*
// variables (the fields as the JSON shows them), the call's id made from the
// instance.
ExecCall ExecCallOf(const history::StoredCall& call, history::DateOrder order, const std::string& json,
                    const std::string& instance);

class Publishing {
public:
    // report says what goes wrong or changes, one line of plain words at a time.
    using ReportFn = std::function<void(const std::string& line)>;
    Publishing(PublishPlan plan, history::CallHistory* history, history::DateOrder order, InstanceName* instance,
               ReportFn report);
    ~Publishing();  // Stop()

    // Starts the command runner, and the publisher once its instance id is
    // known. False with *error when an option turns out wrong.
    bool Start(std::string* error);
    // Main thread, every loop pass, with the calls the history just took as
    // new: hands the calls the command is owed to the runner, sends what the
    // broker is owed, marks what was acknowledged or run.
    void Tick(const std::vector<history::StoredCall>& newCalls);
    // Publishes "offline", stops the running command; marks the last acknowledged
    // and run calls, and says how many calls the command is still owed.
    void Stop();

    const MqttPublisher* publisher() const { return publisher_.get(); }

private:
    bool StartPublisher(std::string* error);
    void Offer();  // hands the history's unpublished calls to the publisher
    void Drain();  // marks acknowledged calls
    void Feed();   // hands the command's owed calls to the runner, oldest first
    bool DrainRuns();  // marks the calls whose command run ended; true when any did
    void AnswerReplay();  // one replay request of a collector, answered from the history

    PublishPlan plan_;
    history::CallHistory* history_;
    history::DateOrder order_;
    InstanceName* instance_;
    ReportFn report_;
    std::string target_;
    std::unique_ptr<MqttPublisher> publisher_;
    std::unique_ptr<ExecRunner> runner_;
    std::set<int64_t> handedOver_;  // given to the publisher, not yet acknowledged
    bool offerAgain_ = false;       // a call was refused or left for later
    std::chrono::steady_clock::time_point nextOffer_{};

    std::string execTarget_;
    std::set<int64_t> running_;  // handed to the runner, its run not ended yet
    bool feedAgain_ = true;      // look for owed calls on the next Tick
    std::chrono::steady_clock::time_point nextFeed_{};

    struct Acks {
        std::mutex mu;
        std::vector<int64_t> ids;
    };
    std::shared_ptr<Acks> acks_ = std::make_shared<Acks>();
    // The calls whose command run ended: true when it ran, false when the stop cut it short.
    struct Runs {
        std::mutex mu;
        std::vector<std::pair<int64_t, bool>> ended;
    };
    std::shared_ptr<Runs> runs_ = std::make_shared<Runs>();
    // Replay requests (collector.h) as they came, on the publisher's thread; a few at most.
    struct Requests {
        std::mutex mu;
        std::deque<std::string> payloads;
        bool overflow = false;
    };
    std::shared_ptr<Requests> requests_ = std::make_shared<Requests>();
};

// The command's target in the history: its words, quoted where needed, after
// "exec:". Another command is another target.
std::string ExecTarget(const std::vector<std::string>& argv);

}  // namespace dialscope::publish
