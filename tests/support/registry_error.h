// The text of the RegistryError a registry read raises, for tests that check
// the messages the user would see.
#pragma once

#include <functional>
#include <string>

#include "ports/registry_reader.h"

namespace dialscope::testing {

// What `read` raised, or "(no error)".
inline std::string RegistryErrorText(const std::function<void()>& read) {
    try {
        read();
    } catch (const RegistryError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace dialscope::testing
