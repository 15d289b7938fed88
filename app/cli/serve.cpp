#include "app/cli/serve.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

#include "app/cli/console.h"
#include "app/cli/exit_codes.h"
#include "history/call_reader.h"
#ifndef _WIN32
#include "publish/collector.h"  // publishing and collecting are Linux's
#include "publish/mqtt_url.h"
#include "publish/watch_config.h"
#endif
#include "web/login.h"
#include "web/password.h"
#include "web/platform.h"
#include "web/server.h"

namespace dialscope::cli {

namespace {

void Say(const std::string& line) {
    std::fprintf(stderr, "dialscope-cli: %s\n", line.c_str());
    std::fflush(stderr);
}

int Fail(int code, const std::string& line) {
    Say(line);
    return code;
}

// ADDR:PORT, the address in brackets for IPv6 ("[::1]:8080").
bool SplitListen(const std::string& text, std::string* host, int* port) {
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        *host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return false;
        *host = text.substr(0, colon);
    }
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    *port = std::atoi(digits.c_str());
    return *port <= 65535;
}

// The pages ready to serve: the reader, the server listening, the address.
struct Pages {
    std::unique_ptr<history::CallReader> reader;
    std::unique_ptr<web::Server> server;
    std::string url;
    bool auth = true;
    bool password = false;
    std::vector<std::string> warnings;  // said once the address is
};

// A certificate that has expired, or that does not hold the name of the
// address printed, makes browsers refuse the pages: said at start.
void CertificateWarnings(const web::TlsFacts& facts, const ServeOptions& options, const std::string& shown,
                         Pages* pages) {
    if (auto expired = web::ExpiredWarning(facts, options.tlsCert, std::time(nullptr)); !expired.empty())
        pages->warnings.push_back(expired);
    if (!options.names.empty()) return;  // the names given are the user's word
    std::string bare = shown;
    if (bare.size() > 2 && bare.front() == '[') bare = bare.substr(1, bare.size() - 2);
    if (facts.holds && facts.holds(bare)) return;
    std::string held;
    for (const std::string& name : facts.names) held += (held.empty() ? "" : ", ") + name;
    pages->warnings.push_back("The TLS certificate " + options.tlsCert + " does not hold the name " + shown +
                              " of the address above, so browsers will refuse it there; it holds " +
                              (held.empty() ? std::string("no name") : held) +
                              ". Give one of those with --name, or make a certificate for " + shown + ".");
}

// 0, or the exit status with the reason in *problem.
int SetUp(const std::string& path, history::DateOrder order, const ServeOptions& options, Pages* pages,
          std::string* problem) {
    std::string host;
    int port = 0;
    if (!SplitListen(options.listen, &host, &port)) {
        *problem = options.listen + " is not ADDRESS:PORT (for example 127.0.0.1:8080).";
        return kExitUsage;
    }
    web::ServerOptions server;
    server.address = host == "localhost" ? "127.0.0.1" : host;
    // Only this machine reaches a loopback address: the token is enough
    // there. Any other address needs TLS and the password.
    const bool loopback = host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    const bool everywhere = host == "0.0.0.0" || host == "::";
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        *problem = "TLS needs both files: --tls-cert with the certificate and --tls-key with its private key.";
        return kExitUsage;
    }
    server.tlsCert = options.tlsCert;
    server.tlsKey = options.tlsKey;
    server.names = options.names;
    if (!loopback) {
        const std::string how = " (the README shows how to make a certificate with openssl, set the password with "
                                "dialscope-cli passwd, and serve).";
        if (options.tlsCert.empty()) {
            *problem = "Serving on " + host + " reaches other machines, so it needs TLS and a password: start "
                       "dialscope-cli serve with --tls-cert FILE --tls-key FILE" + how;
            return kExitUsage;
        }
        if (options.noAuth) {
            *problem = "--no-auth is only for this machine's own addresses (127.0.0.1, ::1, localhost): on " + host +
                       " other machines could read the calls.";
            return kExitUsage;
        }
        const std::string file = web::PasswordFile(path);
        switch (web::LoadPassword(file, &server.passwordHash, problem)) {
        case web::SecretFile::Found: break;
        case web::SecretFile::Missing:
            *problem = "Serving on " + host + " reaches other machines, so it needs a password, and none is set: "
                       "set it with dialscope-cli passwd (it is kept as a hash in " + file + ")" + ".";
            return kExitUsage;
        case web::SecretFile::Refused: return kExitFailure;
        }
        if (everywhere)
            for (const std::string& name : web::MachineNames()) server.names.push_back(name);
    }
    server.port = static_cast<uint16_t>(port);
    server.dateOrder = order;
    server.auth = !options.noAuth;
    server.stopRequested = StopRequested;
    // Names changed in the page go in through a history opened for that on
    // the server's thread when first needed (the watcher beside it keeps
    // its own): it takes in no pending file and keeps no new calls.
    server.changeContacts = [path, writer = std::shared_ptr<history::CallHistory>()](
                                const std::vector<history::Contact>& put, const std::vector<std::string>& remove,
                                std::string* problem) mutable {
        if (!writer) {
            history::OpenOptions open;
            open.takeInPending = false;
            open.collectNewCalls = false;
            writer = history::CallHistory::Open(path, problem, open);
            if (!writer) return false;
        }
        history::ContactChanges changes;
        // Not long: the pages wait while it waits.
        return writer->ChangeContacts(put, remove, &changes, problem, {}, 3000);
    };
    pages->reader = history::CallReader::Open(path, problem);
    if (!pages->reader) return kExitHistory;
    // Beside the history, as private as the history itself.
    const bool token = server.auth && server.passwordHash.empty();
    if (options.newToken && !token) {
        *problem = options.noAuth ? "--new-token and --no-auth: without a token there is no token to make anew."
                                  : "--new-token is for this machine's addresses; beyond it the password signs in "
                                    "(set another with dialscope-cli passwd).";
        return kExitUsage;
    }
    if (token) {
        server.tokenFile = path + ".web-token";
        if (!(options.newToken ? web::MakeNewToken : web::LoadOrMakeToken)(server.tokenFile, &server.token, problem))
            return kExitFailure;
    }
    pages->server = std::make_unique<web::Server>(server, pages->reader.get());
    if (!pages->server->Listen(problem)) return kExitFailure;
    // The address to open: the name given, else the machine's name when it
    // listens on all its addresses, else the address.
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (!options.names.empty()) shown = options.names.front();
    else if (everywhere && !server.names.empty()) shown = server.names.front();
    pages->url = (server.tlsCert.empty() ? "http://" : "https://") + shown + ":" +
                 std::to_string(pages->server->port()) + "/";
    if (token) pages->url += "?token=" + server.token;
    if (const web::TlsFacts* facts = pages->server->certificate()) CertificateWarnings(*facts, options, shown, pages);
    pages->auth = server.auth;
    pages->password = !server.passwordHash.empty();
    return 0;
}

}  // namespace

