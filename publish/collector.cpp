#include "publish/collector.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "history/latin1.h"

namespace dialscope::publish {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int64_t kLargestId = int64_t{1} << 53;  // what any JSON reader takes exactly
constexpr std::size_t kLongestText = 4096;          // bytes; the box sends far fewer
constexpr std::size_t kMaxInboxBytes = 64u << 20;   // messages waiting for the history
constexpr std::size_t kMaxWatchers = 10000;
constexpr auto kAnswerWait = 30s;                   // a request unanswered this long is asked again
// A watcher's clock a little ahead is its own business; a call from far in the
// future would stay on top of every page.
constexpr int64_t kLongestAheadMs = 10 * 60 * 1000;

// A whole number within [low, high]; a fraction, text or anything else is not.
bool WholeNumber(const json& j, int64_t low, int64_t high, int64_t* out) {
    if (j.is_number_unsigned()) {
        const auto v = j.get<uint64_t>();
        if (v > static_cast<uint64_t>(high)) return false;
        *out = static_cast<int64_t>(v);
    } else if (j.is_number_integer()) {
        *out = j.get<int64_t>();
    } else {
        return false;
    }
    return *out >= low && *out <= high;
}

// "2026-12-08T10:16:00.123Z" to unix ms.
bool ReadIsoUtc(const std::string& s, int64_t* ms) {
    if (s.size() != 24) return false;
    static const char kForm[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    for (std::size_t i = 0; i < s.size(); ++i)
        if (kForm[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != kForm[i]) return false;
    auto num = [&](std::size_t at, std::size_t n) { return std::stoi(s.substr(at, n)); };
    std::tm tm{};
    tm.tm_year = num(0, 4) - 1900;
    tm.tm_mon = num(5, 2) - 1;
    tm.tm_mday = num(8, 2);
    tm.tm_hour = num(11, 2);
    tm.tm_min = num(14, 2);
    tm.tm_sec = num(17, 2);
    if (tm.tm_year < 70 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        return false;
    *ms = static_cast<int64_t>(timegm(&tm)) * 1000 + num(20, 3);
    return true;
}

bool ReadHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 || hex.size() > 2 * kLongestText) return false;
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    bytes->clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

bool ReadCallJson(const std::string& instance, const json& j, int64_t nowMs, history::CollectedCall* call,
                  std::string* why) {
    auto no = [&](const char* w) {
        *why = w;
        return false;
    };
    if (!j.is_object()) return no("it is not a JSON object");
    const auto id = j.find("id");
    const std::string head = instance + "-";
    if (id == j.end() || !id->is_string() || id->get_ref<const std::string&>().rfind(head, 0) != 0)
        return no("its id is not the watcher's instance and a number");
    const std::string digits = id->get_ref<const std::string&>().substr(head.size());
    if (digits.empty() || digits.size() > 16 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoll(digits) > kLargestId)
        return no("its id is not the watcher's instance and a number");
    history::CollectedCall c;
    c.instance = instance;
    c.sourceId = std::stoll(digits);
    const auto received = j.find("received");
    if (received == j.end() || !received->is_string() ||
        !ReadIsoUtc(received->get_ref<const std::string&>(), &c.receivedAt))
        return no("its received time is not a time like 2026-12-08T10:16:00.123Z");
    if (c.receivedAt > nowMs + kLongestAheadMs)
        return no("its received time is more than 10 minutes ahead of this machine's clock");
    if (j.contains("damaged") && j["damaged"] != false) return no("it is marked damaged");
    const auto label = j.find("label");
    std::optional<std::string> labelBytes;
    if (label != j.end() && label->is_string()) labelBytes = history::Utf8ToLatin1(label->get_ref<const std::string&>());
    if (!labelBytes || labelBytes->size() > c.fields.label.size()) return no("its label is not one a box sends");
    c.fields.label.fill(' ');
    std::copy(labelBytes->begin(), labelBytes->end(), c.fields.label.begin());
    const auto letter = j.find("letter");
    if (letter == j.end() || !letter->is_string() || letter->get_ref<const std::string&>().size() != 1 ||
        (*letter).get_ref<const std::string&>()[0] < 'A' || (*letter).get_ref<const std::string&>()[0] > 'D')
        return no("its letter is not A, B, C or D");
    c.fields.letterCode = static_cast<uint8_t>((*letter).get_ref<const std::string&>()[0] - 'A');
    const auto date = j.find("date_raw"), time = j.find("time_raw");
    if (date == j.end() || time == j.end() || !date->is_array() || !time->is_array() || date->size() != 3 ||
        time->size() != 2)
        return no("its raw date and time are not 3 and 2 fields");
    for (std::size_t i = 0; i < 5; ++i) {
        const json& v = i < 3 ? (*date)[i] : (*time)[i - 3];
        int64_t n = -1;
        if (!v.is_null() && !WholeNumber(v, 0, 255, &n)) return no("its raw date and time are not bytes");
        c.fields.dateTime[i] = static_cast<int16_t>(n);
    }
    const auto tone = j.find("tone_only");
    if (tone == j.end() || !tone->is_boolean()) return no("it does not say whether it is tone only");
    c.fields.hasText = !tone->get<bool>();
    // The bytes as the box sent them; the text as UTF-8 only when they are missing.
    const auto hex = j.find("text_hex"), text = j.find("text");
    if (hex != j.end() && hex->is_string()) {
        if (!ReadHex(*hex, &c.fields.text)) return no("its text_hex is not the hex of a caller text");
    } else {
        std::optional<std::string> bytes;
        if (text != j.end() && text->is_string()) bytes = history::Utf8ToLatin1(text->get_ref<const std::string&>());
        if (!bytes || bytes->size() > kLongestText) return no("its text is not one a box sends");
        c.fields.text = *bytes;
    }
    *call = std::move(c);
    return true;
}

// FNV-1a, 64 bits: a short stable name for a path.
uint64_t Fnv(const std::string& s) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

}  // namespace

bool ReadCollectedCall(const std::string& instance, const std::string& text, int64_t nowMs,
                       history::CollectedCall* call, std::string* why) {
    if (text.size() > kMaxCollectedPayload) {
        *why = "it is larger than " + std::to_string(kMaxCollectedPayload / 1024) + " KB";
        return false;
    }
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) {
        *why = "it is not JSON";
        return false;
    }
    return ReadCallJson(instance, j, nowMs, call, why);
}

bool ReadReplayRequest(const std::string& requestTopic, const std::string& payload, ReplayRequest* request,
                       std::string* why) {
    auto no = [&](const char* w) {
        *why = w;
        return false;
    };
    if (payload.size() > 4096) return no("it is longer than 4096 bytes");
    const json j = json::parse(payload, nullptr, false);
    if (!j.is_object()) return no("it is not a JSON object");
    const auto after = j.find("after");
    if (after == j.end() || !WholeNumber(*after, 0, kLargestId, &request->after))
        return no("its \"after\" is not a call id");
    const auto reply = j.find("reply_to");
    const std::string base = requestTopic.substr(0, requestTopic.size() - std::string("request").size());
    if (reply == j.end() || !reply->is_string()) return no("its \"reply_to\" is not a topic");
    const std::string& to = reply->get_ref<const std::string&>();
    const std::string leaf = to.rfind(base, 0) == 0 ? to.substr(base.size()) : std::string();
    if (!ValidInstanceId(leaf) || leaf == "request") return no("its \"reply_to\" is not a reply topic of this watcher");
    request->replyTo = to;
    return true;
}

std::vector<std::string> ReplayAnswer(const std::vector<std::string>& calls, bool more) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < calls.size(); at += kReplayBatch) {
        std::string m = "{\"calls\":[";
        for (std::size_t i = at; i < std::min(calls.size(), at + kReplayBatch); ++i) m += (i > at ? "," : "") + calls[i];
        out.push_back(m + "]}");
    }
    out.push_back(std::string("{\"end\":true,\"more\":") + (more ? "true" : "false") + "}");
    return out;
}

