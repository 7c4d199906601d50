#include "transcribe/legacy_recognizer_engine.h"

#include <memory>
#include <vector>

#include "core/run_failure.h"
#include "events/event.h"
#include "transcribe/transcription_result.h"

namespace zuno {
namespace {

using platform::SpeechRecognizerAuthorizationStatus;

constexpr const char* kEngine = "sfspeech";

// The recogniser's way of saying it heard no speech at all: an empty transcript, not a failure.
bool meansNoSpeech(const platform::Error& error) {
  return error.domain == "kAFAssistantErrorDomain" && error.code == 1110;
}

// On the recogniser's thread: its answer goes to the main thread, which ends the run with it.
void handleRecognition(platform::Runtime& runtime,
                       const std::optional<platform::SpeechRecognitionResult>& result,
                       const std::optional<platform::Error>& error) {
  if (error) {
    if (meansNoSpeech(*error)) return finishWithResult(runtime, kEngine, {});
    return finishWithFailure(runtime, "transcribe_failed", "sfspeech: " + error->description);
  }
  // Partial results are switched off; should one come anyway, the final one follows.
  if (!result || !result->isFinal) return;
  std::vector<TranscriptSegment> segments;
  for (const auto& segment : result->bestTranscription.segments) {
    segments.push_back(
        {segment.substring, SegmentTimes{segment.timestamp, segment.timestamp + segment.duration}});
  }
  finishWithResult(runtime, kEngine, std::move(segments));
}

// Written once by the authorisation handler before it signals, read only after the wait.
struct AuthorizationAnswer {
  SpeechRecognizerAuthorizationStatus status = SpeechRecognizerAuthorizationStatus::notDetermined;
};

}  // namespace

int transcribeWithSFSpeech(platform::Platform& platform, RunScope& scope, const std::string& url,
                           const std::string& locale) {
  platform::Runtime& runtime = platform.runtime;
  // Kept to the end of the run: it owns the task that recognises.
  auto recognizer = scope.keep(platform.speechRecognizers.makeRecognizer(locale));
  // Checked before the permission, so the user is never asked for a transcription that cannot
  // happen.
  if (!recognizer) fail("transcribe_failed", "no recognizer for locale " + locale);

  auto answer = std::make_shared<AuthorizationAnswer>();
  auto answered = runtime.makeSemaphore(0);
  platform.speechRecognizers.requestAuthorization(
      [answer, answered](SpeechRecognizerAuthorizationStatus status) {
        answer->status = status;
        answered->signal();
      });
  answered->wait();
  switch (answer->status) {
    case SpeechRecognizerAuthorizationStatus::authorized:
      break;
    case SpeechRecognizerAuthorizationStatus::denied:
    case SpeechRecognizerAuthorizationStatus::restricted:
      fail("speech_permission_denied", "speech recognition not authorized");
    default:
      fail("speech_permission_denied", "speech recognition authorization undetermined");
  }

  platform::SpeechURLRecognitionRequest request{url};
  request.requiresOnDeviceRecognition = true;
  request.shouldReportPartialResults = false;
  recognizer->recognitionTask(request, [&runtime](const auto& result, const auto& error) {
    handleRecognition(runtime, result, error);
  });
  return runtime.runMainLoop();
}

}  // namespace zuno
