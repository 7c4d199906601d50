#include "sim/sim_speech_analyzer.h"

#include <algorithm>
#include <utility>

namespace platform::sim {

// The script, and the result sequence as its reader sees it; every module, request and analyzer
// made holds it.
struct SimSpeechAnalysis::State : SimSpeechScript, std::enable_shared_from_this<State> {
  explicit State(SimRuntime& runtime) : runtime(runtime) {}

  SimRuntime& runtime;
  std::size_t released = 0;
  std::size_t taken = 0;
  bool iterationFailed = false;
  bool finished = false;
  NextTranscriptionResultHandler waiting;

  // Hands the waiting reader what is due, always from a task of its own as the platform does.
  void answerReader() {
    if (!waiting) return;
    Result<std::optional<SpeechTranscriptionResult>> answer{std::nullopt};
    if (taken < released) {
      answer = std::optional(results[taken++].result);
    } else if (iterationFailed) {
      answer = resultsError->second;
    } else if (!finished) {
      return;
    }
    runtime.after(Duration{0}, [handler = std::exchange(waiting, nullptr),
                                answer = std::move(answer)] { handler(answer); });
  }

  void startResults() {
    auto self = shared_from_this();
    for (std::size_t i = 0; i < results.size(); ++i) {
      runtime.after(results[i].at, [self, count = i + 1] {
        self->released = std::max(self->released, count);
        self->answerReader();
      });
    }
    if (resultsError) {
      runtime.after(resultsError->first, [self] {
        self->iterationFailed = true;
        self->answerReader();
      });
    }
  }

  void finishResults() {
    released = results.size();
    finished = true;
    answerReader();
  }

  void completeFinalization(std::optional<Error> error, SpeechCompletion completion) {
    auto self = shared_from_this();
    runtime.after(Duration{0},
                  [self, error = std::move(error), completion = std::move(completion)] {
                    if (!error) self->finishResults();
                    completion(error);
                  });
  }
};

namespace {

// What every object the analysis hands out holds.
struct SharesState {
  explicit SharesState(std::shared_ptr<SimSpeechAnalysis::State> state)
      : state_(std::move(state)) {}
  std::shared_ptr<SimSpeechAnalysis::State> state_;
};

class SimResults final : public SpeechTranscriptionResults, SharesState {
 public:
  using SharesState::SharesState;
  void next(NextTranscriptionResultHandler handler) override {
    state_->waiting = std::move(handler);
    state_->answerReader();
  }
};

class SimTranscriber final : public SpeechTranscriber, SharesState {
 public:
  using SharesState::SharesState;
  std::shared_ptr<SpeechTranscriptionResults> results() override {
    return std::make_shared<SimResults>(state_);
  }
};

class SimInstallationRequest final : public AssetInstallationRequest, SharesState {
 public:
  using SharesState::SharesState;
  void downloadAndInstall(SpeechCompletion completion) override {
    state_->calls.push_back("downloadAndInstall");
    state_->runtime.after(
        state_->downloadTime.value_or(Duration{0}),
        [completion = std::move(completion), error = state_->downloadError] { completion(error); });
  }
};

// Reads the file through to its end, as an analyzer does, counting its frames; a read that fails
// ends the count there.
std::int64_t framesIn(AudioFileForReading& file) {
  auto buffer = PCMBuffer::make(file.processingFormat(), 4096);
  std::int64_t frames = 0;
  while (buffer && !file.read(*buffer) && buffer->frameLength() > 0) {
    frames += buffer->frameLength();
  }
  return frames;
}

class SimAnalyzer final : public SpeechAnalyzer, SharesState {
 public:
  using SharesState::SharesState;

  void analyzeSequence(std::shared_ptr<AudioFileForReading> file,
                       AnalysisHandler completion) override {
    state_->calls.push_back("analyzeSequence");
    // The last sample analysed is where the file ends; an empty file has none.
    std::optional<MediaTime> lastSample;
    if (const std::int64_t frames = file ? framesIn(*file) : 0; frames > 0) {
      lastSample =
          MediaTime{frames, static_cast<std::int32_t>(file->processingFormat().sampleRate)};
    }
    state_->startResults();
    state_->runtime.after(state_->analysisTime,
                          [completion = std::move(completion), error = state_->analysisError,
                           lastSample] { error ? completion(*error) : completion(lastSample); });
  }

  void finalizeAndFinish(MediaTime through, SpeechCompletion completion) override {
    state_->calls.push_back("finalizeAndFinish(through: " + std::to_string(through.value) + "/" +
                            std::to_string(through.timescale) + ")");
    state_->completeFinalization(state_->finalizeError, std::move(completion));
  }

  void finalizeAndFinishThroughEndOfInput(SpeechCompletion completion) override {
    state_->calls.push_back("finalizeAndFinishThroughEndOfInput");
    state_->completeFinalization(state_->endOfInputError, std::move(completion));
  }
};

}  // namespace

SimSpeechAnalysis::SimSpeechAnalysis(SimRuntime& runtime)
    : state_(std::make_shared<State>(runtime)), script_(*state_) {}

SimSpeechAnalysis::~SimSpeechAnalysis() {
  // A reader still waiting when the test ends holds, through its handler, the sequence that
  // holds this state: let it go, or neither is ever freed.
  state_->waiting = nullptr;
}

std::shared_ptr<SpeechTranscriber> SimSpeechAnalysis::makeTranscriber(
    const SpeechTranscriberSettings& settings) {
  state_->calls.push_back("makeTranscriber");
  state_->settings.push_back(settings);
  return std::make_shared<SimTranscriber>(state_);
}

void SimSpeechAnalysis::assetInstallationRequest(const SpeechModules& modules,
                                                 AssetInstallationRequestHandler handler) {
  state_->calls.push_back("assetInstallationRequest(modules: " + std::to_string(modules.size()) +
                          ")");
  std::shared_ptr<AssetInstallationRequest> request;
  if (state_->downloadTime) request = std::make_shared<SimInstallationRequest>(state_);
  state_->runtime.after(Duration{0}, [handler = std::move(handler), error = state_->requestError,
                                      request] { error ? handler(*error) : handler(request); });
}

std::shared_ptr<SpeechAnalyzer> SimSpeechAnalysis::makeAnalyzer(const SpeechModules& modules) {
  state_->calls.push_back("makeAnalyzer(modules: " + std::to_string(modules.size()) + ")");
  return std::make_shared<SimAnalyzer>(state_);
}

}  // namespace platform::sim
