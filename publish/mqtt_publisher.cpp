#include "publish/mqtt_publisher.h"

#include <mosquitto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace dialscope::publish {

namespace {

using Clock = std::chrono::steady_clock;
using ordered_json = nlohmann::ordered_json;

// The library's own words for an error code, without their closing full stop.
std::string Words(int rc) {
    std::string w = mosquitto_strerror(rc);
    if (!w.empty() && w.back() == '.') w.pop_back();
    return w;
}

void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

enum class Problem { Credentials, Refused, Certificate, Tls, UnknownHost, NoListener, Network, Silent, Lost, Setup, Other };

// "10 s", "0.2 s".
std::string Seconds(std::chrono::milliseconds ms) {
    if (ms.count() % 1000 == 0) return std::to_string(ms.count() / 1000) + " s";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms.count()) / 1000);
    return text;
}

// The hub's entity ids are lower-case letters, digits and single '_' between them.
std::string Slug(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char k = std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
        if (k == '_' && (out.empty() || out.back() == '_')) continue;
        out += k;
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

// The longest start of `text` of at most `bytes` bytes that ends on a character boundary.
std::string Utf8Prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

std::string Dump(const ordered_json& j) { return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace); }

}  // namespace

std::string AttributesPayload(const std::string& payload) {
    if (payload.size() < kMaxAttributesBytes) return payload;
    ordered_json j = ordered_json::parse(payload, nullptr, false);
    if (!j.is_object()) return payload;
    ordered_json trimmed = ordered_json::array();
    if (j.contains("text_hex")) {
        j.erase("text_hex");
        trimmed.push_back("text_hex");
    }
    j["trimmed"] = trimmed;
    std::string out = Dump(j);
    if (out.size() >= kMaxAttributesBytes && j.contains("text") && j["text"].is_string()) {
        j["trimmed"].push_back("text");
        const std::string text = j["text"].get<std::string>();
        // The longest start of the text that fits; escaped characters take more room
        // in the JSON than in the text, so it is searched for.
        std::size_t fits = 0, tooLong = text.size();
        while (tooLong - fits > 1) {
            std::size_t mid = fits + (tooLong - fits) / 2;
            j["text"] = Utf8Prefix(text, mid);
            (Dump(j).size() < kMaxAttributesBytes ? fits : tooLong) = mid;
        }
        j["text"] = Utf8Prefix(text, fits);
        out = Dump(j);
    }
    return out;
}

bool CheckCaFile(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = "The CA file \"" + path + "\" " + why;
        return false;
    };
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return fail(std::string("cannot be read: ") + std::strerror(errno) + ".");
    // What the broker client loads: certificates in PEM form, one after another.
    int certificates = 0;
    while (X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
        ++certificates;
        X509_free(x);
    }
    ERR_clear_error();
    std::fclose(f);
    if (certificates == 0)
        return fail("holds no certificate. Give the file with the certificate of the authority that signed the "
                    "broker's, in PEM form (text starting with \"-----BEGIN CERTIFICATE-----\").");
    return true;
}

bool ValidInstanceId(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    for (unsigned char c : id)
        if (!(std::isalnum(c) || c == '-' || c == '_' || c == '.')) return false;
    return true;
}

std::string MakeInstanceId(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        bool keep = std::isalnum(c) || c == '-' || c == '_' || c == '.';
        out += keep ? static_cast<char>(c) : '-';
        if (out.size() == 64) break;
    }
    return out;
}

struct MqttPublisher::Core {
    MqttOptions opt;
    PublishedFn onPublished;
    MessageFn onMessage;
    ReceivedFn onReceived;
    std::string where;  // "host:port", for messages

    struct Entry {
        std::int64_t callId;
        std::string payload;
        std::string event;    // its P/I/event payload
        int mid = -1;  // message id of its P/I/call publish in this connection; -1: not sent yet
        bool evented = false;  // the event went out: a ring is not rung twice
    };

    mutable std::mutex mu;
    std::condition_variable cv;
    std::deque<Entry> waiting;
    std::deque<std::pair<std::string, std::string>> outbox;  // Send(): topic, payload
    std::string lastPayload;  // the newest call's payload as attributes, for P/I/last
    bool stopping = false;
    bool finished = false;
    bool connected = false;
    int wakeFd = -1;  // eventfd: Publish and Stop wake the thread's poll

    // Callbacks run under cbMu; once Stop gives up waiting it clears callbacksLive under
    // cbMu, so no callback can start (or still run) after Stop returns.
    std::mutex cbMu;
    bool callbacksLive = true;

