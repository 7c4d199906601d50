#include "transcribe/transcribe.h"

#include "core/system_releases.h"
#include "events/event.h"
#include "transcribe/legacy_recognizer_engine.h"
#include "transcribe/speech_analyzer_engine.h"

namespace zuno {

void runTranscribe(platform::Platform& platform, const std::string& audioPath,
                   const std::string& locale) {
  // Only existence is checked here; whether the file holds audio the engine finds out.
  if (!platform.fileSystem.fileExists(audioPath)) {
    fail(platform.runtime, "io_failed", "audio file not found: " + audioPath);
  }
  if (offersSpeechAnalyzer(platform.process.operatingSystemVersion())) {
    transcribeWithSpeechAnalyzer(platform, audioPath, locale);
  } else {
    transcribeWithSFSpeech(platform, audioPath, locale);
  }
}

}  // namespace zuno
