#include "transcribe/transcription_result.h"

#include "core/run_failure.h"
#include "events/event.h"

namespace zuno {

namespace {

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
}

}  // namespace

void finishWithResult(platform::Runtime& runtime, std::string engine,
                      std::vector<TranscriptSegment> segments) {
  runtime.mainQueue().async([&runtime, engine = std::move(engine), segments = std::move(segments)] {
    emitResult(runtime, engine, segments);
    runtime.quitMainLoop(0);
  });
}

void finishWithFailure(platform::Runtime& runtime, std::string code, std::string message) {
  runtime.mainQueue().async(
      [code = std::move(code), message = std::move(message)] { fail(code, message); });
}

}  // namespace zuno