#ifndef _WIN32
namespace {

// The collector's options from serve's; 0, or the exit status with *problem.
int CollectOptions(const ServeOptions& options, publish::MqttOptions* mqtt, std::string* problem) {
    const auto url = publish::ParseMqttUrl(options.collect);
    if (!url.ok) {
        *problem = "--collect: " + url.error;
        return kExitUsage;
    }
    mqtt->url = url.url;
    mqtt->clientId = options.collectId;
    if (!options.collectId.empty() && !publish::ValidInstanceId(options.collectId)) {
        *problem = "--collect-id: \"" + options.collectId +
                   "\" may hold only letters, digits, '-', '_' and '.', 1 to 64 of them (it becomes part of a topic).";
        return kExitUsage;
    }
    std::string warning;
    if (!options.collectPasswordFile.empty()) {
        if (!publish::ReadPasswordFile(options.collectPasswordFile, &mqtt->password, problem, &warning))
            return kExitUsage;
        if (!warning.empty()) Say(warning);
    } else if (const char* env = std::getenv("DIALSCOPE_MQTT_PASSWORD"); env && *env) {
        mqtt->password = env;
    }
    if (!options.collectCaFile.empty()) {
        if (!url.url.tls) {
            *problem = "--collect-ca-file is for a TLS broker, but " + url.url.Target() +
                       " is plain mqtt://, which uses no certificate. Give an mqtts:// address or leave the CA file out.";
            return kExitUsage;
        }
        mqtt->caFile = options.collectCaFile;
    }
    return 0;
}

}  // namespace
#endif

