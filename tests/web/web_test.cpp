// The web pages' own rules without a browser: what reaches a page from the
// line or the user is escaped, who may ask is judged, and the calls page
// walks a real history page by page.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "history/call_reader.h"
#include "tests/history/history_support.h"
#include "web/gate.h"
#include "web/html.h"
#include "web/login.h"
#include "web/pages.h"

namespace dialscope::web {
namespace {

using history::PageRow;
using history::test::Record;
using history::test::TempDir;

TEST(WebText, EscapesWhatCameFromTheLineOrTheUser) {
    struct Case {
        const char* what;
        std::string in;
        bool latin1;  // the box's bytes; else UTF-8 the user typed
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"markup", "<img src=x onerror=alert(1)>", true, "&lt;img src=x onerror=alert(1)&gt;"},
        {"quotes break no attribute", "\"'&amp;", true, "&quot;&#39;&amp;amp;"},
        // Marks the pages' fonts have: the control pictures show as empty boxes.
        {"line ends and tabs shown as arrows", "A\r\nB\nC\rD\n\rE\tF", true,
         "A\u21b5B\u21b5C\u21b5D\u21b5\u21b5E\u2192F"},
        {"other C0 controls and DEL replaced", std::string("a\x01\x1f\x7f", 4), true, "a\ufffd\ufffd\ufffd"},
        {"NUL as the log shows it", std::string("a\0b", 3), true, "a b"},
        {"C1 controls replaced", "\x80x\x9f", true, "\ufffdx\ufffd"},
        {"Latin-1 letters as UTF-8", "M\xDCLLER \xC9MILE\xA0", true, "M\u00dcLLER \u00c9MILE\u00a0"},
        {"typed markup", "\"><script>alert(1)</script>", false, "&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"direction overrides", "\u202eexe.txt\u2066\u200f\u061c", false, "\ufffdexe.txt\ufffd\ufffd\ufffd"},
        {"letters of any script stay", "\u00e9\u05d0\U0001F600", false, "\u00e9\u05d0\U0001F600"},
        {"invalid UTF-8", "a\xff\xc0\xaf\xed\xa0\x80z\xe2\x82", false,
         "a\ufffd\ufffd\ufffd\ufffd\ufffd\ufffdz\ufffd\ufffd"},
        {"typed controls", "a\tb\u0085", false, "a\ufffdb\ufffd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.latin1 ? HtmlFromLatin1(c.in) : HtmlFromUtf8(c.in), c.shown);
    }
    EXPECT_EQ(ParseQuery("q=%3Cb%3E+x&since=&q2&bad=%zz%4"),
              (std::map<std::string, std::string>{{"q", "<b> x"}, {"since", ""}, {"q2", ""}, {"bad", "%zz%4"}}));
}

TEST(WebGate, JudgesHostAndToken) {
    const std::string t(64, 'a'), id(64, 'c');
    // The token opens a sign-in; only a sign-in's id is a cookie that counts.
    auto gate = [&](bool auth) {
        GateRules rules;
        rules.port = 8080;
        rules.token = t;
        rules.auth = auth;
        rules.session = [&](std::string_view cookie) { return cookie == id; };
        return Gate(rules);
    };
    struct Case {
        const char* what;
        bool auth;
        std::string host, cookies, urlToken;
        Verdict verdict;
    };
    const std::vector<Case> cases = {
        {"the printed URL", true, "127.0.0.1:8080", "", t, Verdict::TakeToken},
        {"the sign-in", true, "localhost:8080", "dialscope_8080=" + id, "", Verdict::Pass},
        {"the sign-in among others", true, "[::1]:8080", "x=1; dialscope_8080=" + id + "; y=2", "", Verdict::Pass},
        {"the token as a cookie", true, "127.0.0.1:8080", "dialscope_8080=" + t, "", Verdict::Forbidden},
        {"nothing", true, "127.0.0.1:8080", "", "", Verdict::Forbidden},
        {"a wrong cookie", true, "127.0.0.1:8080", "dialscope_8080=" + std::string(64, 'b'), "", Verdict::Forbidden},
        {"another port's cookie", true, "127.0.0.1:8080", "dialscope_9090=" + id, "", Verdict::Forbidden},
        {"an empty cookie", true, "127.0.0.1:8080", "dialscope_8080=", "", Verdict::Forbidden},
        {"a token's start", true, "127.0.0.1:8080", "", t.substr(0, 63), Verdict::Forbidden},
        {"a token and more", true, "127.0.0.1:8080", "", t + "a", Verdict::Forbidden},
        {"a wrong URL token beside a good cookie", true, "127.0.0.1:8080", "dialscope_8080=" + id, "b",
         Verdict::Forbidden},
        {"a rebinding name", true, "attacker.example:8080", "dialscope_8080=" + t, t, Verdict::WrongHost},
        {"our name as a prefix", true, "127.0.0.1:8080.attacker.example", "", t, Verdict::WrongHost},
        {"another port", true, "127.0.0.1:8081", "", t, Verdict::WrongHost},
        {"no port", true, "127.0.0.1", "", t, Verdict::WrongHost},
        {"no Host", true, "", "", t, Verdict::WrongHost},
        {"--no-auth", false, "localhost:8080", "", "", Verdict::Pass},
        {"--no-auth keeps the Host check", false, "attacker.example:8080", "", "", Verdict::WrongHost},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(gate(c.auth).Judge(c.host, c.cookies, c.urlToken), c.verdict);
    }
    EXPECT_EQ(Gate(80, t, true).Judge("localhost", "", t), Verdict::TakeToken);
    EXPECT_EQ(Gate(80, t, true).Judge("localhost", "dialscope_80=" + t, ""), Verdict::Forbidden);
}

// Beyond this machine: the names given, the cookie a session over TLS.
TEST(WebGate, JudgesSessionsAndNamesBeyondThisMachine) {
    const std::string good(64, 's');
    GateRules rules;
    rules.port = 8443;
    rules.tls = true;
    rules.password = true;
    rules.names = {"192.0.2.2", "Calls.Example", "[2001:db8::2]"};
    rules.session = [&](std::string_view id) { return id == good; };
    const Gate gate(rules);
    const std::string cookie = "__Host-dialscope_8443=" + good;
    struct Case {
        const char* what;
        std::string host, cookies;
        Verdict verdict;
    };
    const std::vector<Case> cases = {
        {"the address", "192.0.2.2:8443", cookie, Verdict::Pass},
        {"a name, in any case", "calls.example:8443", cookie, Verdict::Pass},
        {"an IPv6 address", "[2001:db8::2]:8443", cookie, Verdict::Pass},
        {"this machine", "localhost:8443", cookie, Verdict::Pass},
        {"no session", "192.0.2.2:8443", "", Verdict::SignIn},
        {"a closed session", "192.0.2.2:8443", "__Host-dialscope_8443=" + std::string(64, 'x'), Verdict::SignIn},
        {"the cookie without its prefix", "192.0.2.2:8443", "dialscope_8443=" + good, Verdict::SignIn},
        {"another name", "attacker.example:8443", cookie, Verdict::WrongHost},
        {"a name's prefix", "calls.example:8443.attacker.example", cookie, Verdict::WrongHost},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(gate.Judge(c.host, c.cookies, ""), c.verdict);
    }
    EXPECT_EQ(gate.Cookie("abc"), "__Host-dialscope_8443=abc; Path=/; Secure; HttpOnly; SameSite=Strict");
    EXPECT_NE(gate.Cookie("").find("Max-Age=0"), std::string::npos);
    rules.port = 443;
    EXPECT_EQ(Gate(rules).Judge("calls.example", cookie.substr(0, 0) + "__Host-dialscope_443=" + good, ""),
              Verdict::Pass);
}

TEST(WebLogin, WrongPasswordsWaitLongerPerAddress) {
    using namespace std::chrono_literals;
    const auto t0 = LoginClock::time_point{} + 1h;
    Throttle throttle;
    EXPECT_EQ(throttle.Wait("a", t0), 0s);
    std::vector<LoginClock::duration> delays;
    auto now = t0;
    for (int i = 0; i < 9; ++i) {
        delays.push_back(throttle.Failed("a", now));
        now += delays.back();  // the next attempt once this one is answered
    }
    EXPECT_EQ(delays, (std::vector<LoginClock::duration>{1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s, 60s}));
    // Attempts at once stack up; another address is not slowed.
    EXPECT_EQ(throttle.Failed("b", t0), 1s);
    EXPECT_EQ(throttle.Failed("b", t0), 3s);
    EXPECT_EQ(throttle.Wait("b", t0 + 1s), 2s);
    EXPECT_EQ(throttle.Wait("c", t0), 0s);
    // The right password, or a quiet quarter of an hour, start over.
    throttle.Succeeded("a");
    EXPECT_EQ(throttle.Failed("a", now), 1s);
    EXPECT_EQ(throttle.Failed("b", t0 + 3s + 16min), 1s);

    const std::string hash = [] {
        std::string h, problem;
        EXPECT_TRUE(HashPassword("correct horse", &h, &problem)) << problem;
        return h;
    }();
    EXPECT_TRUE(LooksLikePasswordHash(hash)) << hash;
    EXPECT_TRUE(PasswordMatches(hash, "correct horse"));
    for (const char* wrong : {"correct hors", "Correct horse"}) EXPECT_FALSE(PasswordMatches(hash, wrong));
    EXPECT_FALSE(PasswordMatches("not a hash", "correct horse"));
}

TEST(WebLogin, SessionsEnd) {
    using namespace std::chrono_literals;
    const auto t0 = LoginClock::time_point{} + 1h;
    Sessions sessions(1h, 5h, 3);
    const std::string a = sessions.Open(t0), b = sessions.Open(t0);
    EXPECT_EQ(a.size(), 64u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(sessions.Valid(a, t0 + 50min));
    EXPECT_TRUE(sessions.Valid(a, t0 + 100min));   // used, so not idle
    EXPECT_FALSE(sessions.Valid(b, t0 + 100min));  // idle over an hour
    for (auto at : {150min, 200min, 250min, 299min}) EXPECT_TRUE(sessions.Valid(a, t0 + at));
    EXPECT_FALSE(sessions.Valid(a, t0 + 301min));  // in use, but older than 5 hours
    const std::string c = sessions.Open(t0);
    sessions.Close(c);
    EXPECT_FALSE(sessions.Valid(c, t0));
    // The one seen longest ago goes when the most are open.
    const std::string d = sessions.Open(t0), e = sessions.Open(t0 + 1min), f = sessions.Open(t0 + 2min);
    EXPECT_TRUE(sessions.Valid(d, t0 + 3min));
    const std::string g = sessions.Open(t0 + 4min);
    EXPECT_FALSE(sessions.Valid(e, t0 + 5min));
    for (const auto& id : {d, f, g}) EXPECT_TRUE(sessions.Valid(id, t0 + 5min));
    EXPECT_FALSE(sessions.Valid("", t0));

    for (const auto& [next, path] : std::vector<std::pair<std::string, std::string>>{
             {"/?q=a", "/?q=a"}, {"//attacker.example/", "/"}, {"/\\attacker.example", "/"},
             {"https://attacker.example/", "/"}, {"/a b", "/"}, {"", "/"}})
        EXPECT_EQ(LocalPath(next), path) << next;
}

// A real history where every call was received in the same millisecond:
// the cursor's id must keep the pages apart. The page shows the hostile
// text and the typed search escaped, and the script is its only one.
TEST(WebPages, PagesThroughTheHistoryAndEscapes) {
    TempDir dir;
    std::string problem;
    history::OpenOptions options;
    options.nowMs = [] { return int64_t{1765000000000}; };
    {
        auto h = history::CallHistory::Open(dir.File(), &problem, options);
        ASSERT_TRUE(h) << problem;
        h->BeginDownload("/dev/ttyUSB0");
        for (int i = 0; i < 10; ++i)
            h->AddRecord(Record("HOME", i == 9 ? "<script>alert(1)</script>" : "CALLER " + std::to_string(i % 3),
                                {12, 8, 26, 9, static_cast<int16_t>(i)}, i == 7));
        h->EndDownload(DownloadEnd::Completed);
        ASSERT_FALSE(h->Close(1000));
    }
    auto reader = history::CallReader::Open(dir.File(), &problem);
    ASSERT_TRUE(reader) << problem;

    CallsRequest request = ReadCallsRequest("damaged=with&q=%22%3E%3Cscript%3E", history::DateOrder::MDY);
    request.query.filter.search.clear();
    request.query.limit = 3;
    std::vector<int64_t> seen;
    std::string page;
    for (int pages = 0; pages < 10; ++pages) {
        CallsView view;
        view.request = request;
        view.page = reader->Page(request.query, &problem);
        ASSERT_EQ(problem, "");
        for (const auto& row : view.page.rows) seen.push_back(row.call.id);
        if (pages == 0) page = CallsPage(view);
        if (!view.page.next) break;
        request = ReadCallsRequest("damaged=with&before=" + CursorText(*view.page.next), history::DateOrder::MDY);
        request.query.limit = 3;
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("value=\"&quot;&gt;&lt;script&gt;\""), std::string::npos);
    size_t scripts = 0;
    for (size_t at = page.find("<script"); at != std::string::npos; at = page.find("<script", at + 1)) ++scripts;
    EXPECT_EQ(scripts, 1u);

    // "CALLER 1" three times, one of them damaged, which is no call; the
    // live query sees the records after an id, damaged ones too.
    const auto after = reader->After(7, 10);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0].call.id, 8);
    EXPECT_EQ(after[0].sameText, 2);
    request = ReadCallsRequest("damaged=only", history::DateOrder::MDY);
    auto damaged = reader->Page(request.query, &problem);
    ASSERT_EQ(damaged.rows.size(), 1u);
    EXPECT_EQ(damaged.rows[0].call.id, 8);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The Box column and filter show once any call was collected from a watcher;
// the filter survives in links and exports, and a row shows its box.
TEST(WebPages, BoxColumnAndFilterOnlyWithCollectedCalls) {
    PageRow row;
    row.call.id = 1;
    row.call.fields = Record("HOME", "CALLER", {12, 8, 26, 9, 0});
    row.call.instance = "kitchen";
    const struct {
        std::string query;
        std::vector<std::string> instances;
        bool shown;
        std::string selected;
    } cases[] = {
        {"", {}, false, ""},
        {"", {""}, false, ""},
        {"", {"", "kitchen"}, true, "<option value=\"\" selected>all</option>"},
        {"instance=kitchen", {"kitchen", "hall"}, true, "<option value=\"kitchen\" selected>kitchen</option>"},
        {"instance=%28local%29", {"", "kitchen"}, true, "<option value=\"(local)\" selected>this machine</option>"},
        {"instance=gone", {""}, true, "<option value=\"gone\" selected>gone</option>"},  // a link from before
    };
    for (const auto& c : cases) {
        CallsView view;
        view.request = ReadCallsRequest(c.query, history::DateOrder::MDY);
        view.instances = c.instances;
        view.page.rows = {row};
        const std::string page = CallsPage(view);
        EXPECT_EQ(page.find("<table id=\"calls\" class=\"boxes\">") != std::string::npos, c.shown) << c.query;
        EXPECT_EQ(page.find("<select name=\"instance\">") != std::string::npos, c.shown) << c.query;
        if (c.shown) {
            EXPECT_NE(page.find(c.selected), std::string::npos) << c.query;
        }
        EXPECT_NE(page.find("data-col=\"Box\">kitchen</td>"), std::string::npos);
        if (!view.request.instance.empty()) {
            EXPECT_NE(page.find("export.csv?instance=" + c.query.substr(9)), std::string::npos) << c.query;
        }
    }
    EXPECT_EQ(nlohmann::json::parse(CallJson(row, history::DateOrder::MDY))["instance"], "kitchen");

    // A long text with a number: its start is the link, a few lines at
    // most; the whole is its tooltip.
    const std::string start = "0301234567 " + std::string(69, 'W');
    row.call.fields.text = start + std::string(300, 'Z');
    const std::string html = RowsHtml({row}, history::DateOrder::MDY);
    const size_t link = html.find("<a class=\"caller\"");
    ASSERT_NE(link, std::string::npos) << html;
    const std::string shown = html.substr(link, html.find("</a>", link) - link);
    EXPECT_NE(shown.find(">" + start + "\u2026</bdi>"), std::string::npos) << shown;
    EXPECT_NE(shown.find("title=\"" + row.call.fields.text + "\""), std::string::npos) << shown;
    row.call.instance.clear();
    EXPECT_TRUE(nlohmann::json::parse(CallJson(row, history::DateOrder::MDY))["instance"].is_null());
}

// One line written three ways across months with a gap, another line, and
// a hostile name: the caller page groups by line and the charts count right.
TEST(WebPages, CallerAndOverviewCountByLineAndDay) {
    TempDir dir;
    std::string problem;
    {
        auto h = history::CallHistory::Open(dir.File(), &problem);
        ASSERT_TRUE(h) << problem;
        h->BeginDownload("/dev/ttyUSB0");
        struct Call {
            const char* text;
            std::array<int16_t, 5> dt;  // month, day, year, hour, minute
        };
        for (const Call& c : std::vector<Call>{{"030 1234567 SMITH", {9, 30, 26, 9, 0}},
                                               {"+49 30 1234567", {11, 2, 26, 9, 0}},
                                               {"(030) 123-4567", {11, 20, 26, 9, 0}},
                                               {"0301234568", {12, 7, 26, 9, 0}},
                                               {"030 1234567", {12, 8, 26, 9, 0}},
                                               {"030 1234567", {12, 9, 26, 10, 0}},
                                               {"0301234567X", {12, 9, 26, 11, 0}}})
            h->AddRecord(Record("HOME", c.text, c.dt));
        h->EndDownload(DownloadEnd::Completed);
        history::ContactChanges changes;
        ASSERT_TRUE(h->ChangeContacts({{"+49301234567", "<b>Smith</b>", "set", 0}}, {}, &changes, &problem)) << problem;
        ASSERT_FALSE(h->Close(1000));
    }
    auto reader = history::CallReader::Open(dir.File(), &problem);
    ASSERT_TRUE(reader) << problem;

    CallerView view;
    view.number = "0301234567";
    view.calls = reader->Caller(view.number, history::DateOrder::MDY, 3, &problem);
    ASSERT_EQ(problem, "");
    const auto& c = view.calls;
    EXPECT_EQ(c.total, 5);
    EXPECT_EQ(c.rows.size(), 3u);  // the limit
    EXPECT_EQ(c.name, "<b>Smith</b>");
    EXPECT_EQ(c.firstDay, "2026-09-30");
    EXPECT_EQ(c.lastDay, "2026-12-09");
    using Bars = std::vector<std::pair<std::string, int64_t>>;
    EXPECT_EQ(c.months, (Bars{{"2026-09", 1}, {"2026-10", 0}, {"2026-11", 2}, {"2026-12", 2}}));
    const std::string page = CallerPage(view);
    EXPECT_EQ(Count(page, "<rect class=\"bar\""), 4u);
    EXPECT_EQ(Count(page, "&lt;b&gt;Smith&lt;/b&gt;"), 1u + 1u + 3u);  // title, heading, each row
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    // The highest bar fills the chart; an empty month has none. Room is
    // made for twelve bars at least: a few are not blocks the chart's width.
    const std::string svg = BarChartSvg({{"a", 2}, {"b", 0}, {"c", 1}}, "x");
    EXPECT_NE(svg.find("x=\"5.0\" y=\"24.0\" width=\"40.0\" height=\"98.0\""), std::string::npos) << svg;
    EXPECT_NE(svg.find(">a \u2013 c</text>"), std::string::npos) << svg;  // too narrow for two labels
    const std::string one = BarChartSvg({{"2026-12", 1}}, "x");
    EXPECT_NE(one.find("<rect class=\"bar\" x=\"5.0\" y=\"24.0\" width=\"40.0\""), std::string::npos) << one;
    std::vector<std::pair<std::string, int64_t>> month(30, {"d", 1});
    EXPECT_EQ(Count(BarChartSvg(month, "x"), "width=\"16.0\""), 30u);  // 600 / 30, less a fifth
    EXPECT_NE(svg.find("height=\"0.0\"><title>b: 0 calls"), std::string::npos);
    EXPECT_NE(svg.find("height=\"49.0\"><title>c: 1 call<"), std::string::npos);

    // Wednesday 2026-12-09: the week began on Monday the 7th.
    const auto o = reader->Overview("2026-12-09", 2, history::DateOrder::MDY, &problem);
    ASSERT_EQ(problem, "");
    EXPECT_EQ(o.today, 2);
    EXPECT_EQ(o.thisWeek, 4);
    ASSERT_EQ(o.days.size(), 30u);
    EXPECT_EQ(o.days.front(), (std::pair<std::string, int64_t>{"2026-11-10", 0}));
    EXPECT_EQ(o.days[10], (std::pair<std::string, int64_t>{"2026-11-20", 1}));
    EXPECT_EQ(o.days.back(), (std::pair<std::string, int64_t>{"2026-12-09", 2}));
    ASSERT_TRUE(o.lastDownload);
    EXPECT_EQ(o.lastDownload->endedHow, "completed");
    EXPECT_EQ(o.lastDownload->records, 7);
}

}  // namespace
}  // namespace dialscope::web
