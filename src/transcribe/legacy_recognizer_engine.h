#pragma once

#include <string>

#include "core/run_scope.h"
#include "platform/platform.h"

namespace zuno {

// Transcribes with the file recogniser of older systems, on the device and final result only,
// once speech recognition is authorised. Runs the main loop until the recogniser's answer,
// handed over from its own thread, ends it; returns the exit status. `url`: the path of the
// audio file's URL (absolute).
int transcribeWithSFSpeech(platform::Platform& platform, RunScope& scope, const std::string& url,
                           const std::string& locale);

}  // namespace zuno
