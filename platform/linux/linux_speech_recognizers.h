#pragma once

#include "platform/audio_files.h"
#include "platform/speech_recognizer.h"

namespace platform::linux_backend {

// A locale has a recogniser when a speech model for it is installed (see pocketsphinx_model.h);
// recognition then happens on the machine itself.
class LinuxSpeechRecognizers final : public SpeechRecognizers {
 public:
  // `files` reads the audio of every recognition and must outlive them.
  explicit LinuxSpeechRecognizers(AudioFiles& files) : files_(files) {}
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier) override;
  // Linux puts no privacy gate in front of speech recognition.
  void requestAuthorization(SpeechAuthorizationHandler handler) override;

 private:
  AudioFiles& files_;
};

}  // namespace platform::linux_backend
