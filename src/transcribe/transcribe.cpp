#include "transcribe/transcribe.h"

#include "core/run_failure.h"
#include "core/system_releases.h"
#include "events/event.h"
#include "transcribe/file_url_path.h"
#include "transcribe/legacy_recognizer_engine.h"
#include "transcribe/speech_analyzer_engine.h"

namespace zuno {

int runTranscribe(platform::Platform& platform, RunScope& scope, const std::string& audioPath,
                  const std::string& locale) {
  // The engines are handed the file as a URL would name it, absolute; only the message for a
  // missing file keeps the path as the parent gave it.
  const std::string url = fileURLPath(audioPath, platform.fileSystem.currentDirectory());
  // Only existence is checked here; whether the file holds audio the engine finds out.
  if (!platform.fileSystem.fileExists(url)) {
    fail("io_failed", "audio file not found: " + audioPath);
  }
  if (offersSpeechAnalyzer(platform.process.operatingSystemVersion())) {
    return transcribeWithSpeechAnalyzer(platform, scope, url, locale);
  }
  return transcribeWithSFSpeech(platform, scope, url, locale);
}

}  // namespace zuno
