#include "web/gate.h"

#include <utility>

namespace dialscope::web {

Gate::Gate(uint16_t port, std::string token, bool auth) : port_(port), token_(std::move(token)), auth_(auth) {}

bool Gate::HostAllowed(std::string_view host) const {
    const std::string port = std::to_string(port_);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
        // A browser leaves out the port only when it is the scheme's default.
        if (host == std::string(name) + ":" + port || (port_ == 80 && host == name)) return true;
    }
    return false;
}

std::string Gate::CookieName() const { return "dialscope_" + std::to_string(port_); }

std::string Gate::SessionCookie() const {
    return CookieName() + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
}

Verdict Gate::Judge(std::string_view host, std::string_view cookies, std::string_view urlToken) const {
    if (!HostAllowed(host)) return Verdict::WrongHost;
    if (!auth_) return Verdict::Pass;
    if (!urlToken.empty()) return SameSecret(urlToken, token_) ? Verdict::TakeToken : Verdict::Forbidden;
    const std::string cookie = CookieValue(cookies, CookieName());
    return !cookie.empty() && SameSecret(cookie, token_) ? Verdict::Pass : Verdict::Forbidden;
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