std::string CollectorClientId(const std::string& historyPath) {
    std::error_code ec;
    auto full = std::filesystem::absolute(historyPath, ec).lexically_normal().string();
    if (ec) full = historyPath;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Fnv(full)));
    return std::string("dialscope-serve-") + hex;
}

struct Collector::Impl {
    MqttOptions mqtt;
    std::string path;
    ReportFn report;
    std::size_t maxUnsaved = kMaxUnsaved;
    std::string prefix;
    std::unique_ptr<MqttPublisher> client;
    std::thread thread;

    std::mutex mu;
    std::condition_variable cv;
    bool stopping = false;
    std::deque<std::pair<std::string, std::string>> inbox;
    std::size_t inboxBytes = 0;
    bool dropped = false;  // messages left out while the inbox was full: ask every watcher again

    // The collector's thread only.
    std::unique_ptr<history::CallHistory> history;
    struct Watcher {
        bool online = false;
        bool asking = false;
        Clock::time_point askedAt;
        // The answer under way: the request's "after", the highest number its
        // pages brought, and whether every call of it is kept or waits in order
        // to be (nothing was left out, and no older request's answer can be
        // taken for it), so that its end may settle the gaps it showed.
        int64_t after = 0, high = 0;
        bool whole = false;
        bool refused = false;  // a call in it was not taken: no gap is settled over it
    };
    std::map<std::string, Watcher> watchers;
    // What waits for a busy history, in the order it came: calls (and whether
    // each came as a replay), and marks a whole answer settled (settle > 0),
    // which move only once the calls before them are kept.
    struct Unsaved {
        history::CollectedCall call;
        bool replayed = false;
        int64_t settle = 0;
    };
    std::deque<Unsaved> unsaved;
    bool unsavedLeftOut = false;
    int64_t keptLive = 0, keptAgain = 0;  // new calls as published, and as replayed
    // Lines about ignored messages: at most 20 a minute, the rest counted.
    Clock::time_point minute;
    int saidThisMinute = 0;
    int64_t unsaid = 0;

