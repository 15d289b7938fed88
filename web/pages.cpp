#include "web/pages.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <nlohmann/json.hpp>

#include "history/contacts_import.h"
#include "history/export.h"
#include "history/latin1.h"
#include "history/phone_number.h"
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

// A caller text longer than this (a box's own are far shorter) shows its
// start: whole, it made one link many lines tall.
constexpr size_t kShownText = 80;

std::string Row(const PageRow& row, history::DateOrder order) {
    const StoredCall& c = row.call;
    const CallRecord& f = c.fields;
    const std::string received = history::IsoUtc(c.receivedAt);
    std::string html = "<tr data-id=\"" + std::to_string(c.id) + "\"" + (c.damaged ? " class=\"damaged\"" : "") + ">";
    // The received time, which orders the list, in UTC (the page's script
    // shows it in local time); the box's own beside it.
    html += "<td class=\"received\" data-col=\"Received\"><time datetime=\"" + received + "\">" +
            received.substr(0, 10) + " " + received.substr(11, 5) + " UTC</time></td>";
    html += "<td class=\"when\" data-col=\"Box time\">" + BoxWhen(c, order) + "</td>";
    html += "<td class=\"label\" data-col=\"Label\"><bdi>" + HtmlFromLatin1(Label(f)) + "</bdi></td>";
    html += "<td class=\"letter\" data-col=\"Letter\">" +
            (f.headerKnown ? std::string(1, static_cast<char>('A' + (f.letterCode & 3))) : std::string()) + "</td>";
    // The contact's name above the text; a text with a number links to all
    // the calls from that line.
    html += "<td class=\"text\" data-col=\"Caller\">";
    if (c.name) html += "<span class=\"name\"><bdi>" + HtmlFromUtf8(*c.name) + "</bdi></span>";
    const auto number = f.hasText && !c.damaged ? history::CallerNumber(f.text) : std::nullopt;
    if (number) html += "<a class=\"caller\" href=\"/caller?n=" + UrlEncode(*number) + "\">";
    if (!f.hasText) html += "<span class=\"tone\">Tone only</span>";
    else if (f.text.size() <= kShownText) html += "<bdi>" + HtmlFromLatin1(f.text) + "</bdi>";
    else  // its start, the whole as its tooltip
        html += "<bdi title=\"" + HtmlFromLatin1(f.text) + "\">" + HtmlFromLatin1(std::string_view(f.text).substr(0, kShownText)) +
                "\u2026</bdi>";
    if (number) html += "</a>";
    html += "</td>";
    html += std::string("<td class=\"count") + (row.sameText == 1 ? " once" : "") + "\" data-col=\"Calls\">" + (row.sameText > 0 ? std::to_string(row.sameText) : "") + "</td>";
    // The watcher a collected call came from; the column shows only in a
    // history that has any (table.boxes).
    html += "<td class=\"box\" data-col=\"Box\">" + HtmlFromUtf8(c.instance) + "</td>";
    html += "<td class=\"mark\" data-col=\"\">" +
            std::string(c.damaged ? "<span class=\"damage\" title=\"Arrived damaged\">damaged</span>" : "") + "</td>";
    return html + "</tr>\n";
}

// The list's order said plainly: a box whose clock is wrong (one said
// 1966) would otherwise seem to be listed out of order.
constexpr const char* kOrder =
    "<p class=\"order muted\">Newest first by the time each call was received; the box's own time, "
    "which may be wrong if its clock is, is beside it.</p>\n";

std::string Selected(bool yes) { return yes ? " selected" : ""; }

// The head of every page but the plain ones, and the links between them.
std::string Head(std::string_view title) {
    return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<meta name=\"color-scheme\" content=\"light dark\">"
           "<title>" + HtmlFromUtf8(title) + " - Dialscope</title>"
           "<link rel=\"icon\" href=\"/static/icon.svg\" type=\"image/svg+xml\">"
           "<link rel=\"stylesheet\" href=\"/static/style.css\">"
           "<script src=\"/static/app.js\" defer></script></head>\n";
}

