#pragma once

#include <string>

#include "platform/platform.h"

namespace zuno {

// Transcribes with the on-device speech analyzer of newer systems, downloading the locale's
// model first when it is missing. The work runs as an asynchronous task while the calling
// thread waits; the task ends the process with the result or an error. `url`: the path of the
// audio file's URL (absolute).
void transcribeWithSpeechAnalyzer(platform::Platform& platform, const std::string& url,
                                  const std::string& locale);

}  // namespace zuno
