#include "app/cli/test_call.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/cli/exit_codes.h"
#include "history/export.h"

namespace dialscope::cli {
namespace {

using namespace std::chrono_literals;

// How long a test call waits for the broker's acknowledgement.
constexpr auto kTestCallWait = 5s;

// A test call as the box would send it now: "TEST" on line 1, with today's date
// and the time (the box's clock is local time) in the fields' order.
history::StoredCall TestCallNow(history::DateOrder order) {
    history::StoredCall call;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    call.receivedAt = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    const int16_t year = static_cast<int16_t>(local.tm_year % 100), month = static_cast<int16_t>(local.tm_mon + 1),
                  day = static_cast<int16_t>(local.tm_mday);
    auto& raw = call.fields.dateTime;
    if (order == history::DateOrder::MDY) raw = {month, day, year, 0, 0};
    if (order == history::DateOrder::DMY) raw = {day, month, year, 0, 0};
    if (order == history::DateOrder::YMD) raw = {year, month, day, 0, 0};
    raw[3] = static_cast<int16_t>(local.tm_hour);
    raw[4] = static_cast<int16_t>(local.tm_min);
    const std::string label = "TEST    ";
    std::copy(label.begin(), label.end(), call.fields.label.begin());
    call.fields.text = "Dialscope test call";
    call.fields.hasText = true;
    return call;
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

void Report(const std::string& line) {
    std::fprintf(stderr, "dialscope-cli: %s\n", line.c_str());
    std::fflush(stderr);
}

int SendTestCall(const publish::PublishPlan& plan, history::DateOrder order) {
    if (!plan.mqtt && !plan.exec) {
        Report("No output is configured, so there is nothing to test: give --mqtt URL or --exec COMMAND (or "
               "mqtt_url or exec in the configuration file).");
        return kExitUsage;
    }
    publish::InstanceName instance(plan.instance);
    if (instance.Known().empty())
        Report("No adapter is plugged in and no instance id is given: the test call goes out as instance " +
               instance.Now() + ", which the watcher does not use once an adapter is plugged in. Give "
               "--instance-id to test the watcher's own topics.");
    const history::StoredCall call = TestCallNow(order);
    const std::string id = instance.Now() + "-test-" + std::to_string(call.receivedAt / 1000);
    auto j = nlohmann::ordered_json::parse(history::JsonLine(call, order));
    j["id"] = id;
    j["test"] = true;
    const std::string json = j.dump() + "\n";
    int code = kExitOk;

    if (plan.mqtt) {
        publish::MqttOptions o = *plan.mqtt;
        o.instance = instance.Now();
        o.visitor = true;
        const std::string where = o.url.host;
        std::mutex mu;
        std::condition_variable cv;
        bool acked = false;
        publish::MqttPublisher publisher(
            o,
            [&](int64_t) {
                std::lock_guard<std::mutex> lock(mu);
                acked = true;
                cv.notify_all();
            },
            Report);
        std::string error;
        if (!publisher.Start(&error)) {
            Report(error);
            return kExitUsage;
        }
        if (!publisher.Publish(0, json, id)) {
            Say("MQTT broker " + where + ": the test call could not be queued.");
            return kExitFailure;
        }
        bool took;
        {
            std::unique_lock<std::mutex> lock(mu);
            took = cv.wait_for(lock, kTestCallWait, [&] { return acked; });
        }
        const bool connected = publisher.Connected();
        publisher.Stop();
        if (took) {
            Say("MQTT broker " + where + ": test call published.");
        } else {
            Say("MQTT broker " + where + ": the broker did not take the test call within " +
                std::to_string(std::chrono::seconds(kTestCallWait).count()) + " s" +
                (connected ? "." : "; it could not be reached (see above)."));
            code = kExitFailure;
        }
    }

    if (plan.exec) {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<publish::ExecResult> result;
        publish::ExecRunner runner(*plan.exec, Report, [&](const publish::ExecCall&, const publish::ExecResult& r) {
            std::lock_guard<std::mutex> lock(mu);
            result = r;
            cv.notify_all();
        });
        publish::ExecCall exec = publish::ExecCallOf(call, order, json, instance.Now());
        exec.id = id;
        exec.env["DIALSCOPE_CALL_ID"] = id;
        exec.env["DIALSCOPE_TEST_CALL"] = "1";
        std::string error;
        if (!runner.Start(&error) || !runner.Submit(exec)) {
            Say("Command: not run: " + (error.empty() ? std::string("the runner did not take the call.") : error));
            return kExitFailure;
        }
        {
            // The runner's own time limit ends the command.
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return result.has_value(); });
        }
        runner.Stop();
        switch (result->kind) {
        case publish::ExecResult::Exited:
            Say("Command: ran, exit status " + std::to_string(result->code) + ".");
            break;
        case publish::ExecResult::Signalled:
            Say("Command: ended by signal " + std::to_string(result->code) + " (" + strsignal(result->code) + ").");
            break;
        case publish::ExecResult::TimedOut:
            Say("Command: ran longer than its time limit and was stopped.");
            break;
        case publish::ExecResult::NotStarted:
            Say("Command: could not be started (see above).");
            break;
        case publish::ExecResult::Stopped:
            Say("Command: stopped before it ended.");
            break;
        }
        if (result->kind != publish::ExecResult::Exited || result->code != 0) code = kExitFailure;
    }
    return code;
}

}  // namespace dialscope::cli
