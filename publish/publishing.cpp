#include "publish/publishing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "history/export.h"
#include "publish/collector.h"

namespace dialscope::publish {
namespace {

using namespace std::chrono_literals;

// How many unpublished calls are read from the history at a time; the rest
// are offered once these are acknowledged.
constexpr size_t kOfferBatch = 1000;
// How many owed calls wait in the runner at a time; the rest stay owed in the
// history and are handed over as these are run.
constexpr size_t kRunBatch = 10;

// The name of the broker password's credential in the service's unit.
constexpr const char* kPasswordCredential = "mqtt-password";

// The service is handed the password as a credential (LoadCredential=): a
// file in $CREDENTIALS_DIRECTORY that only the service's own user can read.
// Its first line is the password. No such file, or a blank one (the unit's
// fallback when the administrator has not written a password), is no password.
bool ReadPasswordCredential(std::string* password, std::string* error) {
    password->clear();
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir) return true;
    const std::string path = std::string(dir) + "/" + kPasswordCredential;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *error = "Cannot read the MQTT password credential " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    const int readError = errno;
    close(fd);
    if (n < 0) {
        *error = "Cannot read the MQTT password credential " + path + ": " + std::strerror(readError) + ".";
        return false;
    }
    *password = text.substr(0, text.find('\n'));
    if (!password->empty() && password->back() == '\r') password->pop_back();
    return true;
}

}  // namespace

ExecCall ExecCallOf(const history::StoredCall& call, history::DateOrder order, const std::string& json,
                    const std::string& instance) {
    const history::Shown s = history::ShowCall(call, order);
    ExecCall out;
    out.id = MqttPublisher::CallId(instance, call.id);
    out.number = call.id;
    out.json = json;
    out.env = {{"DIALSCOPE_CALL_ID", out.id},
               {"DIALSCOPE_CALL_RECEIVED", history::IsoUtc(call.receivedAt)},
               {"DIALSCOPE_CALL_LABEL", s.label},
               {"DIALSCOPE_CALL_LETTER", s.letter},
               {"DIALSCOPE_CALL_DATE", s.date},
               {"DIALSCOPE_CALL_TIME", s.time},
               {"DIALSCOPE_CALL_TEXT", s.text},
               {"DIALSCOPE_CALL_TONE_ONLY", call.fields.hasText ? "0" : "1"}};
    // The caller's name from the history's contacts; absent when unknown.
    if (const std::string name = history::NameText(call); !name.empty()) out.env["DIALSCOPE_CALL_NAME"] = name;
    return out;
}


std::string WatchLine(const history::StoredCall& call, history::DateOrder order, const std::string& instance) {
    std::string line = history::JsonLine(call, order);
    if (call.id == 0) return line;
    auto j = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!j.is_object()) return line;
    j["id"] = MqttPublisher::CallId(instance, call.id);
    return j.dump() + "\n";
}

bool MakePlan(const WatchSettings& settings, PublishPlan* plan, std::string* error, std::string* warning) {
    const auto given = [](const auto& setting) { return setting && setting.from == From::CommandLine; };
    if (settings.mqttUrl) {
        MqttOptions o;
        o.url = *settings.mqttUrl;
        // The first of: --mqtt-password-file, the service's credential, the
        // environment, mqtt_password_file in the configuration file.
        std::string credential;
        const char* env = std::getenv("DIALSCOPE_MQTT_PASSWORD");
        if (given(settings.mqttPasswordFile)) {
            if (!ReadPasswordFile(*settings.mqttPasswordFile, &o.password, error, warning)) return false;
        } else if (!ReadPasswordCredential(&credential, error)) {
            return false;
        } else if (!credential.empty()) {
            o.password = credential;
        } else if (env && *env) {
            o.password = env;
        } else if (settings.mqttPasswordFile) {
            if (!ReadPasswordFile(*settings.mqttPasswordFile, &o.password, error, warning)) return false;
        }
        if (settings.mqttCaFile) o.caFile = *settings.mqttCaFile;
        if (!o.caFile.empty() && !o.url.tls) {
            *error = std::string(kCaFileName.In(settings.mqttCaFile.from)) + " is for a TLS broker, but " +
                     o.url.Target() + " is plain mqtt://, which uses no certificate. Give an mqtts:// address " +
                     "or leave the CA file out.";
            return false;
        }
        if (!o.caFile.empty() && !CheckCaFile(o.caFile, error)) return false;
        if (settings.discoveryPrefix) o.discoveryPrefix = *settings.discoveryPrefix;
        const std::string problem = o.discoveryPrefix.empty()
                                        ? std::string()
                                        : TopicPrefixProblem(o.discoveryPrefix, kLongestDiscoverySuffix);
        if (!problem.empty()) {
            *error = std::string(kDiscoveryPrefixName.In(settings.discoveryPrefix.from)) + ": The discovery prefix " +
                     problem;
            return false;
        }
        // A hub keeps a sensor's state to 255 characters, and a tone-only
        // call has no text: the state is the text, cut, or "Tone only". The
        // whole call stays in the sensor's attributes.
        o.valueTemplate = "{{ 'Tone only' if value_json.tone_only else value_json.text[:255] }}";
        plan->mqtt = std::move(o);
    } else if (given(settings.mqttPasswordFile) || given(settings.mqttCaFile) || given(settings.discoveryPrefix)) {
        *error = "--mqtt-password-file, --mqtt-ca-file and --discovery-prefix need a broker: "
                 "give --mqtt URL (or mqtt_url in the configuration file).";
        return false;
    }
    if (settings.instanceId) plan->instance = *settings.instanceId;
    if (!plan->instance.empty() && !ValidInstanceId(plan->instance)) {
        *error = std::string(kInstanceIdName.In(settings.instanceId.from)) + ": the instance id \"" + plan->instance +
                 "\" cannot be used: give 1 to 64 letters, digits, '-', '_' or '.'.";
        return false;
    }

    if (settings.exec && !settings.exec->empty()) {
        ExecOptions o;
        o.argv = *settings.exec;
        const double seconds = settings.execTimeoutSeconds.value_or(30);
        o.timeLimit = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
        plan->exec = std::move(o);
    } else if (given(settings.execTimeoutSeconds)) {
        *error = "--exec-timeout needs a command: give --exec COMMAND (or exec in the configuration file).";
        return false;
    }
    return true;
}

