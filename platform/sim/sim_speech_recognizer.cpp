#include "sim/sim_speech_recognizer.h"

#include <utility>

namespace platform::sim {
namespace {

class SimRecognizer final : public SpeechRecognizer {
 public:
  SimRecognizer(SimSpeechRecognizers& service, bool supportsOnDevice)
      : service_(service), supportsOnDevice_(supportsOnDevice) {}
  bool supportsOnDeviceRecognition() override { return supportsOnDevice_; }
  void recognitionTask(const SpeechURLRecognitionRequest& request,
                       SpeechRecognitionResultHandler handler) override {
    service_.startRecognition(request, std::move(handler));
  }

 private:
  SimSpeechRecognizers& service_;
  bool supportsOnDevice_;
};

}  // namespace

std::shared_ptr<SpeechRecognizer> SimSpeechRecognizers::makeRecognizer(
    const std::string& localeIdentifier) {
  log("makeRecognizer(" + localeIdentifier + ")");
  std::lock_guard lock(mutex_);
  auto found = recognizers_.find(localeIdentifier);
  if (found == recognizers_.end()) return nullptr;
  return std::make_shared<SimRecognizer>(*this, found->second);
}

void SimSpeechRecognizers::requestAuthorization(SpeechAuthorizationHandler handler) {
  log("requestAuthorization");
  SpeechRecognizerAuthorizationStatus status;
  Duration delay;
  {
    std::lock_guard lock(mutex_);
    status = authorization_;
    delay = authorizationDelay_;
  }
  runtime_.after(delay, [handler = std::move(handler), status] { handler(status); });
}

void SimSpeechRecognizers::startRecognition(const SpeechURLRecognitionRequest& request,
                                            SpeechRecognitionResultHandler handler) {
  log("recognitionTask(" + request.url +
      ", onDevice: " + (request.requiresOnDeviceRecognition ? "true" : "false") +
      ", partialResults: " + (request.shouldReportPartialResults ? "true" : "false") + ")");
  std::vector<Callback> callbacks;
  {
    std::lock_guard lock(mutex_);
    callbacks = callbacks_;
  }
  Duration at{0};
  for (auto& callback : callbacks) {
    at += callback.after;
    runtime_.after(at, [handler, result = std::move(callback.result),
                        error = std::move(callback.error)] { handler(result, error); });
  }
}

void SimSpeechRecognizers::addRecognizer(const std::string& localeIdentifier,
                                         bool supportsOnDevice) {
  std::lock_guard lock(mutex_);
  recognizers_[localeIdentifier] = supportsOnDevice;
}

void SimSpeechRecognizers::setAuthorizationAnswer(SpeechRecognizerAuthorizationStatus status,
                                                  Duration after) {
  std::lock_guard lock(mutex_);
  authorization_ = status;
  authorizationDelay_ = after;
}

void SimSpeechRecognizers::addRecognitionCallback(Duration after,
                                                  std::optional<SpeechRecognitionResult> result,
                                                  std::optional<Error> error) {
  std::lock_guard lock(mutex_);
  callbacks_.push_back({after, std::move(result), std::move(error)});
}

std::vector<std::string> SimSpeechRecognizers::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void SimSpeechRecognizers::log(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

}  // namespace platform::sim
