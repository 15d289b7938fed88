// What `dialscope-cli watch` does with each new call besides printing it: send
// it to an MQTT broker (--mqtt) and run a command for it (--exec).
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
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "history/call_history.h"
#include "publish/exec_runner.h"
#include "publish/mqtt_publisher.h"
#include "publish/watch_config.h"

namespace dialscope::cli {

// The watch options that come from the command line or the configuration
// file. Unset means "not given"; the command line wins over the file.
struct PublishSettings {
    std::optional<std::string> mqttUrl;
    std::optional<std::string> passwordFile;
    std::optional<std::string> caFile;
    std::optional<std::string> instanceId;
    std::optional<std::string> discoveryPrefix;
    std::optional<std::string> exec;  // one string, quoted like a shell's
    std::optional<double> execTimeoutSeconds;
};

// The settings made ready to use: the URL parsed, the password read, the
// command split. False with *error (plain words) when something is wrong.
struct PublishPlan {
    std::string instance;  // given with --instance-id or instance_id; empty: the default
    std::optional<publish::MqttOptions> mqtt;  // its instance is set when the publisher starts
    std::optional<publish::ExecOptions> exec;
};
bool MakePlan(const PublishSettings& cli, const publish::WatchConfig& file, PublishPlan* plan,
              std::string* error, std::string* warning);

// The default instance id: the host name and the USB path of the first
// adapter that has a port ("kitchen-1-1.4"); empty while no adapter is plugged in.
std::string DefaultInstanceId();

// The watcher's instance id, part of every call id it hands on ("kitchen-7" on stdout,
// to the broker and to the command alike, so calls of several boxes never share one):
// the one given, or the default. Fixed once known.
class InstanceName {
public:
    explicit InstanceName(std::string given) : id_(std::move(given)) {}
    // Empty while no adapter is plugged in; looks for one at most once a second.
    const std::string& Known();
    // Known(), or else the host name alone: a call is being handed on now.
    const std::string& Now();

private:
    std::string id_;
    std::chrono::steady_clock::time_point nextLook_{};
};

// The call's JSON line as the watcher hands it on: its "id" is "<instance>-<n>" (null
// for a call not in a history).
std::string WatchLine(const history::StoredCall& call, history::DateOrder order, const std::string& instance);

class Publishing {
public:
    Publishing(PublishPlan plan, history::CallHistory* history, history::DateOrder order, InstanceName* instance);
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

    const publish::MqttPublisher* publisher() const { return publisher_.get(); }

private:
    bool StartPublisher(std::string* error);
    void Offer();  // hands the history's unpublished calls to the publisher
    void Drain();  // marks acknowledged calls
    void Feed();   // hands the command's owed calls to the runner, oldest first
    bool DrainRuns();  // marks the calls whose command run ended; true when any did

    PublishPlan plan_;
    history::CallHistory* history_;
    history::DateOrder order_;
    InstanceName* instance_;
    std::string target_;
    std::unique_ptr<publish::MqttPublisher> publisher_;
    std::unique_ptr<publish::ExecRunner> runner_;
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
};

// `watch --test-call`: sends one call marked as a test to every configured output
// (the broker as a new call, the command once) and says per output, on stdout,
// whether it took it. Opens no port and never touches the history. Returns the
// program's exit status.
int SendTestCall(const PublishPlan& plan, history::DateOrder order);

// The command's target in the history: its words, quoted where needed, after
// "exec:". Another command is another target.
std::string ExecTarget(const std::vector<std::string>& argv);

}  // namespace dialscope::cli
