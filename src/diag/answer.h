#pragma once

#include <cstdlib>

#include "events/event.h"
#include "platform/runtime.h"

namespace zuno {

// The diagnostic subcommands end every run with one event and status 0, whatever the answer;
// a dropped event ends the run all the same.
[[noreturn]] inline void answer(platform::Runtime& runtime, const Event& event) {
  emitEvent(runtime, event);
  runtime.exitProcess(0);
  std::abort();  // exitProcess never returns; this only tells the compiler so
}

}  // namespace zuno
