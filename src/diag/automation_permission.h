#pragma once

#include <string>
#include <string_view>

#include "platform/apple_events.h"

namespace zuno {

// Whether this program may send Apple events to the application with `bundleId`: "granted",
// "denied" or "undetermined". With `ask` the platform may prompt the user while the decision is
// open; without it nothing is ever shown.
std::string_view automationPermissionState(platform::AppleEvents& appleEvents,
                                           const std::string& bundleId, bool ask);

}  // namespace zuno
