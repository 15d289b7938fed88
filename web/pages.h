// The pages and the JSON the server sends, made from the history's rows.
// Every text from the line or from the user goes through html.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "history/call_reader.h"
#include "web/platform.h"

namespace dialscope::web {

// What the user asked for: the filter of the page, its URL form and the
// cursor. Parsed from the query string by ReadRequestQuery.
struct CallsRequest {
    history::PageQuery query;
    std::string search, since, until, label;
    std::string instance;  // the watcher's instance id, history::kLocalInstance, or "" for all
    std::string damaged;  // "" intact calls only, "with" damaged records too, "only" damaged records only
    std::string problem;  // a filter that could not be read, in plain words, as the page goes on without it
    std::string refusal;  // the same said as a refusal, for the API, which answers nothing then
};
CallsRequest ReadCallsRequest(std::string_view queryString, history::DateOrder order);
// The filter as a query string (no cursor), for links and exports.
std::string FilterQuery(const CallsRequest& request);
// "RECEIVEDMS.ID", the cursor in links; ReadCursor reads it back.
std::string CursorText(const history::PageCursor& cursor);
bool ReadCursor(std::string_view text, history::PageCursor* cursor);

struct CallsView {
    CallsRequest request;
    history::CallPage page;
    int64_t lastId = 0;  // the highest id in the history when the page was made
    std::vector<std::string> instances;  // CallReader::Instances: the Box column and filter show when any is not ""
    std::string problem; // the history could not be read
    history::DateOrder order = history::DateOrder::MDY;
    // Signed in with the password: the sign-out button's change token;
    // empty: no button.
    std::string signOut;
};

std::string CallsPage(const CallsView& view);
// The rows of a page as <tr> elements, for the live updates.
std::string RowsHtml(const std::vector<history::PageRow>& rows, history::DateOrder order);
// One call as a JSON object (the export's fields, and how often its text occurs).
std::string CallJson(const history::PageRow& row, history::DateOrder order);
// The names page: every contact, each one's name changed or removed in
// place, a new one added. csrf: the token every change sends back; empty
// when the names can only be read here. notice: what the last change did.
struct NamesView {
    std::vector<history::Contact> contacts;
    std::string csrf;
    std::string notice, problem;
    std::string number, name;  // what was typed, shown again when it was refused
    std::string signOut;  // as CallsView's
};
std::string NamesPage(const NamesView& view);

struct CallerView {
    std::string number;  // normalised
    history::CallerCalls calls;
    std::string problem;
    history::DateOrder order = history::DateOrder::MDY;
    std::string signOut;  // as CallsView's
};
std::string CallerPage(const CallerView& view);

struct OverviewView {
    history::HistoryOverview history;
    AdapterState adapter;
    std::optional<int64_t> certificateEnd;  // served over TLS: the certificate's end, unix seconds
    int64_t now = 0;                        // unix seconds, to tell whether it has passed
    std::string problem;
    std::string signOut;  // as CallsView's
};
std::string OverviewPage(const OverviewView& view);

// Bars (label, value), oldest first, as an SVG image drawn here: one
// <rect class="bar"> per bar, each with its label and value as a tooltip.
std::string BarChartSvg(const std::vector<std::pair<std::string, int64_t>>& bars, std::string_view what);

// A small page of its own for refusals and errors: no script, no style sheet.
std::string PlainPage(std::string_view title, std::string_view words);

}  // namespace dialscope::web