Publishing::Publishing(PublishPlan plan, history::CallHistory* history, history::DateOrder order,
                       InstanceName* instance, ReportFn report)
    : plan_(std::move(plan)), history_(history), order_(order), instance_(instance), report_(std::move(report)) {}

Publishing::~Publishing() { Stop(); }

std::string ExecTarget(const std::vector<std::string>& argv) {
    std::string target = "exec:";
    for (const auto& word : argv) {
        if (target.size() > 5) target += ' ';
        const bool plain = !word.empty() && word.find_first_of(" \t\n'\"\\") == std::string::npos;
        if (plain) {
            target += word;
            continue;
        }
        target += '\'';
        for (char c : word) target += c == '\'' ? std::string("'\\''") : std::string(1, c);
        target += '\'';
    }
    return target;
}

bool Publishing::Start(std::string* error) {
    if (plan_.exec) {
        // Calls kept before this command was first configured are not owed to it.
        execTarget_ = ExecTarget(plan_.exec->argv);
        history_->RegisterTarget(execTarget_);
        std::weak_ptr<Runs> runs = runs_;
        runner_ = std::make_unique<ExecRunner>(
            *plan_.exec, report_,
            // On the runner's thread: only queue it; the history is the main thread's.
            [runs](const ExecCall& call, const ExecResult& result) {
                if (auto r = runs.lock()) {
                    std::lock_guard<std::mutex> lock(r->mu);
                    r->ended.emplace_back(call.number, result.kind != ExecResult::Stopped);
                }
            });
        if (!runner_->Start(error)) return false;
    }
    if (!plan_.mqtt) return true;
    target_ = plan_.mqtt->url.Target();
    // Calls kept before this broker and prefix were first configured are not owed to it.
    history_->RegisterTarget(target_);
    if (instance_->Known().empty()) {
        report_("No adapter is plugged in yet: publishing to " + target_ +
               " begins when one is, with an instance id made from the host name and the adapter's USB "
               "path. Give --instance-id to choose one.");
        return true;
    }
    return StartPublisher(error);
}

bool Publishing::StartPublisher(std::string* error) {
    plan_.mqtt->instance = instance_->Known();
    // A collector (serve --collect) asks here for the calls it missed.
    plan_.mqtt->subscriptions = {plan_.mqtt->url.prefix + "/" + plan_.mqtt->instance + "/replay/request"};
    std::weak_ptr<Acks> acks = acks_;
    publisher_ = std::make_unique<MqttPublisher>(
        *plan_.mqtt,
        // On the publisher's thread: only queue it; the history is the main thread's.
        [acks](int64_t callId) {
            if (auto a = acks.lock()) {
                std::lock_guard<std::mutex> lock(a->mu);
                a->ids.push_back(callId);
            }
        },
        report_);
    publisher_->SetReceiver([requests = std::weak_ptr<Requests>(requests_)](const std::string&, const std::string& payload) {
        auto r = requests.lock();
        if (!r) return;
        std::lock_guard<std::mutex> lock(r->mu);
        if (r->payloads.size() >= 16) r->overflow = true;  // each collector asks again
        else r->payloads.push_back(payload);
    });
    if (!publisher_->Start(error)) {
        publisher_.reset();
        return false;
    }
    Offer();
    return true;
}

