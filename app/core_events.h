// What Core tells its listeners as it happens, beside the status lines it
// shows: each face words these in its own way (or not at all), and the
// console decides its exit status from them. Emitted on the main thread,
// after the status lines of the same moment.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "ports/open_failure.h"
#include "protocol/interfaces.h"
#include "record/call_record.h"
#include "record/call_store.h"

namespace dialscope {
namespace event {

// A download has begun (its header frame arrived) on port.
struct DownloadStarted {
    std::string port;
};
// A record went out to the call log and the store: the record and the bytes
// the log shows for it, both valid only while the event is heard.
struct RecordOutput {
    const CallRecord& record;
    std::string_view rendered;
};
// A download that had begun came to an end. callMayBeLost: damage on the
// line may have taken a whole call with it. damageFound: anything of it was
// found damaged (it is never reported clean).
struct DownloadEnded {
    DownloadEnd how;
    bool callMayBeLost;
    bool damageFound = false;
};
// A port was opened to look for the device on it.
struct PortOpened {
    std::string port;
};
// The system refused a port. explained: the status box has said why.
struct PortOpenFailed {
    std::string port;
    int error;  // the errno of the failing open
    OpenFailure reason;
    bool explained;
};
// The device answered a poll on the port last opened.
struct DeviceAnswered {};
// Every present adapter was tried and no device answered on any: nothing
// more happens until an adapter comes or goes.
struct NoDeviceAnswered {};
// An adapter's port appeared (at start-up too) or went away.
struct AdapterArrived {
    std::string port;
};
struct AdapterRemoved {
    std::string port;
};
// The call store met trouble (or did something of its own accord): what
// kind, and its own words for it, which the status box shows.
struct StoreProblem {
    StoreTrouble kind;
    std::string words;
};

}  // namespace event

using CoreEvent = std::variant<event::DownloadStarted, event::RecordOutput, event::DownloadEnded,
                               event::PortOpened, event::PortOpenFailed, event::DeviceAnswered,
                               event::NoDeviceAnswered, event::AdapterArrived, event::AdapterRemoved,
                               event::StoreProblem>;

using CoreListener = std::function<void(const CoreEvent&)>;

// Builds a listener from one handler per event kind; kinds with no handler
// are passed over: Handlers{[](const event::DownloadEnded& e) {...}, ...}.
template <class... F>
struct Handlers : F... {
    using F::operator()...;
    template <class E>
    void operator()(const E&) const {}
};
template <class... F>
Handlers(F...) -> Handlers<F...>;

// A listener that visits each event with handlers.
template <class... F>
CoreListener Listen(F... handlers) {
    return [h = Handlers<F...>{handlers...}](const CoreEvent& e) { std::visit(h, e); };
}

}  // namespace dialscope