    // Touched only on the publisher's thread.
    std::set<Problem> reported;
    bool hadProblem = false;
    bool connackSeen = false;
    int connackCode = -1;
    int offlineMid = -1;
    bool offlineAcked = false;
    std::set<int> unacked;  // a visitor's messages the broker has not acknowledged yet
    bool resendLast = false;  // a broker restarted without its store has lost the retained call
    std::string lastLog;  // the library's last error line, for the certificate message

    ~Core() {
        if (wakeFd >= 0) close(wakeFd);
    }

    std::string Topic(const std::string& leaf) const { return opt.url.prefix + "/" + opt.instance + "/" + leaf; }
    std::string NodeId() const {
        std::string node = "dialscope_" + opt.instance;
        for (char& c : node)
            if (c == '.') c = '_';
        return node;
    }

    void Wake() {
        std::uint64_t one = 1;
        ssize_t n = write(wakeFd, &one, sizeof one);
        (void)n;  // a full counter already wakes the poll
    }

    void Say(Problem kind, const std::string& text) {
        if (!reported.insert(kind).second) return;
        hadProblem = true;
        std::lock_guard<std::mutex> cb(cbMu);
        if (callbacksLive && onMessage) onMessage(text);
    }

    void Received(const std::string& topic, const std::string& payload) {
        std::lock_guard<std::mutex> cb(cbMu);
        if (callbacksLive && onReceived) onReceived(topic, payload);
    }

    // Status, last will and "offline": a watcher's, not a test call's or a collector's.
    bool HasStatus() const { return !opt.visitor && !opt.collector; }

    void Acked(std::int64_t callId) {
        std::lock_guard<std::mutex> cb(cbMu);
        if (callbacksLive && onPublished) onPublished(callId);
    }

    // The library's own line names what failed; only a failed verification is the
    // broker's certificate, anything else is most often TLS spoken to a plain port.
    void SayTls() {
        std::string detail = lastLog.empty() ? "no detail" : lastLog;
        if (lastLog.find("certificate verify failed") != std::string::npos)
            Say(Problem::Certificate, "The MQTT broker at " + where +
                                          " presented a certificate that could not be verified (" + detail +
                                          "). Check the broker's certificate and its name, or give the CA file "
                                          "that signed it.");
        else
            Say(Problem::Tls, "The TLS connection to the MQTT broker at " + where + " failed (" + detail +
                                  "). Check that this port is the broker's TLS (mqtts) listener.");
    }

    mosquitto* NewClient();
    void SendQueued(mosquitto* m);
    void Run();
    bool Session(mosquitto* m);
    void Backoff(std::chrono::milliseconds delay);
    void Farewell(mosquitto* m);
    std::vector<Discovery> Discoveries() const;
};

namespace {

MqttPublisher::Core* CoreOf(void* obj) { return static_cast<MqttPublisher::Core*>(obj); }

void OnConnect(mosquitto*, void* obj, int rc) {
    auto* c = CoreOf(obj);
    c->connackSeen = true;
    c->connackCode = rc;
}

void OnPublish(mosquitto*, void* obj, int mid) {
    auto* c = CoreOf(obj);
    if (mid == c->offlineMid) c->offlineAcked = true;
    c->unacked.erase(mid);
    std::int64_t acked = -1;
    {
        std::lock_guard<std::mutex> lock(c->mu);
        for (auto it = c->waiting.begin(); it != c->waiting.end(); ++it) {
            if (it->mid == mid) {
                acked = it->callId;
                c->waiting.erase(it);
                break;
            }
        }
    }
    if (acked >= 0) c->Acked(acked);
}

void OnMessage(mosquitto*, void* obj, const mosquitto_message* msg) {
    if (!msg || !msg->topic) return;
    const std::string payload = msg->payload ? std::string(static_cast<const char*>(msg->payload),
                                                           static_cast<std::size_t>(msg->payloadlen))
                                             : std::string();
    CoreOf(obj)->Received(msg->topic, payload);
}

void OnLog(mosquitto*, void* obj, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text) CoreOf(obj)->lastLog = text;
}

}  // namespace

