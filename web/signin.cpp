#include "web/signin.h"

#include <sodium.h>

#include <memory>

namespace dialscope::web {

namespace net = boost::asio;

namespace {
constexpr int kMostWaitingPerAddress = 3;
constexpr int kMostWaiting = 64;
}  // namespace

std::string AddressKey(const net::ip::address& address) {
    if (address.is_v6() && !address.to_v6().is_v4_mapped()) {
        auto bytes = address.to_v6().to_bytes();
        std::fill(bytes.begin() + 8, bytes.end(), 0);
        return net::ip::address_v6(bytes).to_string() + "/64";
    }
    return address.is_v6() ? net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6()).to_string()
                           : address.to_string();
}

SignIn::SignIn(net::io_context& ioc, std::string hash, Sessions& sessions)
    : ioc_(ioc), hash_(std::move(hash)), sessions_(sessions) {}

SignIn::~SignIn() { checker_.join(); }

void SignIn::Check(const net::ip::address& from, std::string password,
                   std::function<void(Outcome, std::string, int)> done) {
    const std::string who = AddressKey(from);
    const auto now = LoginClock::now();
    const auto wait = throttle_.Wait(who, now);
    const auto under = waiting_.find(who);
    if ((under != waiting_.end() && under->second >= kMostWaitingPerAddress) || allWaiting_ >= kMostWaiting) {
        sodium_memzero(password.data(), password.size());
        const int seconds = static_cast<int>(std::chrono::ceil<std::chrono::seconds>(wait).count());
        return done(Outcome::Busy, {}, std::max(seconds, 1));
    }
    ++waiting_[who];
    ++allWaiting_;
    auto finish = [this, who, done](Outcome outcome, std::string session) {
        if (--waiting_[who] == 0) waiting_.erase(who);
        --allWaiting_;
        done(outcome, std::move(session), 0);
    };
    auto timer = std::make_shared<net::steady_timer>(ioc_, wait);
    timer->async_wait([this, timer, who, finish, password = std::move(password)](boost::system::error_code) mutable {
        // The answer (which holds the connection) is handed on, never copied:
        // the checking thread must not let go of the last reference to a
        // connection, whose end belongs to the server's thread.
        net::post(checker_, [this, who, finish = std::move(finish), password = std::move(password)]() mutable {
            const bool right = PasswordMatches(hash_, password);
            sodium_memzero(password.data(), password.size());
            net::post(ioc_, [this, who, finish = std::move(finish), right] {
                const auto now = LoginClock::now();
                if (right) {
                    throttle_.Succeeded(who);
                    return finish(Outcome::Right, sessions_.Open(now));
                }
                auto late = std::make_shared<net::steady_timer>(ioc_, throttle_.Failed(who, now));
                late->async_wait([late, finish](boost::system::error_code) { finish(Outcome::Wrong, {}); });
            });
        });
    });
}

}  // namespace dialscope::web