// The links between the pages, and the button to sign out on every page
// when the visitor signed in with the password.
std::string Nav(std::string_view here, const std::string& signOut) {
    std::string h = "<nav class=\"pages\">";
    for (auto [path, name] : {std::pair{"/", "Calls"}, {"/overview", "Overview"}, {"/names", "Names"}})
        h += std::string("<a href=\"") + path + "\"" + (name == here ? " aria-current=\"page\"" : "") + ">" + name + "</a>";
    h += "</nav>";
    if (!signOut.empty())
        h += "<form class=\"signout\" method=\"post\" action=\"/logout\"><input type=\"hidden\" name=\"csrf\" value=\"" +
             HtmlFromUtf8(signOut) + "\"><button type=\"submit\">Sign out</button></form>";
    return h;
}

std::string Problems(std::initializer_list<const std::string*> problems) {
    std::string h;
    for (const std::string* problem : problems)
        if (!problem->empty()) h += "<p class=\"problem\">" + HtmlFromUtf8(*problem) + "</p>\n";
    return h;
}

std::string Day(const std::string& day) { return "<span class=\"day\">" + HtmlFromUtf8(day) + "</span>"; }

std::string Plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A time of the history (unix ms) for the page's script to show in local time.
std::string TimeTag(int64_t unixMs) {
    const std::string iso = history::IsoUtc(unixMs);
    return "<time datetime=\"" + iso + "\">" + iso.substr(0, 10) + " " + iso.substr(11, 5) + " UTC</time>";
}

}  // namespace

