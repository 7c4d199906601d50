#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech_recognizer.h"
#include "sim/sim_runtime.h"

namespace platform::sim {

// File recognisers and their permission on virtual time. The permission answer and every call
// of a recognition task's handler are scheduler tasks a test scripts; what was asked is kept in
// `calls()`, in order, so a test can also check what was never asked.
class SimSpeechRecognizers final : public SpeechRecognizers {
 public:
  explicit SimSpeechRecognizers(SimRuntime& runtime) : runtime_(runtime) {}
  SimSpeechRecognizers(const SimSpeechRecognizers&) = delete;
  SimSpeechRecognizers& operator=(const SimSpeechRecognizers&) = delete;

  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier) override;
  void requestAuthorization(SpeechAuthorizationHandler handler) override;

  // --- script
  // No locale has a recogniser until added.
  void addRecognizer(const std::string& localeIdentifier, bool supportsOnDevice = true) {
    recognizers_[localeIdentifier] = supportsOnDevice;
  }
  // Default: authorised, one second after the request (the user reading the prompt).
  void setAuthorizationAnswer(SpeechRecognizerAuthorizationStatus status,
                              Duration after = std::chrono::seconds(1)) {
    authorization_ = status;
    authorizationDelay_ = after;
  }
  // The calls a recognition task makes to its handler, in order, each `after` the one before
  // (the first after the task starts).
  void addRecognitionCallback(Duration after, std::optional<SpeechRecognitionResult> result,
                              std::optional<Error> error) {
    callbacks_.push_back({after, std::move(result), std::move(error)});
  }

  // --- what was asked: "makeRecognizer(LOCALE)", "requestAuthorization",
  // "recognitionTask(PATH, onDevice: BOOL, partialResults: BOOL)"
  std::vector<std::string> calls() const { return calls_; }

 private:
  struct Callback {
    Duration after;
    std::optional<SpeechRecognitionResult> result;
    std::optional<Error> error;
  };

  void startRecognition(const SpeechURLRecognitionRequest& request,
                        const SpeechRecognitionResultHandler& handler);

  SimRuntime& runtime_;
  std::map<std::string, bool> recognizers_;  // locale -> on-device support
  SpeechRecognizerAuthorizationStatus authorization_ =
      SpeechRecognizerAuthorizationStatus::authorized;
  Duration authorizationDelay_ = std::chrono::seconds(1);
  std::vector<Callback> callbacks_;
  std::vector<std::string> calls_;
};

}  // namespace platform::sim
