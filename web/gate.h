// Who may use the pages. This slice serves only the machine itself: the
// listening address is a loopback one, and still every request must
//  - name one of our own addresses in its Host header (a page of another
//    site whose name an attacker points at 127.0.0.1, "DNS rebinding",
//    sends its own name there), and
//  - carry the secret token, first in the URL the program prints
//    (?token=...), which is then swapped for an HttpOnly, SameSite=Strict
//    cookie, so that another local program's page or a link from elsewhere
//    cannot read or use the calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dialscope::web {

enum class Verdict {
    Pass,          // serve it
    TakeToken,     // the right token in the URL: set the cookie, redirect to the URL without it
    WrongHost,     // 421: not one of our names
    Forbidden,     // 403: no token, or a wrong one
};

class Gate {
public:
    // auth false: --no-auth, only the Host check stays.
    Gate(uint16_t port, std::string token, bool auth);

    // host: the Host header; cookies: the Cookie header (may be empty);
    // urlToken: the value of ?token= (empty when there is none).
    Verdict Judge(std::string_view host, std::string_view cookies, std::string_view urlToken) const;
    bool HostAllowed(std::string_view host) const;
    // The Set-Cookie value that stands for the token from now on.
    std::string SessionCookie() const;
    // Each port its own cookie: cookies are not kept apart by port.
    std::string CookieName() const;

private:
    uint16_t port_;
    std::string token_;
    bool auth_;
};

// True when a equals b, taking as long whatever the bytes.
bool SameSecret(std::string_view a, std::string_view b);
// The value of cookie `name` in a Cookie header; empty when absent.
std::string CookieValue(std::string_view header, std::string_view name);

}  // namespace dialscope::web
