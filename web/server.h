// The web pages of the call history: one event loop (Boost.Asio) that holds
// every connection, live streams included, on one thread.
//
// Why Boost.Beast on Asio: one loop holds many open connections (each tab's
// live stream stays open), where the HTTP library Debian ships gives each
// connection a thread and has no WebSocket; and it is header-only, so it
// cross-builds with mingw-w64 (ws2_32, mswsock) for the Windows program.
//
// Where live calls come from is kept apart from the pages: a `serve` process
// watches the history file (WatchHistory); a program that keeps the history
// itself (the watcher with its own pages) calls Announce from its record
// events instead, on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "history/call_reader.h"
#include "web/tls_facts.h"

namespace dialscope::web {

struct ServerOptions {
    std::string address = "127.0.0.1";  // 127.0.0.1 or ::1; another needs TLS and a password
    uint16_t port = 8080;               // 0: any free port (port() tells which)
    std::string token;                  // the secret; empty with auth false
    // Where the token is kept: looked at every two seconds, and a new one
    // there (serve --new-token) takes the old one's place and ends every
    // sign-in. Empty: the token never changes.
    std::string tokenFile;
    bool auth = true;
    // TLS: the certificate chain and its private key (PEM files); plain HTTP
    // when empty.
    std::string tlsCert, tlsKey;
    // Not empty: a sign-in page asks for the password of this Argon2id hash,
    // instead of the token.
    std::string passwordHash;
    // Host names answered to besides this machine's loopback ones (the
    // address listened on, the machine's names and addresses).
    std::vector<std::string> names;
    history::DateOrder dateOrder = history::DateOrder::MDY;
    // Puts and removes contacts (remove: normalised numbers) for the names
    // page; false and *problem in plain words when nothing was changed.
    // Empty: the names can only be read.
    std::function<bool(const std::vector<history::Contact>& put, const std::vector<std::string>& remove,
                       std::string* problem)>
        changeContacts;
    // Asked a few times a second; true ends Run.
    std::function<bool()> stopRequested;
};

class Server {
public:
    // reader: the history's pages are read through it; it must outlive the server.
    Server(ServerOptions options, history::CallReader* reader);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the address; false and *problem in plain words when it cannot,
    // or when the TLS certificate or key cannot be used.
    bool Listen(std::string* problem);
    uint16_t port() const;
    // The TLS certificate's names and end, once Listen took it; null
    // without TLS.
    const TlsFacts* certificate() const;
    // New calls are looked for in the history file a few times a second
    // (PRAGMA data_version on the reader's connection, then the rows after
    // the last id sent) and sent to every live stream.
    void WatchHistory();
    // Serves until stopRequested says so, or Stop.
    void Run();
    // Ends Run soon; safe from any thread.
    void Stop();
    // Sends these calls to every live stream; safe from any thread.
    void Announce(std::vector<history::PageRow> calls);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialscope::web
