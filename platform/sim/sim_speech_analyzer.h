#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/speech_analyzer.h"
#include "sim/sim_runtime.h"

namespace platform::sim {

// What a test scripts for the analysis, and what the program asked of it.
struct SimSpeechScript {
  struct TimedResult {
    Duration at;
    SpeechTranscriptionResult result;
  };

  std::optional<Duration> downloadTime;
  std::optional<Error> requestError;
  std::optional<Error> downloadError;
  Duration analysisTime = std::chrono::seconds(1);
  std::optional<Error> analysisError;
  std::optional<Error> finalizeError;
  std::optional<Error> endOfInputError;
  std::vector<TimedResult> results;
  std::optional<std::pair<Duration, Error>> resultsError;

  std::vector<std::string> calls;
  std::vector<SpeechTranscriberSettings> settings;
};

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
  void requireModelDownload(Duration time = std::chrono::seconds(30)) {
    script_.downloadTime = time;
  }
  void failInstallationRequest(Error error) { script_.requestError = std::move(error); }
  void failDownload(Error error) { script_.downloadError = std::move(error); }
  // From the start of the analysis to its answer; default one second.
  void setAnalysisTime(Duration time) { script_.analysisTime = time; }
  void failAnalysis(Error error) { script_.analysisError = std::move(error); }
  void failFinalize(Error error) { script_.finalizeError = std::move(error); }
  void failFinalizeThroughEndOfInput(Error error) { script_.endOfInputError = std::move(error); }
  // Results come in the order added, each no earlier than `at`; what is left when finalisation
  // completes comes then, and the sequence ends after it.
  void addResult(Duration at, SpeechTranscriptionResult result) {
    script_.results.push_back({at, std::move(result)});
  }
  // From `at` on, once the results before it are taken, iteration fails.
  void failResults(Duration at, Error error) { script_.resultsError.emplace(at, std::move(error)); }

  // --- what was asked
  // "makeTranscriber", "assetInstallationRequest", "downloadAndInstall", "makeAnalyzer",
  // "analyzeSequence", "finalizeAndFinish(through: VALUE/TIMESCALE)",
  // "finalizeAndFinishThroughEndOfInput".
  std::vector<std::string> calls() const { return script_.calls; }
  std::vector<SpeechTranscriberSettings> transcriberSettings() const { return script_.settings; }

  struct State;

 private:
  std::shared_ptr<State> state_;
  SimSpeechScript& script_;
};

}  // namespace platform::sim
