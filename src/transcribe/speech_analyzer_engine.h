#pragma once

#include <string>

#include "core/run_scope.h"
#include "platform/platform.h"

namespace zuno {

// Transcribes with the on-device speech analyzer of newer systems, downloading the locale's
// model first when it is missing. The work runs as an asynchronous task while the main loop
// runs; its end, the result or an error, is handed to the main thread, which ends the loop.
// Returns the exit status. `url`: the path of the audio file's URL (absolute).
int transcribeWithSpeechAnalyzer(platform::Platform& platform, RunScope& scope,
                                 const std::string& url, const std::string& locale);

}  // namespace zuno
