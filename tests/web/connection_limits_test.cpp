// Whom the server lets go when connections crowd in, driven directly: no
// sockets, no clock.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "web/connection_limits.h"

namespace dialscope::web {
namespace {

using Standing = ConnectionLimits::Standing;
using Id = ConnectionLimits::Id;

// A story told step by step: who comes, what each shows, whom the limits
// let go. Connections are named by the order they came in (1, 2, ...).
TEST(ConnectionLimits, LetsTheUnknownAndOldestGoFirst) {
    ConnectionLimits limits(4, 2);  // 4 places, 2 per address that are not Held
    std::vector<Id> ids{0};         // ids[n]: the n-th to come
    struct Step {
        const char* what;
        char op;                   // 'a' admit from `address`, 's' set `who` to `standing`, 'r' release `who`
        std::string address;
        int who;
        Standing standing;
        bool admitted;             // for 'a'
        std::vector<int> shed;     // for 'a': who is let go
    };
    const auto U = Standing::Unknown, K = Standing::Known, H = Standing::Held;
    const std::vector<Step> story = {
        {"first from A", 'a', "A", 0, U, true, {}},
        {"1 signs in", 's', "", 1, K, false, {}},
        {"second from A", 'a', "A", 0, U, true, {}},
        {"A's third: its unknown one goes, not its older signed-in one", 'a', "A", 0, U, true, {2}},
        {"B", 'a', "B", 0, U, true, {}},
        {"C fills the places", 'a', "C", 0, U, true, {}},
        {"D: the oldest unknown of all goes (A's 3, before B's 4)", 'a', "D", 0, U, true, {3}},
        {"B's 4 a live stream", 's', "", 4, H, false, {}},
        {"C's 5 an export", 's', "", 5, H, false, {}},
        {"D's 6 signs in", 's', "", 6, K, false, {}},
        {"E: no unknown left, the oldest signed-in one goes", 'a', "E", 0, U, true, {1}},
        {"7 a password under check", 's', "", 7, H, false, {}},
        {"F: 6 goes", 'a', "F", 0, U, true, {6}},
        {"8 a live stream", 's', "", 8, H, false, {}},
        {"G: every place busy, G is refused and nobody goes", 'a', "G", 0, U, false, {}},
        {"4 ends", 'r', "", 4, U, false, {}},
        {"a connection let go ends later: nothing changes", 'r', "", 2, U, false, {}},
        {"G again: room", 'a', "G", 0, U, true, {}},
    };
    for (const Step& step : story) {
        SCOPED_TRACE(step.what);
        if (step.op == 's') limits.Set(ids.at(step.who), step.standing);
        if (step.op == 'r') limits.Release(ids.at(step.who));
        if (step.op != 'a') continue;
        const auto admission = limits.Admit(step.address);
        EXPECT_EQ(admission.admitted, step.admitted);
        std::vector<int> shed;
        for (const Id id : admission.shed)
            for (size_t n = 1; n < ids.size(); ++n)
                if (ids[n] == id) shed.push_back(static_cast<int>(n));
        EXPECT_EQ(shed, step.shed);
        if (admission.admitted) ids.push_back(admission.id);
    }
    EXPECT_EQ(limits.size(), 4u);

    // Held places are not counted against their address: the page of one
    // machine may hold many live streams and still open a new connection.
    ConnectionLimits streams(10, 2);
    for (int i = 0; i < 5; ++i) {
        const auto a = streams.Admit("127.0.0.1");
        ASSERT_TRUE(a.admitted && a.shed.empty());
        streams.Set(a.id, Standing::Held);
    }
    const auto page = streams.Admit("127.0.0.1");
    EXPECT_TRUE(page.admitted && page.shed.empty());
    // Out of descriptors: only what is not Held is let go, oldest first.
    EXPECT_EQ(streams.ShedOne(), page.id);
    EXPECT_EQ(streams.ShedOne(), Id{0});
}

// Whatever comes in whatever order, against a plain list walked from end to
// end: one address's crowd lets its own oldest go, a full server its oldest
// of all, the unknown before the signed-in, never a Held one; the places
// never overflow.
TEST(ConnectionLimits, AgreesWithAPlainListWhateverComes) {
    std::mt19937 random(29);
    for (int round = 0; round < 30; ++round) {
        const size_t total = 1 + random() % 12, per = 1 + random() % 5;
        ConnectionLimits limits(total, per);
        struct Seen {
            Id id;
            std::string address;
            Standing standing;
        };
        std::vector<Seen> open;  // in the order they came
        auto lowest = [&](const std::string* address) {
            const Seen* best = nullptr;
            for (const Seen& s : open)
                if (s.standing != Standing::Held && (!address || s.address == *address) &&
                    (!best || s.standing < best->standing))
                    best = &s;
            return best ? best->id : Id{0};
        };
        for (int step = 0; step < 300; ++step) {
            const int op = static_cast<int>(random() % 10);
            if (op < 5 || open.empty()) {
                const std::string address = "10.0.0." + std::to_string(random() % 4);
                size_t mine = 0;
                for (const Seen& s : open) mine += s.address == address && s.standing != Standing::Held;
                std::vector<Id> shed;
                if (mine >= per) shed.push_back(lowest(&address));
                else if (open.size() >= total && lowest(nullptr)) shed.push_back(lowest(nullptr));
                const bool admitted = open.size() - shed.size() < total;

                const auto a = limits.Admit(address);
                ASSERT_EQ(a.shed, shed);
                ASSERT_EQ(a.admitted, admitted);
                std::erase_if(open, [&](const Seen& s) { return !shed.empty() && s.id == shed[0]; });
                if (a.admitted) open.push_back({a.id, address, Standing::Unknown});
            } else {
                const size_t at = random() % open.size();
                if (op < 9) {
                    open[at].standing = static_cast<Standing>(random() % 3);
                    limits.Set(open[at].id, open[at].standing);
                } else {
                    limits.Release(open[at].id);
                    open.erase(open.begin() + static_cast<long>(at));
                }
            }
            ASSERT_EQ(limits.size(), open.size());
            ASSERT_LE(open.size(), total);
        }
    }
}

}  // namespace
}  // namespace dialscope::web
