#include "linux/linux_speech_recognizers.h"

#include <thread>

#include "linux/pocketsphinx_model.h"
#include "linux/pocketsphinx_recognizer.h"

namespace platform::linux_backend {

std::shared_ptr<SpeechRecognizer> LinuxSpeechRecognizers::makeRecognizer(
    const std::string& localeIdentifier) {
  auto model = findPocketsphinxModel(localeIdentifier);
  if (!model) return nullptr;
  return std::make_shared<PocketsphinxRecognizer>(files_, std::move(*model));
}

void LinuxSpeechRecognizers::requestAuthorization(SpeechAuthorizationHandler handler) {
  // The caller waits for the answer, so it must come from another thread.
  std::thread([handler = std::move(handler)] {
    handler(SpeechRecognizerAuthorizationStatus::authorized);
  }).detach();
}

}  // namespace platform::linux_backend