mosquitto* MqttPublisher::Core::NewClient() {
    std::string clientId = opt.clientId.empty() ? "dialscope-" + opt.instance : opt.clientId;
    // A second client with the watcher's id would push the watcher off the broker.
    if (opt.visitor) clientId += "-test-" + std::to_string(getpid());
    mosquitto* m = mosquitto_new(clientId.c_str(), opt.cleanSession, this);
    if (!m) return nullptr;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m, OnConnect);
    mosquitto_publish_callback_set(m, OnPublish);
    mosquitto_log_callback_set(m, OnLog);
    mosquitto_message_callback_set(m, OnMessage);
    std::string status = Topic("status");
    if (HasStatus()) mosquitto_will_set(m, status.c_str(), 7, "offline", 1, true);
    if (!opt.url.user.empty())
        mosquitto_username_pw_set(m, opt.url.user.c_str(), opt.password.empty() ? nullptr : opt.password.c_str());
    if (opt.url.tls) {
        const char* file = opt.caFile.empty() ? nullptr : opt.caFile.c_str();
        const char* dir = opt.caFile.empty() ? opt.caPath.c_str() : nullptr;
        // SSL_VERIFY_PEER (1) and the host name check (insecure = false) stay on always:
        // an unverified broker could read every caller's number.
        if (mosquitto_tls_set(m, file, dir, nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS ||
            mosquitto_tls_opts_set(m, 1, nullptr, nullptr) != MOSQ_ERR_SUCCESS ||
            mosquitto_tls_insecure_set(m, false) != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(m);
            return nullptr;
        }
    }
    return m;
}

void MqttPublisher::Core::SendQueued(mosquitto* m) {
    // The library's calls happen outside `mu`: it calls back into OnPublish with its own
    // locks held, which takes `mu`, and the two must always be taken in that order.
    // Acknowledgements are read on this thread only, so none lands in between.
    std::vector<Entry> unsent;
    std::string last;
    std::deque<std::pair<std::string, std::string>> out;
    {
        std::lock_guard<std::mutex> lock(mu);
        out.swap(outbox);
    }
    while (!out.empty()) {
        const auto& [topic, payload] = out.front();
        if (mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false) !=
            MOSQ_ERR_SUCCESS) {
            std::lock_guard<std::mutex> lock(mu);  // the connection is going: sent on the next one
            outbox.insert(outbox.begin(), out.begin(), out.end());
            break;
        }
        out.pop_front();
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        for (const Entry& e : waiting)
            if (e.mid == -1) unsent.push_back(e);
        if (resendLast || !unsent.empty()) last = lastPayload;
        resendLast = false;
    }
    if (unsent.empty() && last.empty()) return;
    std::string callTopic = Topic("call"), lastTopic = Topic("last"), eventTopic = Topic("event");
    std::vector<int> mids;
    for (Entry& e : unsent) {
        int mid = 0;
        if (mosquitto_publish(m, &mid, callTopic.c_str(), static_cast<int>(e.payload.size()), e.payload.data(), 1,
                              false) != MOSQ_ERR_SUCCESS)
            break;  // the connection is going; everything unsent goes again next time
        mids.push_back(mid);
        if (!e.evented) {
            int eventMid = 0;
            e.evented = mosquitto_publish(m, &eventMid, eventTopic.c_str(), static_cast<int>(e.event.size()),
                                          e.event.data(), 1, false) == MOSQ_ERR_SUCCESS;
            if (e.evented && opt.visitor) unacked.insert(eventMid);
        }
    }
    // Only the newest call matters on P/I/last; the broker keeps it for late subscribers.
    int lastMid = 0;
    if (!last.empty() &&
        mosquitto_publish(m, &lastMid, lastTopic.c_str(), static_cast<int>(last.size()), last.data(), 1, true) ==
            MOSQ_ERR_SUCCESS &&
        opt.visitor)
        unacked.insert(lastMid);
    std::lock_guard<std::mutex> lock(mu);
    for (std::size_t i = 0; i < mids.size(); ++i)
        for (Entry& e : waiting)
            if (e.callId == unsent[i].callId) {
                e.mid = mids[i];
                e.evented = unsent[i].evented;
            }
}

void MqttPublisher::Core::Backoff(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, delay, [&] { return stopping; });
}