    void Ignore(const std::string& topic, const std::string& why) {
        const auto now = Clock::now();
        if (now - minute > 60s) {
            if (unsaid > 0) report(std::to_string(unsaid) + " more messages were ignored in the last minute.");
            minute = now;
            saidThisMinute = 0;
            unsaid = 0;
        }
        if (++saidThisMinute > 20) {
            ++unsaid;
            return;
        }
        // The topic is anyone's text: shown only as far as it is printable.
        std::string shown;
        for (unsigned char c : topic.substr(0, 200)) shown += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
        report("Ignored a message on " + shown + ": " + why + ".");
    }

    void Take(const std::string& topic, const std::string& payload) {
        std::lock_guard<std::mutex> lock(mu);
        if (inboxBytes + payload.size() > kMaxInboxBytes) {
            dropped = true;
            return;
        }
        inboxBytes += payload.size();
        inbox.emplace_back(topic, payload);
        cv.notify_one();
    }

    // Asks the watcher for its calls after its mark; `next`: for the next page
    // of the answer under way, after where the last one ended.
    void Ask(const std::string& instance, bool next = false) {
        Watcher& w = watchers[instance];
        if (next) {
            w.after = w.high;
        } else {
            // An answer to an earlier request may still be coming: its end
            // would be taken for this one's.
            w.whole = !w.asking;
            w.refused = false;
            w.after = w.high = history->LastCollected(instance);
        }
        json request = {{"after", w.after}, {"reply_to", prefix + "/" + instance + "/replay/" + mqtt.clientId}};
        // Unsent (the client's queue is full), it is asked again when the wait is over.
        client->Send(prefix + "/" + instance + "/replay/request", request.dump());
        w.asking = true;
        w.askedAt = Clock::now();
    }

    // An item into the history, or false when it is busy.
    bool Save(const Unsaved& item) {
        if (item.settle > 0) return history->SettleCollected(item.call.instance, item.settle);
        const auto result = history->Collect(item.call);
        if (result == history::CollectResult::New) ++(item.replayed ? keptAgain : keptLive);
        return result != history::CollectResult::Failed;
    }

