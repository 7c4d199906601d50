#include "transcribe/transcription_result.h"

#include <cstdlib>

#include "events/event.h"

namespace zuno {

void emitResult(platform::Runtime& runtime, std::string_view engine,
                const std::vector<TranscriptSegment>& segments) {
  Event list = Event::array();
  for (const TranscriptSegment& segment : segments) {
    Event item{{"text", segment.text}};
    if (segment.times) {
      item["start"] = segment.times->start;
      item["end"] = segment.times->end;
    }
    list.push_back(std::move(item));
  }
  emitEvent(runtime, Event{{"event", "result"}, {"engine", engine}, {"segments", std::move(list)}});
  runtime.exitProcess(0);
  std::abort();  // exitProcess never returns; this only tells the compiler so
}

}  // namespace zuno
