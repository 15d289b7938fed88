// `dialscope-cli serve`: the call history's web pages, in a process of its
// own beside the watcher; new calls reach the open pages as the watcher
// writes them into the history.
#pragma once

#include <string>

#include "history/call_history.h"

namespace dialscope::cli {

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";  // ADDR:PORT ([::1]:PORT for IPv6)
    bool noAuth = false;
};

// Serves until SIGINT or SIGTERM; returns the program's exit status.
int Serve(const std::string& historyPath, history::DateOrder order, const ServeOptions& options);

}  // namespace dialscope::cli
