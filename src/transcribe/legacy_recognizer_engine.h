#pragma once

#include <string>

#include "platform/platform.h"

namespace zuno {

// Transcribes with the file recogniser of older systems, on the device and final result only,
// once speech recognition is authorised. Blocks the calling thread; the recogniser's handler
// ends the process from its own thread.
void transcribeWithSFSpeech(platform::Platform& platform, const std::string& audioPath,
                            const std::string& locale);

}  // namespace zuno
