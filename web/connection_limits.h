// Who holds the server's connections, and whom to let go when a new one
// comes and there is no room for it.
//
// Anyone who can connect can open connections and say nothing, or half a
// request, as fast as the server accepts them. Each is let go after a few
// seconds (the server's deadlines), but until then it holds a descriptor
// and a place. So the places are counted: in all, and per client address;
// a new connection that finds no room takes the place of the oldest one
// that has not shown it may use the pages (the user's own connections are
// newer than any attacker's old ones, and a signed-in page outranks them
// all). A live stream, an export under way or a password being checked is
// never let go for a newcomer; when every place is such, the newcomer is.
//
// On this machine's own addresses every client is 127.0.0.1, so the count
// per address does not keep the attacker and the user apart there; letting
// the oldest unknown connection go does.
//
// Plain bookkeeping of numbers, with no sockets in it: the server closes
// what it is told to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace dialscope::web {

class ConnectionLimits {
public:
    using Id = uint64_t;

    // What a connection has shown so far, in the order they are let go.
    enum class Standing {
        Unknown,  // no request of a signed-in user yet (or its last one was not)
        Known,    // its last request was a signed-in user's; waiting for the next
        Held,     // busy for a signed-in user (live stream, export), or a password under check
    };

    // total: places in all; perAddress: places one address may take that
    // are not Held (its own oldest goes for its newest beyond that).
    ConnectionLimits(size_t total, size_t perAddress);

    struct Admission {
        bool admitted = false;  // false: no room (every place is Held); close it
        Id id = 0;              // its place, when admitted
        std::vector<Id> shed;   // to close now; their places are already free
    };
    // A new connection from address (as AddressKey gives it), Unknown.
    Admission Admit(const std::string& address);
    void Set(Id id, Standing standing);
    // The connection closed; an id already let go (or never given) is ignored.
    void Release(Id id);
    // The oldest of the lowest standing below Held, let go (its place is
    // free on return); 0 when there is none. For when the system has no
    // descriptor left to accept with.
    Id ShedOne();

    size_t size() const { return entries_.size(); }
    size_t total() const { return total_; }
    size_t perAddress() const { return perAddress_; }

private:
    struct Entry {
        std::string address;
        Standing standing;
    };
    // Ordered so that begin() is whom to let go first: lowest standing,
    // then oldest (ids only grow).
    using Order = std::set<std::pair<Standing, Id>>;
    void Forget(Id id);

    size_t total_, perAddress_;
    Id next_ = 1;
    std::map<Id, Entry> entries_;
    Order all_;
    // Per address, its places that are not Held.
    std::map<std::string, Order> byAddress_;
};

}  // namespace dialscope::web
