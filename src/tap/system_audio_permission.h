#pragma once

#include <string_view>

#include "platform/process.h"

namespace zuno {

enum class SystemAudioPermission { granted, denied, undetermined };

std::string_view permissionWord(SystemAudioPermission permission);

// Whether this process may capture what other processes play, asked of the privacy service
// without prompting. Anything that keeps the service from answering means "undetermined".
SystemAudioPermission systemAudioCapturePreflight(platform::DynamicLoader& loader);

}  // namespace zuno
