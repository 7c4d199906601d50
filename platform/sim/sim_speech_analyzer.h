#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech_analyzer.h"
#include "sim/sim_runtime.h"

namespace platform::sim {

// On-device speech analysis on virtual time. Every answer is a scheduler task, so it arrives on
// "another thread" as on the platform, and a test scripts when and with what. Everything asked
// is kept in `calls()`, in order.
class SimSpeechAnalysis final : public SpeechAnalysis {
 public:
  explicit SimSpeechAnalysis(SimRuntime& runtime);
  ~SimSpeechAnalysis() override;
  SimSpeechAnalysis(const SimSpeechAnalysis&) = delete;
  SimSpeechAnalysis& operator=(const SimSpeechAnalysis&) = delete;

  std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const SpeechTranscriberSettings& settings) override;
  void assetInstallationRequest(const SpeechModules& modules,
                                AssetInstallationRequestHandler handler) override;
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override;

  // --- script. Times are virtual; analysis results are timed from the start of the analysis.
  // The locale's model is missing: a request comes back, and its download takes `time`.
  void requireModelDownload(Duration time = std::chrono::seconds(30));
  void failInstallationRequest(Error error);
  void failDownload(Error error);
  // From the start of the analysis to its answer; default one second.
  void setAnalysisTime(Duration time);
  void failAnalysis(Error error);
  void failFinalize(Error error);
  void failFinalizeThroughEndOfInput(Error error);
  // Results come in the order added, each no earlier than `at`; what is left when finalisation
  // completes comes then, and the sequence ends after it.
  void addResult(Duration at, SpeechTranscriptionResult result);
  // From `at` on, once the results before it are taken, iteration fails.
  void failResults(Duration at, Error error);

  // --- what was asked
  // "makeTranscriber", "assetInstallationRequest", "downloadAndInstall", "makeAnalyzer",
  // "analyzeSequence", "finalizeAndFinish(through: VALUE/TIMESCALE)",
  // "finalizeAndFinishThroughEndOfInput".
  std::vector<std::string> calls() const;
  std::vector<SpeechTranscriberSettings> transcriberSettings() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::sim