void Publishing::Tick(const std::vector<history::StoredCall>& newCalls) {
    const auto now = std::chrono::steady_clock::now();
    if (runner_) {
        const bool ran = DrainRuns();
        if (ran || !newCalls.empty() || (feedAgain_ && now >= nextFeed_)) Feed();
    }
    if (!plan_.mqtt) return;
    if (!publisher_) {
        if (instance_->Known().empty()) return;
        std::string error;
        if (!StartPublisher(&error)) {
            report_(error);
            plan_.mqtt.reset();  // said once; the watcher goes on printing calls
            return;
        }
        report_("Publishing to " + target_ + " as instance " + plan_.mqtt->instance + ".");
    }
    Drain();
    if (!newCalls.empty() || (offerAgain_ && now >= nextOffer_)) Offer();
    AnswerReplay();
}

void Publishing::AnswerReplay() {
    std::string payload;
    bool overflow = false;
    {
        std::lock_guard<std::mutex> lock(requests_->mu);
        if (requests_->payloads.empty()) return;
        payload = std::move(requests_->payloads.front());
        requests_->payloads.pop_front();
        std::swap(overflow, requests_->overflow);
    }
    const std::string& instance = plan_.mqtt->instance;
    const std::string topic = plan_.mqtt->url.prefix + "/" + instance + "/replay/request";
    if (overflow) report_("Replay requests came faster than they could be answered; some were left out.");
    ReplayRequest request;
    std::string why;
    if (!ReadReplayRequest(topic, payload, &request, &why)) {
        report_("Ignored a replay request on " + topic + ": " + why + ".");
        return;
    }
    auto calls = history_->CallsAfter(request.after, kReplayPage + 1);
    const bool more = calls.size() > kReplayPage;
    if (more) calls.resize(kReplayPage);
    std::vector<std::string> payloads;
    for (const auto& call : calls) {
        std::string line = WatchLine(call, order_, instance);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        payloads.push_back(std::move(line));
    }
    for (std::string& message : ReplayAnswer(payloads, more))
        if (!publisher_->Send(request.replyTo, std::move(message))) break;  // the collector asks again
}

void Publishing::Offer() {
    if (!publisher_) return;
    offerAgain_ = false;
    const size_t limit = kOfferBatch + handedOver_.size();
    const auto calls = history_->Unpublished(target_, limit);
    // A full batch: there may be more behind it.
    if (calls.size() >= limit) offerAgain_ = true;
    for (const auto& call : calls) {
        if (handedOver_.count(call.id)) continue;
        if (!publisher_->Publish(call.id, history::JsonLine(call, order_))) {
            offerAgain_ = true;  // the publisher's queue is full: later, in order
            break;
        }
        handedOver_.insert(call.id);
    }
    nextOffer_ = std::chrono::steady_clock::now() + 5s;
}

void Publishing::Drain() {
    std::vector<int64_t> ids;
    {
        std::lock_guard<std::mutex> lock(acks_->mu);
        ids.swap(acks_->ids);
    }
    for (int64_t id : ids) {
        history_->MarkPublished(target_, id);
        handedOver_.erase(id);
    }
    if (!ids.empty() && offerAgain_) nextOffer_ = {};
}

void Publishing::Feed() {
    feedAgain_ = false;
    if (running_.size() >= kRunBatch) return;  // more once one of these has run
    for (const auto& call : history_->Unpublished(execTarget_, kRunBatch + running_.size())) {
        if (running_.size() >= kRunBatch) break;
        if (running_.count(call.id)) continue;
        const std::string& instance = instance_->Now();
        if (!runner_->Submit(ExecCallOf(call, order_, WatchLine(call, order_, instance), instance))) {
            feedAgain_ = true;  // still owed: handed over later, in order
            nextFeed_ = std::chrono::steady_clock::now() + 5s;
            break;
        }
        running_.insert(call.id);
    }
}

bool Publishing::DrainRuns() {
    std::vector<std::pair<int64_t, bool>> ended;
    {
        std::lock_guard<std::mutex> lock(runs_->mu);
        ended.swap(runs_->ended);
    }
    for (const auto& [id, ran] : ended) {
        // A run the stop cut short stays owed: it is run again at the next start.
        if (ran) history_->MarkPublished(execTarget_, id);
        running_.erase(id);
    }
    return !ended.empty();
}

void Publishing::Stop() {
    if (runner_) {
        runner_->Stop();
        DrainRuns();
        running_.clear();
        const size_t owed = history_->Unpublished(execTarget_, kOfferBatch).size();
        if (owed > 0)
            report_((owed == 1 ? std::string("1 call has") : std::to_string(owed) + " calls have") +
                   " not been run through the command yet; the watcher runs " + (owed == 1 ? "it" : "them") +
                   " when it starts again.");
        runner_.reset();
    }
    if (publisher_) {
        publisher_->Stop();
        Drain();  // no acknowledgement comes after Stop returns
        publisher_.reset();
    }
}

}  // namespace dialscope::publish