// Publishes "offline" and waits a moment for the broker to take it before the
// DISCONNECT (which would otherwise cut it off), so subscribers see the watcher leave
// at once rather than after the keepalive runs out.
// A visitor publishes nothing and waits for its own messages (the event, the
// last call, the discovery configs) to be taken.
void MqttPublisher::Core::Farewell(mosquitto* m) {
    offlineAcked = false;
    std::string status = Topic("status");
    if (!HasStatus() || mosquitto_publish(m, &offlineMid, status.c_str(), 7, "offline", 1, true) == MOSQ_ERR_SUCCESS) {
        auto deadline = Clock::now() + std::chrono::milliseconds(1000);
        while (!(!HasStatus() ? unacked.empty() : offlineAcked) && Clock::now() < deadline) {
            int fd = mosquitto_socket(m);
            if (fd < 0) break;
            pollfd p{fd, static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 50) < 0 && errno != EINTR) break;
            if ((p.revents & POLLOUT) && mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS) break;
            if ((p.revents & (POLLIN | POLLERR | POLLHUP)) && mosquitto_loop_read(m, 1) != MOSQ_ERR_SUCCESS) break;
        }
    }
    mosquitto_disconnect(m);
    mosquitto_loop_write(m, 1);
}

// One connection, from connect to its end. True when the broker accepted it.
bool MqttPublisher::Core::Session(mosquitto* m) {
    connackSeen = false;
    connackCode = -1;
    lastLog.clear();
    errno = 0;
    int rc = mosquitto_connect(m, opt.url.host.c_str(), opt.url.port, opt.keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        int err = errno;
        if (rc == MOSQ_ERR_EAI)
            Say(Problem::UnknownHost, "The MQTT broker's host name \"" + opt.url.host +
                                          "\" cannot be found. Check the address; retrying.");
        else if (rc == MOSQ_ERR_TLS)
            SayTls();
        else if (rc == MOSQ_ERR_ERRNO && err == ECONNREFUSED)
            Say(Problem::NoListener, "The MQTT broker at " + where +
                                         " refused the connection: no broker is listening there. Retrying.");
        else if (rc == MOSQ_ERR_ERRNO)
            Say(Problem::Network, "Cannot reach the MQTT broker at " + where + ": " + std::strerror(err) +
                                      ". Retrying.");
        else
            Say(Problem::Other, "Cannot connect to the MQTT broker at " + where + ": " + Words(rc) +
                                    ". Retrying.");
        return false;
    }

    bool accepted = false;
    int wake = wakeFd;
    const auto connackBy = Clock::now() + opt.connackWait;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (stopping) break;
        }
        int fd = mosquitto_socket(m);
        if (fd < 0) break;
        pollfd p[2] = {{fd, static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0},
                       {wake, POLLIN, 0}};
        int waitMs = 1000;
        if (!accepted) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(connackBy - Clock::now()).count() + 1;
            waitMs = static_cast<int>(std::clamp<long long>(left, 0, 1000));
        }
        if (poll(p, 2, waitMs) < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) {
            std::uint64_t n;
            ssize_t got = read(wake, &n, sizeof n);
            (void)got;
        }
        if (p[0].revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(m, 1);
        if (rc == MOSQ_ERR_SUCCESS && (p[0].revents & POLLOUT)) rc = mosquitto_loop_write(m, 1);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m);

        if (connackSeen && !accepted) {
            if (connackCode != 0) {
                if (connackCode == 4 || connackCode == 5)
                    Say(Problem::Credentials,
                        "The MQTT broker at " + where + " refused the user name or password.");
                else
                    Say(Problem::Refused, "The MQTT broker at " + where + " refused the connection (" +
                                              mosquitto_connack_string(connackCode) + ").");
                break;
            }
            accepted = true;
            if (hadProblem) {
                std::lock_guard<std::mutex> cb(cbMu);
                if (callbacksLive && onMessage) onMessage("Connected to the MQTT broker at " + where + " again.");
            }
            reported.clear();
            hadProblem = false;
            {
                std::lock_guard<std::mutex> lock(mu);
                connected = true;
            }
            resendLast = true;
            unacked.clear();
            std::string status = Topic("status");
            if (HasStatus()) mosquitto_publish(m, nullptr, status.c_str(), 6, "online", 1, true);
            for (const std::string& filter : opt.subscriptions) mosquitto_subscribe(m, nullptr, filter.c_str(), 1);
            for (const auto& d : Discoveries()) {
                int mid = 0;
                if (mosquitto_publish(m, &mid, d.topic.c_str(), static_cast<int>(d.config.size()), d.config.data(), 1,
                                      true) == MOSQ_ERR_SUCCESS &&
                    opt.visitor)
                    unacked.insert(mid);
            }
        }
        if (rc == MOSQ_ERR_SUCCESS && !connackSeen && Clock::now() >= connackBy) {
            Say(Problem::Silent, "The MQTT broker at " + where + " took the connection but did not answer within " +
                                     Seconds(opt.connackWait) +
                                     ". Check that this port is an MQTT broker's (TLS ones need mqtts://). Retrying.");
            break;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            if (rc == MOSQ_ERR_TLS)
                SayTls();
            else if (accepted)
                Say(Problem::Lost, "The connection to the MQTT broker at " + where + " was lost. " +
                                       (opt.collector ? "Retrying; the calls published meanwhile are fetched when "
                                                        "it is back."
                                                      : "New calls are kept and sent when it is back."));
            else
                Say(Problem::Other, "The MQTT broker at " + where + " closed the connection before accepting it (" +
                                        Words(rc) + "). Retrying.");
            break;
        }
        if (accepted) SendQueued(m);
    }
    bool stop;
    {
        std::lock_guard<std::mutex> lock(mu);
        stop = stopping;
        connected = false;
    }
    if (stop && accepted) Farewell(m);  // acknowledgements arriving meanwhile still count
    std::lock_guard<std::mutex> lock(mu);
    for (Entry& e : waiting) e.mid = -1;  // unacknowledged: sent again on the next connection
    return accepted;
}

