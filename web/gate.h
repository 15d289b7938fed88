// Who may use the pages. This slice serves only the machine itself: the
// listening address is a loopback one, and still every request must
//  - name one of our own addresses in its Host header (a page of another
//    site whose name an attacker points at 127.0.0.1, "DNS rebinding",
//    sends its own name there), and
//  - carry the secret token, first in the URL the program prints
//    (?token=...), which is then swapped for a sign-in: a random id in an
//    HttpOnly, SameSite=Strict cookie, so that another local program's page
//    or a link from elsewhere cannot read or use the calls. The cookie is
//    never the token itself: a browser sends a host's cookies to every port
//    of it, so any program listening on another port of 127.0.0.1 learns the
//    cookie; a sign-in id it learns ends with the sign-in (idle hours, a
//    restart, a new token), where the token would stay good for ever.
// Pages served beyond this machine answer also to the address they listen
// on and the names given, and ask for a password instead of the token: the
// cookie then holds a session (login.h), and is sent over TLS only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dialscope::web {

enum class Verdict {
    Pass,          // serve it
    TakeToken,     // the right token in the URL: open a sign-in, redirect to the URL without the token
    WrongHost,     // 421: not one of our names
    Forbidden,     // 403: no token, or a wrong one
    SignIn,        // with a password: no open session, to the sign-in page
};

struct GateRules {
    uint16_t port = 0;
    std::string token;  // the token's way: the secret
    bool auth = true;
    bool password = false;  // the password's way (a sign-in page) instead of the token's
    bool tls = false;  // the cookie is Secure (and __Host- with a password)
    // Host names answered to besides 127.0.0.1, localhost and [::1]
    // (IPv6 addresses in brackets).
    std::vector<std::string> names;
    // Either way: true when the cookie's value is an open sign-in.
    std::function<bool(std::string_view)> session;
};

class Gate {
public:
    // auth false: --no-auth, only the Host check stays.
    Gate(uint16_t port, std::string token, bool auth);
    explicit Gate(GateRules rules);

    // host: the Host header; cookies: the Cookie header (may be empty);
    // urlToken: the value of ?token= (empty when there is none).
    Verdict Judge(std::string_view host, std::string_view cookies, std::string_view urlToken) const;
    bool HostAllowed(std::string_view host) const;
    // A new token (serve --new-token in this or another process).
    void SetToken(std::string token) { rules_.token = std::move(token); }
    // The Set-Cookie value that holds value (a sign-in's id), or ends it (empty).
    std::string Cookie(std::string_view value) const;
    // Each port its own cookie: cookies are not kept apart by port.
    std::string CookieName() const;
    // The names it answers to, for the refusal's words.
    std::string Names() const;

private:
    GateRules rules_;
};

// True when a equals b, taking as long whatever the bytes.
bool SameSecret(std::string_view a, std::string_view b);
// The value of cookie `name` in a Cookie header; empty when absent.
std::string CookieValue(std::string_view header, std::string_view name);

}  // namespace dialscope::web
