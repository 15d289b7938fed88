#include "web/login.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "web/html.h"

namespace dialscope::web {

namespace {

using namespace std::chrono_literals;

constexpr size_t kMostThrottled = 4096;
constexpr auto kForgetAfter = 15min;

void NeedSodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) throw std::runtime_error("The password library cannot start (libsodium).");
}

std::string Hex(const unsigned char* bytes, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) out += {kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
    return out;
}

}  // namespace

bool HashPassword(std::string_view password, std::string* hash, std::string* problem) {
    NeedSodium();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        *problem = "The password cannot be hashed: not enough memory (it takes 64 MiB for a moment).";
        return false;
    }
    *hash = out;
    return true;
}

bool PasswordMatches(const std::string& hash, std::string_view password) {
    NeedSodium();
    return LooksLikePasswordHash(hash) &&
           crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool LooksLikePasswordHash(std::string_view text) {
    return text.substr(0, 10) == "$argon2id$" && text.size() < crypto_pwhash_STRBYTES;
}

Sessions::Sessions(LoginClock::duration idle, LoginClock::duration longest, size_t most)
    : idle_(idle), longest_(longest), most_(most) {}

std::string Sessions::Key(std::string_view id) {
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(id.data()), id.size(), nullptr, 0);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string Sessions::Open(LoginClock::time_point now) {
    NeedSodium();
    for (auto it = open_.begin(); it != open_.end();)
        it = now - it->second.seen > idle_ || now - it->second.opened > longest_ ? open_.erase(it) : std::next(it);
    while (open_.size() >= most_)
        open_.erase(std::min_element(open_.begin(), open_.end(), [](const auto& a, const auto& b) {
            return a.second.seen < b.second.seen;
        }));
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    const std::string id = Hex(bytes, sizeof bytes);
    open_[Key(id)] = {now, now};
    return id;
}

bool Sessions::Valid(std::string_view id, LoginClock::time_point now) {
    if (id.size() != 64) return false;
    const auto it = open_.find(Key(id));
    if (it == open_.end()) return false;
    if (now - it->second.seen > idle_ || now - it->second.opened > longest_) {
        open_.erase(it);
        return false;
    }
    it->second.seen = now;
    return true;
}

void Sessions::Close(std::string_view id) { open_.erase(Key(id)); }

LoginClock::duration Throttle::Wait(const std::string& who, LoginClock::time_point now) const {
    const auto it = entries_.find(who);
    return it == entries_.end() || it->second.until <= now ? LoginClock::duration::zero() : it->second.until - now;
}

LoginClock::duration Throttle::Failed(const std::string& who, LoginClock::time_point now) {
    if (entries_.size() >= kMostThrottled) {
        for (auto it = entries_.begin(); it != entries_.end();)
            it = now - it->second.until > kForgetAfter ? entries_.erase(it) : std::next(it);
        // Still full: an attack from very many addresses; the one nearest
        // its end goes.
        if (entries_.size() >= kMostThrottled)
            entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
                return a.second.until < b.second.until;
            }));
    }
    Entry& e = entries_[who];
    if (e.failures > 0 && now - e.until > kForgetAfter) e.failures = 0;
    ++e.failures;
    const LoginClock::duration delay = std::min<LoginClock::duration>(1s * (1 << std::min(e.failures - 1, 6)), 60s);
    e.until = std::max(e.until, now) + delay;
    return e.until - now;
}

void Throttle::Succeeded(const std::string& who) { entries_.erase(who); }

std::string LocalPath(std::string_view next) {
    if (next.empty() || next[0] != '/' || (next.size() > 1 && (next[1] == '/' || next[1] == '\\'))) return "/";
    for (char c : next)
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f || c == '\\') return "/";
    return std::string(next);
}

std::string LoginPage(std::string_view next, std::string_view message) {
    std::string h =
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<meta name=\"color-scheme\" content=\"light dark\">"
        "<title>Sign in - Dialscope</title>"
        "<link rel=\"icon\" href=\"/static/icon.svg\" type=\"image/svg+xml\">"
        "<link rel=\"stylesheet\" href=\"/static/style.css\"></head>\n"
        "<body><header><h1>Sign in</h1></header>\n";
    if (!message.empty()) h += "<p class=\"problem\" role=\"alert\">" + HtmlFromUtf8(message) + "</p>\n";
    h += "<form class=\"login\" method=\"post\" action=\"/login\">"
         "<input type=\"hidden\" name=\"next\" value=\"" + HtmlFromUtf8(LocalPath(next)) + "\">"
         "<label>Password <input type=\"password\" name=\"password\" autocomplete=\"current-password\" "
         "required autofocus></label> <button type=\"submit\">Sign in</button></form>\n"
         "<p>The password is the one set with <code>dialscope-cli passwd</code> on the machine that serves these "
         "pages.</p>\n</body></html>\n";
    return h;
}

}  // namespace dialscope::web