void MqttPublisher::Core::Run() {
    // Over TLS the library writes with write(), which raises SIGPIPE when the broker has
    // just gone; that must be an error on this connection, not the end of the program.
    // SIGPIPE goes to the writing thread, so blocking it here is enough; one left
    // pending is taken away after each connection.
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
    timespec zero{0, 0};
    auto delay = opt.firstRetry;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (stopping) break;
        }
        mosquitto* m = NewClient();
        if (!m)
            Say(Problem::Setup, "The MQTT connection to " + where + " cannot be set up" +
                                    (opt.url.tls ? " (the CA file or the system's CA store cannot be used)" : "") +
                                    ". Retrying.");
        bool accepted = m && Session(m);
        if (m) mosquitto_destroy(m);
        while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
        }
        if (accepted) delay = opt.firstRetry;
        Backoff(delay);
        delay = std::min(delay * 2, opt.longestRetry);
    }
    std::lock_guard<std::mutex> lock(mu);
    finished = true;
    cv.notify_all();
}

std::vector<MqttPublisher::Discovery> MqttPublisher::DiscoveryConfigs() const { return core_->Discoveries(); }

// A sensor whose state is the last caller and whose attributes are the whole call, and
// an event entity that fires once per call, both on one device per instance.
std::vector<MqttPublisher::Discovery> MqttPublisher::Core::Discoveries() const {
    if (opt.discoveryPrefix.empty()) return {};
    const std::string node = NodeId(), slug = Slug(node);
    auto common = [&](const std::string& name, const std::string& key, const std::string& domain) {
        ordered_json j;
        j["name"] = name;
        j["unique_id"] = node + "_" + key;
        // The entity id the hub gives it the first time (the user may rename it).
        j["default_entity_id"] = domain + "." + slug + "_" + key;
        j["availability_topic"] = Topic("status");
        j["payload_available"] = "online";
        j["payload_not_available"] = "offline";
        j["device"] = {{"identifiers", {node}},
                       {"name", "Dialscope " + opt.instance},
                       {"manufacturer", "Dialscope"},
                       {"model", "Caller-ID watcher"},
                       {"sw_version", DIALSCOPE_VERSION}};
        j["origin"] = {{"name", "Dialscope"}, {"sw_version", DIALSCOPE_VERSION}};
        return j;
    };
    ordered_json sensor = common("Last call", "last_call", "sensor");
    sensor["state_topic"] = Topic("last");
    sensor["value_template"] = opt.valueTemplate;
    sensor["json_attributes_topic"] = Topic("last");
    sensor["icon"] = "mdi:phone-incoming";
    ordered_json event = common("Call", "call", "event");
    event["state_topic"] = Topic("event");
    event["event_types"] = {"call"};
    event["icon"] = "mdi:phone-ring";
    const std::string base = opt.discoveryPrefix + "/";
    return {{base + "sensor/" + node + "/last_call/config", Dump(sensor)},
            {base + "event/" + node + "/call/config", Dump(event)}};
}

