// `dialscope-cli serve`: the call history's web pages, in a process of its
// own beside the watcher; new calls reach the open pages as the watcher
// writes them into the history. `watch --http` serves the same pages from
// the watcher itself, handing them its new calls (WebPagesThread).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "history/call_history.h"

namespace dialscope::cli {

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";  // ADDR:PORT ([::1]:PORT for IPv6)
    bool noAuth = false;
    // A new token in place of the kept one: whoever signed in with the old
    // one is signed out, here and in any other serve of the same history.
    bool newToken = false;
    // TLS (PEM files); needed, with the password, beyond this machine.
    std::string tlsCert, tlsKey;
    // More names browsers reach this machine by (its host name and addresses
    // are known already when it listens on all of them).
    std::vector<std::string> names;
    // --collect: the broker the watchers publish to; empty: none.
    std::string collect, collectId, collectPasswordFile, collectCaFile;
};

// `dialscope-cli passwd`: the password for pages served beyond this
// machine, read twice from the terminal without echo, or one line from
// stdin when that is no terminal; its hash goes to HISTORY.web-password.
int SetWebPassword(const std::string& historyPath);
// What passwd --help says of it.
std::string PasswdDescription();

// Serves until SIGINT or SIGTERM; returns the program's exit status.
int Serve(const std::string& historyPath, history::DateOrder order, const ServeOptions& options);

// The pages on a thread of their own beside the watcher, which keeps the
// history open and says which calls are new.
class WebPagesThread {
public:
    // Null with *problem and *code (the exit status) when the pages cannot
    // be served: a bad --http, the port taken, the token not kept.
    static std::unique_ptr<WebPagesThread> Start(const std::string& historyPath, history::DateOrder order,
                                                 const ServeOptions& options, std::string* problem, int* code);
    ~WebPagesThread();  // stops serving and waits for the thread
    // Calls new to the history, as TakeNewCalls gives them; any thread.
    void Announce(const std::vector<history::StoredCall>& calls);
    // The address to open, with the token.
    const std::string& url() const;

    struct Impl;

private:
    explicit WebPagesThread(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialscope::cli
