// How a download that had begun (its header frame arrived) came to an end:
// what the protocol reports, and what the call history writes down for each
// download. A plain type that needs nothing else, so that every layer can
// name it.
#pragma once

#include <cstdint>

namespace dialscope {

enum class DownloadEnd : uint8_t {
    Completed,    // the end frame arrived
    Stalled,      // the line went quiet between records; the port stays open and
                  // the download resumes (DownloadStarted again) if the box goes on
    Restarted,    // the dialogue started over (the device lost its place)
    Refused,      // the device said it has nothing now ('0' frame)
    Cut,          // the line went away (adapter pulled, another port opened)
    Interrupted,  // another download began, or the history was closed, first
};

}  // namespace dialscope
