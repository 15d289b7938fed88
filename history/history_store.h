// The call history as the program's call store: each download and record
// goes to the SQLite history as it happens, and each download ends with one
// status line saying how many calls were new and how many already kept.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "history/call_history.h"
#include "record/call_store.h"

namespace dialscope::history {

// "3 new calls, 96 already kept." and the damaged and unsaved counts.
std::string SummaryLine(const DownloadSummary& summary);

class HistoryStore final : public CallStore {
public:
    explicit HistoryStore(std::unique_ptr<CallHistory> history) : history_(std::move(history)) {}

    void DownloadStarted(const std::string& port) override { history_->BeginDownload(port); }
    void RecordOutput(const CallRecord& record, std::string_view rendered) override {
        lastRecord_ = history_->AddRecord(record, std::string(rendered));
    }
    // The number of the record stored last, for CallHistory::WrittenAs.
    uint64_t lastRecord() const { return lastRecord_; }
    std::string DownloadEnded(DownloadEnd how) override;
    void Tick() override { history_->Flush(); }
    // The history's failures, and what it did of its own accord.
    std::optional<StoreProblem> TakeProblem() override {
        if (auto problem = history_->TakeProblem()) return problem;
        if (auto notice = history_->TakeNotice()) return StoreProblem{StoreTrouble::Notice, std::move(*notice)};
        return std::nullopt;
    }

    CallHistory& history() { return *history_; }

private:
    std::unique_ptr<CallHistory> history_;
    uint64_t lastRecord_ = 0;
};

}  // namespace dialscope::history
