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

// How a transcription ends, handed from whichever thread the engine finished on to the main
// thread, whose loop then returns: the "result" event with the segments in the order given and
// status 0 (also when the line could not be written), or the failure that ends the run.
void finishWithResult(platform::Runtime& runtime, std::string engine,
                      std::vector<TranscriptSegment> segments);
void finishWithFailure(platform::Runtime& runtime, std::string code, std::string message);

}  // namespace zuno
