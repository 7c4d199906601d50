#pragma once

#include <string>

#include "platform/platform.h"

namespace zuno {

// The `browser-tab` subcommand: the address and title of the active tab in a browser's front
// window, asked of the browser by a script, as one "browser_tab" event; any failure answers
// "unavailable". Status 0 either way. It never asks the user for the automation permission.
int runBrowserTab(platform::Platform& platform, const std::string& bundleId);

}  // namespace zuno
