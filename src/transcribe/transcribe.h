#pragma once

#include <string>

#include "core/run_scope.h"
#include "platform/platform.h"

namespace zuno {

// The `transcribe` subcommand: checks that the file is there, picks the engine the system
// offers and runs the main loop until the engine hands over the result or an error; returns the
// exit status.
int runTranscribe(platform::Platform& platform, RunScope& scope, const std::string& audioPath,
                  const std::string& locale);

}  // namespace zuno
