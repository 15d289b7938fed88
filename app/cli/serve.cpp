#include "app/cli/serve.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/cli/console.h"
#include "app/cli/exit_codes.h"
#include "history/call_reader.h"
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
};

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
    if (host == "127.0.0.1" || host == "localhost") {
        server.address = "127.0.0.1";
    } else if (host == "::1") {
        server.address = "::1";
    } else {
        *problem = "The pages are served only on this machine for now (127.0.0.1, ::1 or localhost): pages for "
                   "other machines need TLS and a password, which are not there yet.";
        return kExitUsage;
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
    if (server.auth && !web::LoadOrMakeToken(path + ".web-token", &server.token, problem)) return kExitFailure;
    pages->server = std::make_unique<web::Server>(server, pages->reader.get());
    if (!pages->server->Listen(problem)) return kExitFailure;
    pages->url = "http://" + (host == "::1" ? std::string("[::1]") : host) + ":" +
                 std::to_string(pages->server->port()) + "/";
    if (server.auth) pages->url += "?token=" + server.token;
    pages->auth = server.auth;
    return 0;
}

}  // namespace

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
    Pages pages;
    if (const int code = SetUp(path, order, options, &pages, &problem)) return Fail(code, problem);
    std::printf("The calls are at %s\n", pages.url.c_str());
    if (!pages.auth) std::printf("Without a token: every program and user of this machine can read them.\n");
    std::fflush(stdout);
    pages.server->WatchHistory();
    pages.server->Run();
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
