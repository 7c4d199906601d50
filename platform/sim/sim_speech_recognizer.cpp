#include "sim/sim_speech_recognizer.h"

#include <functional>
#include <utility>

namespace platform::sim {
namespace {

using StartRecognition =
    std::function<void(const SpeechURLRecognitionRequest&, const SpeechRecognitionResultHandler&)>;

class SimRecognizer final : public SpeechRecognizer {
 public:
  SimRecognizer(StartRecognition start, bool supportsOnDevice)
      : start_(std::move(start)), supportsOnDevice_(supportsOnDevice) {}
  bool supportsOnDeviceRecognition() override { return supportsOnDevice_; }
  void recognitionTask(const SpeechURLRecognitionRequest& request,
                       SpeechRecognitionResultHandler handler) override {
    start_(request, handler);
  }

 private:
  StartRecognition start_;
  bool supportsOnDevice_;
};

}  // namespace

std::shared_ptr<SpeechRecognizer> SimSpeechRecognizers::makeRecognizer(
    const std::string& localeIdentifier) {
  calls_.push_back("makeRecognizer(" + localeIdentifier + ")");
  auto found = recognizers_.find(localeIdentifier);
  if (found == recognizers_.end()) return nullptr;
  return std::make_shared<SimRecognizer>(
      [this](const auto& request, const auto& handler) { startRecognition(request, handler); },
      found->second);
}

void SimSpeechRecognizers::requestAuthorization(SpeechAuthorizationHandler handler) {
  calls_.push_back("requestAuthorization");
  runtime_.after(authorizationDelay_,
                 [handler = std::move(handler), status = authorization_] { handler(status); });
}

void SimSpeechRecognizers::startRecognition(const SpeechURLRecognitionRequest& request,
                                            const SpeechRecognitionResultHandler& handler) {
  calls_.push_back("recognitionTask(" + request.url +
                   ", onDevice: " + (request.requiresOnDeviceRecognition ? "true" : "false") +
                   ", partialResults: " + (request.shouldReportPartialResults ? "true" : "false") +
                   ")");
  Duration at{0};
  for (const auto& callback : callbacks_) {
    at += callback.after;
    runtime_.after(at, [handler, result = callback.result, error = callback.error] {
      handler(result, error);
    });
  }
}

}  // namespace platform::sim
