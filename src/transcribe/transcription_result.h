#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime.h"

namespace zuno {

// Seconds from the beginning of the file, exactly as the engine gave them.
struct SegmentTimes {
  double start = 0;
  double end = 0;
};

// One piece of recognised text; an engine that could not place it in time leaves out its times.
struct TranscriptSegment {
  std::string text;
  std::optional<SegmentTimes> times;
};

// The "result" event with the segments in the order given, then exit status 0, also when the
// line could not be written.
[[noreturn]] void emitResult(platform::Runtime& runtime, std::string_view engine,
                             const std::vector<TranscriptSegment>& segments);

}  // namespace zuno
