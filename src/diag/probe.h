#pragma once

#include <string>

#include "cli/options.h"
#include "platform/platform.h"

namespace zuno {

// The `probe` subcommand: makes the system settle one privacy permission ("mic", "system" or
// "automation" with the options "bundle" and "check-only"), asking the user where the system
// allows it, and reports it in one "probe" event with status 0. Another kind, or automation
// without a bundle, is a usage error.
int runProbe(platform::Platform& platform, const std::string& kind, const OptionMap& options);

}  // namespace zuno
