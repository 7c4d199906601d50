#pragma once

#include <string>

#include "platform/platform.h"

namespace zuno {

// The `transcribe` subcommand: checks that the file is there, picks the engine the system
// offers and waits while it runs; the engine ends the process with the result or an error.
void runTranscribe(platform::Platform& platform, const std::string& audioPath,
                   const std::string& locale);

}  // namespace zuno