    void Keep(Unsaved item) {
        if (!unsaved.empty() || !Save(item)) {  // in order behind those that wait
            if (unsaved.size() < maxUnsaved) {
                unsaved.push_back(std::move(item));
                return;
            }
            // Asked for again once the file takes the others; meanwhile no
            // answer of this watcher can settle anything.
            if (!unsavedLeftOut)
                report("The call history is busy and " + std::to_string(unsaved.size()) +
                       " collected calls wait for it; those after them are asked for again once it takes them.");
            unsavedLeftOut = true;
            if (auto w = watchers.find(item.call.instance); w != watchers.end()) w->second.whole = false;
        }
    }

    void Handle(const std::string& topic, const std::string& payload) {
        // P/I/leaf...
        if (topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size() + 1, prefix + "/") != 0)
            return Ignore(topic, "it is not under the prefix");
        const std::string rest = topic.substr(prefix.size() + 1);
        const std::size_t slash = rest.find('/');
        const std::string instance = rest.substr(0, slash), leaf = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (!ValidInstanceId(instance)) return Ignore(topic, "its instance id is not one a watcher has");
        std::string why;
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        if (leaf == "status") {
            if (payload != "online") {
                if (auto w = watchers.find(instance); w != watchers.end()) w->second.online = false;
                return;
            }
            if (!watchers.count(instance) && watchers.size() >= kMaxWatchers) return Ignore(topic, "too many watchers");
            watchers[instance].online = true;
            return Ask(instance);
        }
        if (leaf == "call") {
            Unsaved item;
            if (!ReadCollectedCall(instance, payload, now, &item.call, &why)) return Ignore(topic, why);
            return Keep(std::move(item));
        }
        if (leaf != "replay/" + mqtt.clientId) return Ignore(topic, "it is no topic of ours");
        if (payload.size() > kMaxCollectedPayload * kReplayBatch) return Ignore(topic, "it is too large");
        const json j = json::parse(payload, nullptr, false);
        if (!j.is_object()) return Ignore(topic, "it is not a JSON object");
        const auto found = watchers.find(instance);
        Watcher* w = found != watchers.end() && found->second.asking ? &found->second : nullptr;
        if (const auto calls = j.find("calls"); calls != j.end() && calls->is_array() && calls->size() <= kReplayBatch) {
            for (const json& c : *calls) {
                Unsaved item;
                item.replayed = true;
                if (!ReadCallJson(instance, c, now, &item.call, &why)) {
                    Ignore(topic, "a call in it: " + why);
                    if (w) w->refused = true;
                    continue;
                }
                if (w && item.call.sourceId > w->after) w->high = std::max(w->high, item.call.sourceId);
                Keep(std::move(item));
            }
            return;
        }
        const auto end = j.find("end"), more = j.find("more");
        if (end == j.end() || *end != true || more == j.end() || !more->is_boolean())
            return Ignore(topic, "it is neither calls nor their end");
        if (!w) return;  // the end of an answer already given up on
        w->asking = false;
        // Once more, from the mark; while calls are being left out, once the
        // history has taken those that wait.
        if (!w->whole) {
            if (!unsavedLeftOut) Ask(instance);
            return;
        }
        if (*more == true) {
            // A full page that brought nothing new would be asked for forever.
            if (w->high <= w->after) return Ignore(topic, "it says more calls follow, but its page held none");
            return Ask(instance, true);
        }
        // The whole answer is in: the watcher has nothing else up to its last call.
        if (!w->refused && w->high > history->LastCollected(instance)) {
            Unsaved item;
            item.call.instance = instance;
            item.settle = w->high;
            Keep(std::move(item));
        }
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            cv.wait_for(lock, 1s, [&] { return stopping || !inbox.empty(); });
            const bool last = stopping;  // what came before the stop is still kept
            auto work = std::move(inbox);
            inbox.clear();
            inboxBytes = 0;
            const bool again = dropped;
            dropped = false;
            lock.unlock();
            // A message left out before any of these: no answer under way is whole.
            if (again)
                for (auto& [instance, w] : watchers) w.whole = false;
            for (const auto& [topic, payload] : work) Handle(topic, payload);
            if (again) {
                report("Messages from the broker came faster than the call history took them; the watchers are "
                       "asked again for what was left out.");
                for (auto& [instance, w] : watchers)
                    if (w.online && !w.asking) Ask(instance);  // the others once their answer ends
            }
            // A busy history: what waits is tried again, oldest first.
            while (!unsaved.empty() && Save(unsaved.front())) unsaved.pop_front();
            if (unsaved.empty() && unsavedLeftOut) {
                unsavedLeftOut = false;
                for (auto& [instance, w] : watchers)
                    if (w.online && !w.asking && !last) Ask(instance);  // the others once their answer ends
            }
            const auto now = Clock::now();
            for (auto& [instance, w] : watchers)
                if (!last && w.online && w.asking && now - w.askedAt > kAnswerWait) Ask(instance);
            history->Flush();
            while (auto problem = history->TakeProblem()) report(problem->words);
            if (last) break;
            lock.lock();
        }
    }
};

