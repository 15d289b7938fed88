#include "web/pages.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "history/export.h"
#include "history/latin1.h"
#include "web/html.h"

namespace dialscope::web {

namespace {

using history::PageRow;
using history::StoredCall;

bool IsDay(const std::string& s) {
    int y, m, d;
    char tail;
    return s.size() == 10 && std::sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 && m >= 1 &&
           m <= 12 && d >= 1 && d <= 31;
}

// The box's date and time as a calendar reads it, or its raw fields when
// they make no date.
std::string BoxWhen(const StoredCall& call, history::DateOrder order) {
    const CallRecord& f = call.fields;
    if (!f.headerKnown) return "?\?/?\?/?\? ?\?:?\?";
    const auto dt = history::ReadBoxDateTime(f.dateTime, order, call.receivedAt);
    char buf[64];
    if (dt.year && dt.hour) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", *dt.year, *dt.month, *dt.day, *dt.hour, *dt.minute);
    } else {
        auto two = [](int16_t v) { return v < 0 ? std::string("??") : (v < 10 ? "0" : "") + std::to_string(v); };
        std::snprintf(buf, sizeof buf, "%s/%s/%s %s:%s", two(f.dateTime[0]).c_str(), two(f.dateTime[1]).c_str(),
                      two(f.dateTime[2]).c_str(), two(f.dateTime[3]).c_str(), two(f.dateTime[4]).c_str());
    }
    return buf;
}

std::string Label(const CallRecord& f) {
    if (!f.headerKnown) return "";
    std::string_view label(reinterpret_cast<const char*>(f.label.data()), f.label.size());
    return std::string(history::TrimTrailingBlanks(label));
}

std::string Row(const PageRow& row, history::DateOrder order) {
    const StoredCall& c = row.call;
    const CallRecord& f = c.fields;
    const std::string received = history::IsoUtc(c.receivedAt);
    std::string html = "<tr data-id=\"" + std::to_string(c.id) + "\"" + (c.damaged ? " class=\"damaged\"" : "") + ">";
    html += "<td class=\"when\" data-col=\"Box time\">" + BoxWhen(c, order) + "</td>";
    // The received time in UTC; the page's script shows it in local time.
    html += "<td class=\"received\" data-col=\"Received\"><time datetime=\"" + received + "\">" +
            received.substr(0, 10) + " " + received.substr(11, 5) + " UTC</time></td>";
    html += "<td class=\"label\" data-col=\"Label\"><bdi>" + HtmlFromLatin1(Label(f)) + "</bdi></td>";
    html += "<td class=\"letter\" data-col=\"Letter\">" +
            (f.headerKnown ? std::string(1, static_cast<char>('A' + (f.letterCode & 3))) : std::string()) + "</td>";
    // The contact's name will stand above the text here.
    html += "<td class=\"text\" data-col=\"Caller\">";
    html += f.hasText ? "<bdi>" + HtmlFromLatin1(f.text) + "</bdi>" : "<span class=\"tone\">Tone only</span>";
    html += "</td>";
    html += std::string("<td class=\"count") + (row.sameText == 1 ? " once" : "") + "\" data-col=\"Calls\">" + (row.sameText > 0 ? std::to_string(row.sameText) : "") + "</td>";
    html += "<td class=\"mark\" data-col=\"\">" +
            std::string(c.damaged ? "<span class=\"damage\" title=\"Arrived damaged\">damaged</span>" : "") + "</td>";
    return html + "</tr>\n";
}

std::string Selected(bool yes) { return yes ? " selected" : ""; }

}  // namespace

CallsRequest ReadCallsRequest(std::string_view queryString, history::DateOrder order) {
    CallsRequest r;
    auto q = ParseQuery(queryString);
    r.search = q["q"];
    r.since = q["since"];
    r.until = q["until"];
    r.label = q["label"];
    r.damaged = q["damaged"];
    if (r.damaged != "with" && r.damaged != "only") r.damaged.clear();
    for (std::string* day : {&r.since, &r.until}) {
        if (day->empty() || IsDay(*day)) continue;
        r.problem = "\"" + *day + "\" is not a date of the form YYYY-MM-DD; it is left out.";
        day->clear();
    }
    history::ListQuery& f = r.query.filter;
    f.search = r.search;
    f.since = r.since;
    f.until = r.until;
    f.label = r.label;
    f.dateOrder = order;
    f.includeDamaged = !r.damaged.empty();
    r.query.onlyDamaged = r.damaged == "only";
    history::PageCursor cursor;
    const std::string before = q.count("cursor") ? q["cursor"] : q["before"];
    if (!before.empty()) {
        if (ReadCursor(before, &cursor)) r.query.before = cursor;
        else r.problem = "The page's place in the list could not be read; the newest calls are shown.";
    }
    const std::string after = q["after"];
    if (!after.empty()) r.query.afterId = std::strtoll(after.c_str(), nullptr, 10);
    return r;
}

std::string FilterQuery(const CallsRequest& r) {
    std::string out;
    auto add = [&](const char* name, const std::string& value) {
        if (value.empty()) return;
        out += (out.empty() ? "" : "&") + std::string(name) + "=" + UrlEncode(value);
    };
    add("q", r.search);
    add("since", r.since);
    add("until", r.until);
    add("label", r.label);
    add("damaged", r.damaged);
    return out;
}

