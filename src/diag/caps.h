#pragma once

#include "platform/platform.h"

namespace zuno {

// The `caps` subcommand: one "caps" event saying whether system audio can be captured, how the
// microphone and system-audio permissions stand and which transcription engine there is, then
// status 0. It only reads: no permission is ever requested.
int runCaps(platform::Platform& platform);

}  // namespace zuno
