#pragma once

#include <string>

#include "platform/platform.h"

namespace zuno {

// Transcribes with the file recogniser of older systems, on the device and final result only,
// once speech recognition is authorised. Blocks the calling thread; the recogniser's handler
// ends the process from its own thread. `url`: the path of the audio file's URL (absolute).
void transcribeWithSFSpeech(platform::Platform& platform, const std::string& url,
                            const std::string& locale);

}  // namespace zuno
