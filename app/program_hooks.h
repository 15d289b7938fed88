// How the program puts the core behind its main window: the core is made in
// the window's constructor (where port discovery starts), device events are
// read on the main thread whenever the hot-plug descriptor turns readable, and
// the two timer ticks go to the core. The program entry and the system
// benchmarks both use it, so a benchmark runs exactly what a user runs.
#pragma once

#include <memory>

#include "app/core.h"
#include "app/main_window.h"
#include "protocol/link_state.h"

namespace dialscope {

// The hooks for TForm1(link, hooks). `core` is filled in by the window's
// constructor and must outlive the window: declare it before the window.
// The serial port's warning is the modal "Port Is Already Opened!" box.
CoreHooks MakeProgramHooks(Link& link, std::unique_ptr<Core>& core);

}  // namespace dialscope