CallsRequest ReadCallsRequest(std::string_view queryString, history::DateOrder order) {
    CallsRequest r;
    auto q = ParseQuery(queryString);
    r.search = q["q"];
    r.since = q["since"];
    r.until = q["until"];
    r.label = q["label"];
    r.damaged = q["damaged"];
    r.instance = q["instance"];
    if (r.damaged != "with" && r.damaged != "only") r.damaged.clear();
    for (std::string* day : {&r.since, &r.until}) {
        if (day->empty() || IsDay(*day)) continue;
        r.problem = "\"" + *day + "\" is not a date of the form YYYY-MM-DD; it is left out.";
        r.refusal = "\"" + *day + "\" is not a date of the form YYYY-MM-DD, so the request is refused.";
        day->clear();
    }
    history::ListQuery& f = r.query.filter;
    f.search = r.search;
    f.since = r.since;
    f.until = r.until;
    f.label = r.label;
    f.instance = r.instance;
    f.dateOrder = order;
    f.includeDamaged = !r.damaged.empty();
    r.query.onlyDamaged = r.damaged == "only";
    history::PageCursor cursor;
    const std::string before = q.count("cursor") ? q["cursor"] : q["before"];
    if (!before.empty()) {
        if (ReadCursor(before, &cursor)) r.query.before = cursor;
        else {
            r.problem = "The page's place in the list could not be read; the newest calls are shown.";
            r.refusal = "The cursor \"" + before + "\" could not be read, so the request is refused.";
        }
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
    add("instance", r.instance);
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
    j["instance"] = row.call.instance.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(row.call.instance);
    j["same_text_calls"] = row.sameText >= 0 ? nlohmann::ordered_json(row.sameText) : nlohmann::ordered_json(nullptr);
    return j.dump();
}

std::string CallsPage(const CallsView& v) {
    const CallsRequest& r = v.request;
    const std::string filter = FilterQuery(r);
    const bool first = !r.query.before;
    std::string h = Head("Calls");
    // data-after: the calls that come after this id are new to the page;
    // data-live: only the first page takes them in.
    h += "<body data-after=\"" + std::to_string(v.lastId) + "\" data-live=\"" + (first ? "1" : "0") + "\">\n";
    h += "<header><h1>Calls</h1>" + Nav("Calls", v.signOut) + "<span id=\"live\" class=\"live\" role=\"status\">"
         "</span><button id=\"notify\" type=\"button\" hidden>Notify me of new calls</button>";
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
         "</select></label>";
    // Calls collected from other machines' watchers: which box each came from.
    const bool boxes = std::any_of(v.instances.begin(), v.instances.end(), [](auto& i) { return !i.empty(); }) ||
                       !r.instance.empty();
    if (boxes) {
        h += "<label>Box <select name=\"instance\"><option value=\"\"" + Selected(r.instance.empty()) + ">all</option>";
        bool listed = r.instance.empty();
        for (const std::string& i : v.instances) {
            const std::string value = i.empty() ? history::kLocalInstance : i;
            listed = listed || value == r.instance;
            h += "<option value=\"" + HtmlFromUtf8(value) + "\"" + Selected(value == r.instance) + ">" +
                 HtmlFromUtf8(i.empty() ? "this machine" : i) + "</option>";
        }
        if (!listed) h += "<option value=\"" + HtmlFromUtf8(r.instance) + "\" selected>" + HtmlFromUtf8(r.instance) + "</option>";
        h += "</select></label>";
    }
    h += "<button type=\"submit\">Show</button> <a href=\"/\">Clear</a></form>\n";
    h += Problems({&r.problem, &v.problem});
    h += kOrder;
    h += std::string("<table id=\"calls\"") + (boxes ? " class=\"boxes\"" : "") +
         "><thead><tr><th>Received</th><th>Box time</th><th>Label</th><th>Letter</th>"
         "<th>Caller</th><th title=\"Calls with this caller text\">Calls</th><th class=\"box\">Box</th><th></th></tr></thead>\n<tbody>\n";
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

std::string BarChartSvg(const std::vector<std::pair<std::string, int64_t>>& bars, std::string_view what) {
    constexpr int kWidth = 600, kHeight = 150, kTop = 24, kBottom = 28;
    // Room for a year of months at least: one month alone is a bar, not a
    // block the chart's width.
    constexpr size_t kFewestPlaces = 12;
    int64_t most = 0;
    for (const auto& bar : bars) most = std::max(most, bar.second);
    const double step = static_cast<double>(kWidth) / std::max(bars.size(), kFewestPlaces);
    const double gap = step > 6 ? step * 0.2 : 0;
    const int floor = kHeight - kBottom;
    char buf[160];
    std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(kHeight) +
                      "\" role=\"img\" aria-label=\"" + HtmlFromUtf8(what) + "\" xmlns=\"http://www.w3.org/2000/svg\">";
    svg += "<line class=\"axis\" x1=\"0\" x2=\"" + std::to_string(kWidth) + "\" y1=\"" + std::to_string(floor) +
           "\" y2=\"" + std::to_string(floor) + "\"/>";
    for (size_t i = 0; i < bars.size(); ++i) {
        const double h = most ? static_cast<double>(bars[i].second) * (floor - kTop) / most : 0;
        std::snprintf(buf, sizeof buf, "<rect class=\"bar\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">",
                      i * step + gap / 2, floor - h, step - gap, h);
        svg += buf;
        svg += "<title>" + HtmlFromUtf8(bars[i].first) + ": " + Plural(bars[i].second, "call", "calls") + "</title></rect>";
    }
    // The scale: the highest bar's value, the first and the last label.
    svg += "<text class=\"scale\" x=\"0\" y=\"18\">" + (most ? Plural(most, "call", "calls") : std::string("no calls")) + "</text>";
    if (!bars.empty()) {
        // Bars too few to hold both labels apart (the phone's words are
        // large): the first names the span.
        const bool apart = step * bars.size() >= 200;
        svg += "<text x=\"0\" y=\"" + std::to_string(kHeight - 4) + "\">" + HtmlFromUtf8(bars.front().first) +
               (bars.size() > 1 && !apart ? " \u2013 " + HtmlFromUtf8(bars.back().first) : std::string()) + "</text>";
        if (bars.size() > 1 && apart) {
            std::snprintf(buf, sizeof buf, "%.1f", step * bars.size());
            svg += std::string("<text x=\"") + buf + "\" y=\"" + std::to_string(kHeight - 4) +
                   "\" text-anchor=\"end\">" + HtmlFromUtf8(bars.back().first) + "</text>";
        }
    }
    return svg + "</svg>";
}

std::string NamesPage(const NamesView& v) {
    std::string h = Head("Names") + "<body>\n<header><h1>Names</h1>" + Nav("Names", v.signOut) + "</header>\n";
    if (!v.notice.empty()) h += "<p class=\"notice\" role=\"status\">" + HtmlFromUtf8(v.notice) + "</p>\n";
    h += Problems({&v.problem});
    const bool edit = !v.csrf.empty();
    const std::string longest = std::to_string(history::kLongestName);
    const std::string csrf = "<input type=\"hidden\" name=\"csrf\" value=\"" + HtmlFromUtf8(v.csrf) + "\">";
    if (edit) {
        h += "<form class=\"add\" method=\"post\" action=\"/names\">" + csrf +
             "<label>Number <input name=\"number\" inputmode=\"tel\" required value=\"" + HtmlFromUtf8(v.number) +
             "\"></label><label>Name <input name=\"name\" required maxlength=\"" + longest + "\" value=\"" + HtmlFromUtf8(v.name) +
             "\"></label><button type=\"submit\" name=\"do\" value=\"save\">Add</button></form>\n";
    } else {
        h += "<p class=\"muted\">The names can only be read here.</p>\n";
    }
    h += "<ul id=\"names\" class=\"names\">\n";
    for (const history::Contact& c : v.contacts) {
        const std::string number = HtmlFromUtf8(c.number);
        h += "<li data-number=\"" + number + "\">";
        if (edit) {
            h += "<form method=\"post\" action=\"/names\">" + csrf + "<input type=\"hidden\" name=\"number\" value=\"" +
                 number + "\"><a class=\"number\" href=\"/caller?n=" + UrlEncode(c.number) + "\">" + number +
                 "</a><input name=\"name\" required maxlength=\"" + longest + "\" aria-label=\"Name for " + number + "\" value=\"" +
                 HtmlFromUtf8(c.name) + "\"><button type=\"submit\" name=\"do\" value=\"save\">Save</button>"
                 "<button type=\"submit\" name=\"do\" value=\"remove\" class=\"remove\">Remove</button></form>";
        } else {
            h += "<a class=\"number\" href=\"/caller?n=" + UrlEncode(c.number) + "\">" + number + "</a> <bdi>" +
                 HtmlFromUtf8(c.name) + "</bdi>";
        }
        h += "</li>\n";
    }
    h += "</ul>\n";
    if (v.contacts.empty()) h += "<p class=\"empty\">No names yet. Add one above, or import an address book with "
                                 "dialscope-cli contacts import.</p>\n";
    return h + "</body></html>\n";
}

std::string CallerPage(const CallerView& v) {
    const history::CallerCalls& c = v.calls;
    const std::string who = c.name ? *c.name + " (" + v.number + ")" : v.number;
    std::string h = Head(who) + "<body>\n<header><h1><bdi>" + HtmlFromUtf8(who) + "</bdi></h1>" + Nav("", v.signOut) + "</header>\n";
    h += Problems({&v.problem});
    h += "<p class=\"summary\">" + Plural(c.total, "call", "calls") + " from this number";
    if (!c.firstDay.empty())
        h += c.firstDay == c.lastDay ? ", on " + Day(c.firstDay)
                                     : ", the first on " + Day(c.firstDay) + ", the last on " + Day(c.lastDay);
    h += ". <a href=\"/names\">" + std::string(c.name ? "Change the name" : "Give it a name") + "</a></p>\n";
    if (!c.months.empty()) {
        h += "<figure><figcaption>Calls per month" +
             std::string(c.months.size() == 24 ? " (the last 24 months)" : "") + "</figcaption>" +
             BarChartSvg(c.months, "Calls per month") + "</figure>\n";
    }
    h += kOrder;
    h += "<table id=\"calls\"><thead><tr><th>Received</th><th>Box time</th><th>Label</th><th>Letter</th>"
         "<th>Caller</th><th title=\"Calls with this caller text\">Calls</th><th class=\"box\">Box</th><th></th></tr></thead>\n<tbody>\n";
    h += RowsHtml(c.rows, v.order) + "</tbody></table>\n";
    if (c.rows.empty()) h += "<p class=\"empty\">No calls from this number are kept.</p>\n";
    if (static_cast<int64_t>(c.rows.size()) < c.total)
        h += "<p class=\"muted\">The newest " + std::to_string(c.rows.size()) + " are listed; <a href=\"/export.csv?q=" +
             UrlEncode(v.number) + "\" download>export</a> to see them all.</p>\n";
    return h + "</body></html>\n";
}

std::string OverviewPage(const OverviewView& v) {
    const history::HistoryOverview& o = v.history;
    std::string h = Head("Overview") + "<body>\n<header><h1>Overview</h1>" + Nav("Overview", v.signOut) + "</header>\n";
    h += Problems({&v.problem});
    h += "<dl class=\"overview\">";
    h += "<dt>Adapter</dt><dd id=\"adapter\">";
    if (!v.adapter.known) h += "This system cannot tell.";
    else if (v.adapter.present) h += "<span class=\"ok\">Plugged in</span> at " + HtmlFromUtf8(v.adapter.port);
    else h += "<span class=\"bad\">Not plugged in</span>";
    h += "</dd><dt>Last download</dt><dd id=\"download\">";
    if (!o.lastDownload) {
        h += "None yet.";
    } else {
        const history::DownloadRow& d = *o.lastDownload;
        const std::string& how = d.endedHow;
        const bool good = how == "completed";
        h += TimeTag(d.startedAt) + " from " + HtmlFromUtf8(d.port) + ": <span class=\"" + (good ? "ok" : "bad") + "\">" +
             (how == "completed"        ? "completed"
              : how == "no-end-frame"   ? "the line went quiet before the end of the list"
              : how == "restarted"      ? "the box started over"
              : how == "cut"            ? "cut off (the adapter was removed or another port opened)"
              : how == "interrupted"    ? "interrupted when the program ended"
              : d.endedAt == 0          ? "not ended (still running, or the program stopped)"
                                        : HtmlFromUtf8(how)) +
             "</span>, " + Plural(d.records, "record", "records") + ", " + Plural(d.newCalls, "new call", "new calls") + ".";
    }
    h += "</dd><dt>Today</dt><dd id=\"today\">" + Plural(o.today, "call", "calls") + "</dd>";
    h += "<dt>This week</dt><dd id=\"week\">" + Plural(o.thisWeek, "call", "calls") + " since Monday</dd>";
    if (v.certificateEnd) {
        const std::string day = history::IsoUtc(*v.certificateEnd * 1000).substr(0, 10);
        h += "<dt>Certificate</dt><dd id=\"certificate\">" +
             (*v.certificateEnd > v.now ? "valid until " + Day(day)
                                        : "<span class=\"bad\">expired on " + Day(day) +
                                              "</span>: browsers refuse it. Make a new one and start serve again.") +
             "</dd>";
    }
    h += "</dl>\n";
    h += "<figure><figcaption>Calls per day, the last 30 days (by the box's date)</figcaption>" +
         BarChartSvg(o.days, "Calls per day over the last 30 days") + "</figure>\n";
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
