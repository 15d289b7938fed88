// `watch --test-call`, and the lines the watcher's outputs say on stderr.
#pragma once

#include <string>

#include "history/call_history.h"
#include "publish/publishing.h"

namespace dialscope::cli {

// What the outputs say (a broker not reached, a command that failed): one line
// on stderr, as "dialscope-cli: ...".
void Report(const std::string& line);

// `watch --test-call`: sends one call marked as a test to every configured output
// (the broker as a new call, the command once) and says per output, on stdout,
// whether it took it. Opens no port and never touches the history. Returns the
// program's exit status.
int SendTestCall(const publish::PublishPlan& plan, history::DateOrder order);

}  // namespace dialscope::cli