std::string CursorText(const history::PageCursor& c) {
    return std::to_string(c.receivedAt) + "." + std::to_string(c.id);
}

bool ReadCursor(std::string_view text, history::PageCursor* c) {
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != dot && (text[i] < '0' || text[i] > '9')) return false;
    if (dot > 18 || text.size() - dot - 1 > 18) return false;
    c->receivedAt = std::stoll(std::string(text.substr(0, dot)));
    c->id = std::stoll(std::string(text.substr(dot + 1)));
    return true;
}

std::string RowsHtml(const std::vector<PageRow>& rows, history::DateOrder order) {
    std::string html;
    for (const auto& row : rows) html += Row(row, order);
    return html;
}

std::string CallJson(const PageRow& row, history::DateOrder order) {
    auto j = nlohmann::ordered_json::parse(history::JsonLine(row.call, order));
    j["same_text_calls"] = row.sameText >= 0 ? nlohmann::ordered_json(row.sameText) : nlohmann::ordered_json(nullptr);
    return j.dump();
}

std::string CallsPage(const CallsView& v) {
    const CallsRequest& r = v.request;
    const std::string filter = FilterQuery(r);
    const bool first = !r.query.before;
    std::string h =
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<meta name=\"color-scheme\" content=\"light dark\">"
        "<title>Calls - Dialscope</title>"
        "<link rel=\"icon\" href=\"/static/icon.svg\" type=\"image/svg+xml\">"
        "<link rel=\"stylesheet\" href=\"/static/style.css\">"
        "<script src=\"/static/app.js\" defer></script></head>\n";
    // data-after: the calls that come after this id are new to the page;
    // data-live: only the first page takes them in.
    h += "<body data-after=\"" + std::to_string(v.lastId) + "\" data-live=\"" + (first ? "1" : "0") + "\">\n";
    h += "<header><h1>Calls</h1><span id=\"live\" class=\"live\" role=\"status\">"
         "</span><button id=\"notify\" type=\"button\" hidden>Notify me of new calls</button>";
    if (v.signOut) h += "<form class=\"signout\" method=\"post\" action=\"/logout\"><button type=\"submit\">Sign out</button></form>";
    h += "</header>\n";
    h += "<form class=\"filters\" method=\"get\" action=\"/\">"
         "<input type=\"search\" name=\"q\" value=\"" + HtmlFromUtf8(r.search) +
         "\" placeholder=\"Name or number\" aria-label=\"Search name or number\">"
         "<label>From <input type=\"date\" name=\"since\" value=\"" + HtmlFromUtf8(r.since) + "\"></label>"
         "<label>To <input type=\"date\" name=\"until\" value=\"" + HtmlFromUtf8(r.until) + "\"></label>"
         "<label>Label <input name=\"label\" size=\"8\" value=\"" + HtmlFromUtf8(r.label) + "\"></label>"
         "<label>Records <select name=\"damaged\">"
         "<option value=\"\"" + Selected(r.damaged.empty()) + ">calls</option>"
         "<option value=\"with\"" + Selected(r.damaged == "with") + ">calls and damaged</option>"
         "<option value=\"only\"" + Selected(r.damaged == "only") + ">damaged only</option>"
         "</select></label>"
         "<button type=\"submit\">Show</button> <a href=\"/\">Clear</a></form>\n";
    for (const std::string* problem : {&r.problem, &v.problem})
        if (!problem->empty()) h += "<p class=\"problem\">" + HtmlFromUtf8(*problem) + "</p>\n";
    h += "<table id=\"calls\"><thead><tr><th>Box time</th><th>Received</th><th>Label</th><th>Letter</th>"
         "<th>Caller</th><th title=\"Calls with this caller text\">Calls</th><th></th></tr></thead>\n<tbody>\n";
    h += RowsHtml(v.page.rows, v.order);
    h += "</tbody></table>\n";
    h += std::string("<p id=\"empty\" class=\"empty\"") + (v.page.rows.empty() ? "" : " hidden") + ">" +
         (filter.empty() ? "No calls kept yet. New calls show here as they come."
                         : "No calls match. Clear the filter to see all calls.") + "</p>\n";
    h += "<nav class=\"pager\">";
    if (!first) h += "<a href=\"/" + (filter.empty() ? "" : "?" + filter) + "\">Newest calls</a> ";
    if (v.page.next)
        h += "<a rel=\"next\" href=\"/?" + filter + (filter.empty() ? "" : "&") + "before=" + CursorText(*v.page.next) +
             "\">Older calls</a>";
    h += "</nav>\n";
    const std::string q = filter.empty() ? "" : "?" + filter;
    h += "<p class=\"export\">Export these calls: <a href=\"/export.csv" + q + "\" download>CSV</a> "
         "<a href=\"/export.json" + q + "\" download>JSON lines</a></p>\n";
    return h + "</body></html>\n";
}

std::string PlainPage(std::string_view title, std::string_view words) {
    return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<meta name=\"color-scheme\" content=\"light dark\"><title>" +
           HtmlFromUtf8(title) + "</title></head><body><h1>" + HtmlFromUtf8(title) + "</h1><p>" +
           HtmlFromUtf8(words) + "</p></body></html>\n";
}

}  // namespace dialscope::web
