#include "history/history_store.h"

#include <algorithm>

namespace dialscope::history {

RecordFields ToHistoryRecord(const dialscope::RecordFields& record) {
    RecordFields out;
    out.headerKnown = record.headerKnown;
    if (record.label) std::copy(record.label, record.label + 8, out.label.begin());
    out.labelIndex = record.labelIndex;
    out.letterCode = record.letterCode;
    std::copy(std::begin(record.dateTime), std::end(record.dateTime), out.dateTime.begin());
    if (record.text) out.text.assign(reinterpret_cast<const char*>(record.text), record.textLength);
    out.hasText = record.hasText;
    out.damaged = record.damaged;
    if (record.rendered)
        out.rendered.assign(reinterpret_cast<const char*>(record.rendered), record.renderedLength);
    return out;
}

namespace {

std::string Count(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

DownloadEnd ToHistoryEnd(dialscope::DownloadEnd how) {
    switch (how) {
    case dialscope::DownloadEnd::Completed: return DownloadEnd::Completed;
    case dialscope::DownloadEnd::Stalled: return DownloadEnd::NoEndFrame;
    case dialscope::DownloadEnd::Restarted: return DownloadEnd::Restarted;
    case dialscope::DownloadEnd::Refused: return DownloadEnd::Interrupted;
    case dialscope::DownloadEnd::Cut: return DownloadEnd::Cut;
    }
    return DownloadEnd::Interrupted;
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

std::string HistoryStore::DownloadEnded(dialscope::DownloadEnd how) {
    const DownloadSummary summary = history_->EndDownload(ToHistoryEnd(how));
    // A download cut before its first record has nothing to sum up.
    if (how != dialscope::DownloadEnd::Completed && summary.records == 0) return {};
    return SummaryLine(summary);
}

}  // namespace dialscope::history