Collector::Collector(MqttOptions mqtt, std::string historyPath, ReportFn report, std::size_t maxUnsaved)
    : impl_(std::make_unique<Impl>()) {
    impl_->mqtt = std::move(mqtt);
    impl_->path = std::move(historyPath);
    impl_->report = std::move(report);
    impl_->maxUnsaved = maxUnsaved;
}

Collector::~Collector() { Stop(); }

bool Collector::Start(std::string* error) {
    Impl& m = *impl_;
    if (m.mqtt.clientId.empty()) m.mqtt.clientId = CollectorClientId(m.path);
    if (!ValidInstanceId(m.mqtt.clientId)) {
        *error = "The collector's client id \"" + m.mqtt.clientId +
                 "\" may hold only letters, digits, '-', '_' and '.', 1 to 64 of them.";
        return false;
    }
    m.prefix = m.mqtt.url.prefix;
    m.mqtt.collector = true;
    m.mqtt.cleanSession = false;
    m.mqtt.discoveryPrefix.clear();
    m.mqtt.subscriptions = {m.prefix + "/+/call", m.prefix + "/+/status", m.prefix + "/+/replay/" + m.mqtt.clientId};
    history::OpenOptions open;
    open.busyTimeoutMs = 1000;  // its own thread: the pages never wait for it
    open.collectNewCalls = false;
    open.takeInPending = false;
    m.history = history::CallHistory::Open(m.path, error, open);
    if (!m.history) return false;
    m.client = std::make_unique<MqttPublisher>(m.mqtt, nullptr, m.report);
    m.client->SetReceiver([impl = impl_.get()](const std::string& topic, const std::string& payload) {
        impl->Take(topic, payload);
    });
    if (!m.client->Start(error)) {
        m.client.reset();
        return false;
    }
    m.thread = std::thread([impl = impl_.get()] { impl->Run(); });
    return true;
}

void Collector::Stop() {
    Impl& m = *impl_;
    if (m.client) m.client->Stop();  // no message arrives after this
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.stopping = true;
        m.cv.notify_all();
    }
    const bool ran = m.thread.joinable();
    if (ran) m.thread.join();
    if (m.history && ran) {
        // What the busy file could not take yet: the watchers send it again next time.
        const auto waiting = std::count_if(m.unsaved.begin(), m.unsaved.end(), [](const auto& u) { return !u.settle; });
        if (waiting > 0)
            m.report(std::to_string(waiting) +
                     " collected calls could not be written to the call history yet; they are asked for again "
                     "at the next start.");
        m.report("Kept " + std::to_string(m.keptLive + m.keptAgain) + " new calls from the watchers: " +
                 std::to_string(m.keptLive) + " as they were published, " + std::to_string(m.keptAgain) +
                 " sent again on request.");
    }
    if (m.history) {
        m.history->Close(2000);
        m.history.reset();
    }
    m.client.reset();
}

}  // namespace dialscope::publish
