// The sign-in desk of the server's loop: a password is checked on a thread
// of its own (it takes a moment and 64 MiB on purpose), after whatever wait
// the address has earned with wrong ones, and a wrong one is answered late.
// The loop goes on serving everyone else meanwhile.
#pragma once

// Boost 1.74's Asio uses std::exchange without including <utility> in C++20.
#include <utility>

#include <boost/asio.hpp>

#include <functional>
#include <map>
#include <string>

#include "web/login.h"

namespace dialscope::web {

// Whose wrong passwords count together: an IPv4 address, an IPv6 /64.
std::string AddressKey(const boost::asio::ip::address& address);

class SignIn {
public:
    enum class Outcome { Right, Wrong, Busy };
    // Runs on ioc's thread; hash: the password's; the right one opens a
    // sign-in in sessions.
    SignIn(boost::asio::io_context& ioc, std::string hash, Sessions& sessions);
    ~SignIn();  // waits for a check under way

    // done(outcome, session id when Right, seconds to wait when Busy) runs
    // on the loop. Busy: this address has too many attempts waiting.
    void Check(const boost::asio::ip::address& from, std::string password,
               std::function<void(Outcome, std::string, int)> done);

private:
    boost::asio::io_context& ioc_;
    std::string hash_;
    Sessions& sessions_;
    Throttle throttle_;
    std::map<std::string, int> waiting_;  // attempts under way, per address
    int allWaiting_ = 0;
    boost::asio::thread_pool checker_{1};
};

}  // namespace dialscope::web
