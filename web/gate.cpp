#include "web/gate.h"

#include <utility>

namespace dialscope::web {

Gate::Gate(uint16_t port, std::string token, bool auth) {
    rules_.port = port;
    rules_.token = std::move(token);
    rules_.auth = auth;
}

namespace {
std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}
}  // namespace

Gate::Gate(GateRules rules) : rules_(std::move(rules)) {
    for (std::string& name : rules_.names) name = Lower(name);
}

bool Gate::HostAllowed(std::string_view given) const {
    // Names are told apart without regard to case; browsers send them in lower case.
    const std::string lower = Lower(given);
    const std::string_view host = lower;
    const std::string port = std::to_string(rules_.port);
    // A browser leaves out the port only when it is the scheme's default.
    const bool bare = rules_.port == (rules_.tls ? 443 : 80);
    auto matches = [&](std::string_view name) {
        return (host.size() == name.size() + 1 + port.size() && host.substr(0, name.size()) == name &&
                host[name.size()] == ':' && host.substr(name.size() + 1) == port) ||
               (bare && host == name);
    };
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
        if (matches(name)) return true;
    for (const std::string& name : rules_.names)
        if (!name.empty() && matches(name)) return true;
    return false;
}

std::string Gate::Names() const {
    // Served beyond this machine: its other names and addresses are not
    // told to whoever asks.
    if (rules_.password) return "the names it was started with, port " + std::to_string(rules_.port);
    std::string out = "127.0.0.1, localhost, [::1]";
    for (const std::string& name : rules_.names) out += ", " + name;
    return out + " with port " + std::to_string(rules_.port);
}

std::string Gate::CookieName() const {
    // __Host-: a browser keeps it only from a secure page, for the whole
    // site, and no other site's name may set it.
    return std::string(rules_.password && rules_.tls ? "__Host-" : "") + "dialscope_" + std::to_string(rules_.port);
}

std::string Gate::Cookie(std::string_view value) const {
    return CookieName() + "=" + std::string(value) + "; Path=/; " + (value.empty() ? "Max-Age=0; " : "") +
           (rules_.tls ? "Secure; " : "") + "HttpOnly; SameSite=Strict";
}

Verdict Gate::Judge(std::string_view host, std::string_view cookies, std::string_view urlToken) const {
    if (!HostAllowed(host)) return Verdict::WrongHost;
    if (!rules_.auth) return Verdict::Pass;
    const std::string cookie = CookieValue(cookies, CookieName());
    const bool signedIn = !cookie.empty() && rules_.session && rules_.session(cookie);
    if (rules_.password) return signedIn ? Verdict::Pass : Verdict::SignIn;
    if (!urlToken.empty()) return SameSecret(urlToken, rules_.token) ? Verdict::TakeToken : Verdict::Forbidden;
    return signedIn ? Verdict::Pass : Verdict::Forbidden;
}

bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0 && !a.empty();
}

std::string CookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t semi = header.find(';');
        std::string_view pair = header.substr(0, semi);
        header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        const size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name) return std::string(pair.substr(eq + 1));
    }
    return {};
}

}  // namespace dialscope::web
