#include "app/cli/serve.h"

#include <cstdio>
#include <cstdlib>

#include "app/cli/console.h"
#include "app/cli/exit_codes.h"
#include "history/call_reader.h"
#include "web/platform.h"
#include "web/server.h"

namespace dialscope::cli {

namespace {

int Fail(int code, const std::string& line) {
    std::fprintf(stderr, "dialscope-cli: %s\n", line.c_str());
    std::fflush(stderr);
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

}  // namespace

int Serve(const std::string& path, history::DateOrder order, const ServeOptions& options) {
    std::string host;
    int port = 0;
    if (!SplitListen(options.listen, &host, &port))
        return Fail(kExitUsage, "--listen " + options.listen + " is not ADDRESS:PORT (for example 127.0.0.1:8080).");
    web::ServerOptions server;
    if (host == "127.0.0.1" || host == "localhost") server.address = "127.0.0.1";
    else if (host == "::1") server.address = "::1";
    else
        return Fail(kExitUsage, "serve listens only on this machine for now (127.0.0.1, ::1 or localhost): pages "
                                "for other machines need TLS and a password, which are not there yet.");
    server.port = static_cast<uint16_t>(port);
    server.dateOrder = order;
    server.auth = !options.noAuth;
    server.stopRequested = StopRequested;

    // Opened once as every command opens it: a new history is made, an
    // older one brought to the present version, the pending file taken in.
    std::string problem;
    {
        auto opened = history::CallHistory::Open(path, &problem);
        if (!opened) return Fail(kExitHistory, problem);
        if (auto warning = opened->TakeWarning()) Fail(0, *warning);
        const auto damage = opened->QuickCheck();
        if (!damage.empty())
            Fail(0, "The call history " + path + " is damaged (" + damage.front() +
                        "); the pages show what can still be read.");
        if (auto left = opened->Close(2000)) Fail(0, *left);
    }
    auto reader = history::CallReader::Open(path, &problem);
    if (!reader) return Fail(kExitHistory, problem);
    if (server.auth) {
        // Beside the history, as private as the history itself.
        const std::string tokenPath = path + ".web-token";
        if (!web::LoadOrMakeToken(tokenPath, &server.token, &problem)) return Fail(kExitFailure, problem);
    }

    web::Server web(server, reader.get());
    if (!web.Listen(&problem)) return Fail(kExitFailure, problem);
    const std::string shown = host == "::1" ? "[::1]" : host;
    std::string url = "http://" + shown + ":" + std::to_string(web.port()) + "/";
    if (server.auth) url += "?token=" + server.token;
    std::printf("The calls are at %s\n", url.c_str());
    if (!server.auth) std::printf("Without a token: every program and user of this machine can read them.\n");
    std::fflush(stdout);
    web.WatchHistory();
    web.Run();
    return kExitOk;
}

}  // namespace dialscope::cli
