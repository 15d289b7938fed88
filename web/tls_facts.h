// What the pages' TLS certificate says of itself, for the warnings at
// start and on the overview: browsers refuse a certificate that has
// expired, or that does not name the address they were given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dialscope::web {

struct TlsFacts {
    int64_t notAfter = 0;            // its end, unix seconds
    std::vector<std::string> names;  // its DNS names and IP addresses (its common name when it has none)
    // Whether a browser takes it for host: a name, or an address (an IPv6
    // one without brackets), as the browser matches them (wildcards too).
    std::function<bool(std::string_view host)> holds;
};

// "The TLS certificate FILE expired on YYYY-MM-DD ..." when it has, at now
// (unix seconds); empty when it has not.
std::string ExpiredWarning(const TlsFacts& facts, const std::string& file, int64_t now);

}  // namespace dialscope::web