int Serve(const std::string& path, history::DateOrder order, const ServeOptions& options) {
    // Opened once as every command opens it: a new history is made, an
    // older one brought to the present version, the pending file taken in.
    std::string problem;
    {
        auto opened = history::CallHistory::Open(path, &problem);
        if (!opened) return Fail(kExitHistory, problem);
        if (auto warning = opened->TakeWarning()) Say(*warning);
        const auto damage = opened->QuickCheck();
        if (!damage.empty())
            Say("The call history " + path + " is damaged (" + damage.front() +
                "); the pages show what can still be read.");
        if (auto left = opened->Close(2000)) Say(*left);
    }
#ifndef _WIN32
    if (options.collect.empty() && (!options.collectId.empty() || !options.collectPasswordFile.empty() ||
                                    !options.collectCaFile.empty()))
        return Fail(kExitUsage, "--collect-id, --collect-password-file and --collect-ca-file need a broker: give "
                                "--collect URL.");
    publish::MqttOptions mqtt;
    if (!options.collect.empty())
        if (const int code = CollectOptions(options, &mqtt, &problem)) return Fail(code, problem);
#endif
    Pages pages;
    if (const int code = SetUp(path, order, options, &pages, &problem)) return Fail(code, problem);
#ifndef _WIN32
    // The calls of other machines' watchers, kept in this history on a
    // thread of its own; the pages see them as any write to the file.
    std::unique_ptr<publish::Collector> collector;
    if (!options.collect.empty()) {
        collector = std::make_unique<publish::Collector>(mqtt, path, Say);
        if (!collector->Start(&problem)) return Fail(kExitUsage, problem);
        std::printf("Collecting the calls published to %s.\n", mqtt.url.Target().c_str());
    }
#endif
    std::printf("The calls are at %s\n", pages.url.c_str());
    if (!pages.auth) std::printf("Without a token: every program and user of this machine can read them.\n");
    if (pages.password) std::printf("Sign in with the password set by dialscope-cli passwd.\n");
    if (options.newToken) std::printf("A new token: every browser signed in with the old one is signed out.\n");
    std::fflush(stdout);
    for (const std::string& warning : pages.warnings) Say(warning);
    pages.server->WatchHistory();
    pages.server->Run();
    return kExitOk;
}

namespace {

// One line from the terminal without echo (prompt on stderr); false at the
// end of input.
bool ReadHidden(const char* prompt, std::string* line) {
    // Echo goes off before the prompt shows, so that nothing typed after
    // it is ever shown, and nothing typed ahead is thrown away.
#ifdef _WIN32
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    const bool tty = GetConsoleMode(in, &saved) != 0;
    if (tty) SetConsoleMode(in, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
#else
    termios saved {};
    const bool tty = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
#endif
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    const bool got = static_cast<bool>(std::getline(std::cin, *line));
#ifdef _WIN32
    // The console shows no line break for a line typed without echo.
    if (tty) {
        SetConsoleMode(in, saved);
        if (got) std::fprintf(stderr, "\n");
    }
#else
    if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
#endif
    if (!got) std::fprintf(stderr, "\n");
    return got;
}

bool InputIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

size_t Characters(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

std::string PasswdDescription() {
    return "Set the password of the web pages served to other machines (read twice from the terminal, or one "
           "line from standard input), at least " + std::to_string(web::kShortestPassword) +
           " characters. Only its hash is kept, in HISTORY.web-password beside the history (readable by you "
           "alone); a running serve takes it when started again";
}

int SetWebPassword(const std::string& historyPath) {
    std::string password;
    if (InputIsTerminal()) {
        std::string again;
        if (!ReadHidden("New password for the web pages: ", &password) || !ReadHidden("The same again: ", &again))
            return StopRequested() ? Fail(kExitInterrupted, "Stopped; nothing was changed.")
                                   : Fail(kExitUsage, "No password given; nothing was changed.");
        if (password != again) return Fail(kExitUsage, "The two passwords differ; nothing was changed.");
    } else if (!std::getline(std::cin, password)) {
        return Fail(kExitUsage, "No password on standard input; nothing was changed.");
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (Characters(password) < web::kShortestPassword)
        return Fail(kExitUsage, "The password must have at least " + std::to_string(web::kShortestPassword) +
                                    " characters; nothing was changed.");
    const std::string file = web::PasswordFile(historyPath);
    std::string problem;
    if (!web::SavePassword(file, password, &problem)) return Fail(kExitFailure, problem);
    Say("The web password is set (its hash is kept in " + file +
        "). A serve that already runs takes it when it is started again.");
    return kExitOk;
}

struct WebPagesThread::Impl {
    Pages pages;
    std::thread thread;
};

WebPagesThread::WebPagesThread(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<WebPagesThread> WebPagesThread::Start(const std::string& path, history::DateOrder order,
                                                      const ServeOptions& options, std::string* problem, int* code) {
    auto impl = std::make_unique<Impl>();
    *code = SetUp(path, order, options, &impl->pages, problem);
    if (*code) return nullptr;
    web::Server* server = impl->pages.server.get();
    impl->thread = std::thread([server] { server->Run(); });
    return std::unique_ptr<WebPagesThread>(new WebPagesThread(std::move(impl)));
}

WebPagesThread::~WebPagesThread() {
    impl_->pages.server->Stop();
    impl_->thread.join();
}

void WebPagesThread::Announce(const std::vector<history::StoredCall>& calls) {
    std::vector<history::PageRow> rows;
    for (const auto& call : calls) rows.push_back({call, -1});  // the count is the page's to read
    if (!rows.empty()) impl_->pages.server->Announce(std::move(rows));
}

const std::string& WebPagesThread::url() const { return impl_->pages.url; }

}  // namespace dialscope::cli
