#include "linux/linux_speech_analysis.h"

namespace platform::linux_backend {
namespace {

Error unavailable() {
  return {"zuno.linux.speech", 1, "the speech analyzer is not available on this system"};
}

class UnavailableResults final : public SpeechTranscriptionResults {
 public:
  void next(NextTranscriptionResultHandler handler) override { handler(unavailable()); }
};

class UnavailableTranscriber final : public SpeechTranscriber {
 public:
  std::shared_ptr<SpeechTranscriptionResults> results() override {
    return std::make_shared<UnavailableResults>();
  }
};

class UnavailableAnalyzer final : public SpeechAnalyzer {
 public:
  void analyzeSequence(std::shared_ptr<AudioFileForReading>, AnalysisHandler completion) override {
    completion(unavailable());
  }
  void finalizeAndFinish(MediaTime, SpeechCompletion completion) override {
    completion(unavailable());
  }
  void finalizeAndFinishThroughEndOfInput(SpeechCompletion completion) override {
    completion(unavailable());
  }
};

}  // namespace

std::shared_ptr<SpeechTranscriber> LinuxSpeechAnalysis::makeTranscriber(
    const SpeechTranscriberSettings&) {
  return std::make_shared<UnavailableTranscriber>();
}

void LinuxSpeechAnalysis::assetInstallationRequest(const SpeechModules&,
                                                   AssetInstallationRequestHandler handler) {
  handler(unavailable());
}

std::shared_ptr<SpeechAnalyzer> LinuxSpeechAnalysis::makeAnalyzer(const SpeechModules&) {
  return std::make_shared<UnavailableAnalyzer>();
}

}  // namespace platform::linux_backend