MqttPublisher::MqttPublisher(MqttOptions options, PublishedFn onPublished, MessageFn onMessage)
    : core_(std::make_shared<Core>()) {
    core_->opt = std::move(options);
    core_->onPublished = std::move(onPublished);
    core_->onMessage = std::move(onMessage);
    const MqttUrl& u = core_->opt.url;
    core_->where = (u.host.find(':') != std::string::npos ? "[" + u.host + "]" : u.host) + ":" + std::to_string(u.port);
}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Start(std::string* error) {
    Core& c = *core_;
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    if (c.wakeFd >= 0) return fail("The MQTT publisher is already running.");
    if (!c.opt.collector && !ValidInstanceId(c.opt.instance))
        return fail("The instance id \"" + c.opt.instance +
                    "\" may hold only letters, digits, '-', '_' and '.', 1 to 64 of them.");
    if (c.opt.url.host.empty()) return fail("No MQTT broker address was given.");
    if (!c.opt.cleanSession && c.opt.clientId.empty()) return fail("A persistent MQTT session needs a client id.");
    std::string problem = TopicPrefixProblem(c.opt.url.prefix, kLongestTopicSuffix);
    if (!problem.empty()) return fail("The MQTT topic prefix " + problem);
    if (!c.opt.discoveryPrefix.empty()) {
        problem = TopicPrefixProblem(c.opt.discoveryPrefix, kLongestDiscoverySuffix);
        if (!problem.empty()) return fail("The discovery prefix " + problem);
    }
    if (c.opt.url.tls && !c.opt.caFile.empty() && !CheckCaFile(c.opt.caFile, error)) return false;
    InitLibraryOnce();
    c.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (c.wakeFd < 0) return fail(std::string("Cannot start the MQTT publisher: ") + std::strerror(errno) + ".");
    // The thread shares ownership of the core, so a thread left behind by Stop (stuck in
    // a connect to a silent host) still finds it alive when that connect ends.
    std::thread([core = core_] { core->Run(); }).detach();
    return true;
}

bool MqttPublisher::Publish(std::int64_t callId, const std::string& json, const std::string& id) {
    Core& c = *core_;
    ordered_json in = ordered_json::parse(json, nullptr, false);
    if (in.is_discarded() || !in.is_object()) return false;
    ordered_json out;
    out["id"] = id.empty() ? CallId(c.opt.instance, callId) : id;
    for (auto& [key, value] : in.items())
        if (key != "id") out[key] = value;
    std::string payload = Dump(out);
    // The event's attributes: the call's fields after the type the hub fires.
    ordered_json event;
    event["event_type"] = "call";
    for (auto& [key, value] : out.items()) event[key] = value;
    std::string eventPayload = AttributesPayload(Dump(event));
    std::string last = AttributesPayload(payload);
    {
        std::lock_guard<std::mutex> lock(c.mu);
        for (const auto& e : c.waiting)
            if (e.callId == callId) return true;
        if (c.waiting.size() >= c.opt.maxQueued) return false;
        c.waiting.push_back({callId, std::move(payload), std::move(eventPayload)});
        c.lastPayload = std::move(last);
    }
    if (c.wakeFd >= 0) c.Wake();
    return true;
}

void MqttPublisher::Stop(std::chrono::milliseconds limit) {
    Core& c = *core_;
    if (c.wakeFd < 0) return;
    std::unique_lock<std::mutex> lock(c.mu);
    if (c.stopping && c.finished) return;
    c.stopping = true;
    c.cv.notify_all();
    lock.unlock();
    c.Wake();
    lock.lock();
    bool done = c.cv.wait_for(lock, limit, [&] { return c.finished; });
    lock.unlock();
    if (!done) {
        std::lock_guard<std::mutex> cb(c.cbMu);
        c.callbacksLive = false;
    }
}

void MqttPublisher::SetReceiver(ReceivedFn onReceived) { core_->onReceived = std::move(onReceived); }

bool MqttPublisher::Send(const std::string& topic, std::string payload) {
    Core& c = *core_;
    {
        std::lock_guard<std::mutex> lock(c.mu);
        if (c.outbox.size() >= c.opt.maxQueued) return false;
        c.outbox.emplace_back(topic, std::move(payload));
    }
    if (c.wakeFd >= 0) c.Wake();
    return true;
}

std::size_t MqttPublisher::Waiting() const {
    std::lock_guard<std::mutex> lock(core_->mu);
    return core_->waiting.size();
}

bool MqttPublisher::Connected() const {
    std::lock_guard<std::mutex> lock(core_->mu);
    return core_->connected;
}

std::string MqttPublisher::Topic(const std::string& leaf) const { return core_->Topic(leaf); }

std::string MqttPublisher::CallId(const std::string& instance, std::int64_t callId) {
    return instance + "-" + std::to_string(callId);
}

}  // namespace dialscope::publish
