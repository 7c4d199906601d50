#pragma once

#include "platform/platform.h"

namespace zuno {

// The process entry: reads the arguments once, parses the options and runs exactly one
// subcommand to its end. A failure ends up here: its cleanup, then its error event. Then the
// process ends with the run's status, in the one call that ends it; a test runtime returns from
// that call, and the status is returned.
int runMain(platform::Platform& platform);

}  // namespace zuno
