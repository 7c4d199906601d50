#include "diag/caps.h"

#include <string_view>

#include "core/system_releases.h"
#include "diag/answer.h"
#include "tap/system_audio_permission.h"

namespace zuno {
namespace {

// The legacy recogniser counts only when it can work without a server: a Japanese one that
// needs the network is no engine for a meeting's audio.
std::string_view transcriptionEngine(platform::Platform& platform,
                                     const platform::OperatingSystemVersion& version) {
  if (offersSpeechAnalyzer(version)) return "speechanalyzer";
  const auto recognizer = platform.speechRecognizers.makeRecognizer("ja-JP");
  if (recognizer != nullptr && recognizer->supportsOnDeviceRecognition()) return "sfspeech";
  return "none";
}

// Compared by number, as the platform may answer with a value this program does not know.
std::string_view microphoneWord(platform::CaptureAuthorizationStatus status) {
  switch (static_cast<int>(status)) {
    case static_cast<int>(platform::CaptureAuthorizationStatus::authorized):
      return "granted";
    case static_cast<int>(platform::CaptureAuthorizationStatus::restricted):
    case static_cast<int>(platform::CaptureAuthorizationStatus::denied):
      return "denied";
    default:
      return "undetermined";
  }
}

}  // namespace

int runCaps(platform::Platform& platform) {
  const auto version = platform.process.operatingSystemVersion();
  const bool systemAudio = offersProcessTaps(version);
  const std::string_view engine = transcriptionEngine(platform, version);
  const std::string_view microphone =
      microphoneWord(platform.microphonePermission.authorizationStatus());
  // Reported even where taps are missing: the parent shows the permission either way.
  const std::string_view systemAudioPermission =
      permissionWord(systemAudioCapturePreflight(platform.loader));
  return answer(platform.runtime, Event{{"event", "caps"},
                                        {"micPermission", microphone},
                                        {"systemAudio", systemAudio},
                                        {"systemAudioPermission", systemAudioPermission},
                                        {"transcribe", engine}});
}

}  // namespace zuno
