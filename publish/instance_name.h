// The watcher's name in the call ids it hands on and in its broker topics.
#pragma once

#include <chrono>
#include <string>
#include <utility>

namespace dialscope::publish {

// The default instance id: the host name and the USB path of the first
// adapter that has a port ("kitchen-1-1.4"); empty while no adapter is plugged in.
std::string DefaultInstanceId();

// The watcher's instance id, part of every call id it hands on ("kitchen-7" on stdout,
// to the broker and to the command alike, so calls of several boxes never share one):
// the one given, or the default. Fixed once known.
class InstanceName {
public:
    explicit InstanceName(std::string given) : id_(std::move(given)) {}
    // Empty while no adapter is plugged in; looks for one at most once a second.
    const std::string& Known();
    // Known(), or else the host name alone: a call is being handed on now.
    const std::string& Now();

private:
    std::string id_;
    std::chrono::steady_clock::time_point nextLook_{};
};

}  // namespace dialscope::publish
