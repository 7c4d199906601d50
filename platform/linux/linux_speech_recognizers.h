#pragma once

#include "platform/speech_recognizer.h"

namespace platform::linux_backend {

// Stands in until the real on-device recogniser replaces it: no locale has a recogniser, so a
// transcription ends with the program's own "no recognizer" answer before anything is asked.
class LinuxSpeechRecognizers final : public SpeechRecognizers {
 public:
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier) override;
  // Linux puts no privacy gate in front of speech recognition.
  void requestAuthorization(SpeechAuthorizationHandler handler) override;
};

}  // namespace platform::linux_backend
