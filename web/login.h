// Signing in with a password, for pages served beyond this machine: the
// password kept as an Argon2id hash, the sessions it opens, and the delay
// that grows with each wrong password from the same address.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace dialscope::web {

using LoginClock = std::chrono::steady_clock;

// An Argon2id hash of password (libsodium's crypto_pwhash_str form: the
// salt and the costs are in it); false with *problem when it cannot be made.
bool HashPassword(std::string_view password, std::string* hash, std::string* problem);
// True when password is the one hash was made from. Takes a moment and
// 64 MiB on purpose: not on the server's loop.
bool PasswordMatches(const std::string& hash, std::string_view password);
// Whether text is such a hash (a spoiled password file is told apart).
bool LooksLikePasswordHash(std::string_view text);
// The shortest password taken, in characters.
constexpr size_t kShortestPassword = 8;

// The signed-in browsers, with the password or the token: a random id
// each, kept in memory only (a restart signs everyone out). A session ends when it idles longer than `idle`, is
// older than `longest`, or is signed out; the oldest goes when `most` are open.
class Sessions {
public:
    Sessions(LoginClock::duration idle = std::chrono::hours(12), LoginClock::duration longest = std::chrono::hours(24 * 7),
             size_t most = 256);
    // A new session's id: 32 random bytes as 64 hex digits.
    std::string Open(LoginClock::time_point now);
    // True when id is an open session; it is seen now.
    bool Valid(std::string_view id, LoginClock::time_point now);
    void Close(std::string_view id);
    // Every sign-in ends (a new token).
    void CloseAll() { open_.clear(); }

private:
    struct Entry {
        LoginClock::time_point opened, seen;
    };
    // Keyed by a hash of the id, so that looking one up tells nothing of
    // how near a guess came.
    static std::string Key(std::string_view id);
    LoginClock::duration idle_, longest_;
    size_t most_;
    std::map<std::string, Entry> open_;
};

// Wrong passwords, per address (an IPv6 address by its /64): the first is
// answered after 1 s, each next one after twice as long, up to a minute, and
// attempts from that address wait until then. Fifteen quiet minutes after
// the last wait, or the right password, start it over.
class Throttle {
public:
    // How long an attempt from who waits before its password is looked at.
    LoginClock::duration Wait(const std::string& who, LoginClock::time_point now) const;
    // A wrong password from who: how long until it is answered.
    LoginClock::duration Failed(const std::string& who, LoginClock::time_point now);
    void Succeeded(const std::string& who);

private:
    struct Entry {
        int failures = 0;
        LoginClock::time_point until;
    };
    std::map<std::string, Entry> entries_;
};

// Where to go once signed in: next when it is a path of this server, else "/".
std::string LocalPath(std::string_view next);
// The sign-in page; message (may be empty) says why it is shown again.
std::string LoginPage(std::string_view next, std::string_view message);

}  // namespace dialscope::web
