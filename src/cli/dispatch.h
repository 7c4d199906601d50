#pragma once

#include "platform/platform.h"

namespace zuno {

// The process entry: reads the arguments once, parses the options and hands over to exactly
// one subcommand. Returns the exit status for a subcommand that returns; usage errors and most
// subcommands end the process themselves.
int runMain(platform::Platform& platform);

}  // namespace zuno
