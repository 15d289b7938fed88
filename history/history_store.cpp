#include "history/history_store.h"

namespace dialscope::history {

namespace {

std::string Count(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string SummaryLine(const DownloadSummary& s) {
    std::string line = "History: " + Count(s.newCalls, "new call", "new calls") + ", " +
                       std::to_string(s.knownCalls) + " already kept.";
    if (s.damaged > 0)
        line += " " + Count(s.damaged, "damaged record", "damaged records") + " kept apart.";
    if (s.unsaved > 0)
        line += " " + Count(s.unsaved, "record waits", "records wait") + " to be written.";
    return line;
}

std::string HistoryStore::DownloadEnded(DownloadEnd how) {
    const DownloadSummary summary = history_->EndDownload(how);
    // A download cut before its first record has nothing to sum up.
    if (how != dialscope::DownloadEnd::Completed && summary.records == 0) return {};
    return SummaryLine(summary);
}

}  // namespace dialscope::history
