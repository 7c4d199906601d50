#include "sim/sim_speech_analyzer.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace platform::sim {

struct SimSpeechAnalysis::State : std::enable_shared_from_this<State> {
  explicit State(SimRuntime& runtime) : runtime(runtime) {}

  struct ScriptedResult {
    Duration at;
    SpeechTranscriptionResult result;
  };

  SimRuntime& runtime;
  mutable std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<SpeechTranscriberSettings> settings;

  std::optional<Duration> downloadTime;
  std::optional<Error> requestError;
  std::optional<Error> downloadError;
  Duration analysisTime = std::chrono::seconds(1);
  std::optional<Error> analysisError;
  std::optional<Error> finalizeError;
  std::optional<Error> endOfInputError;
  std::vector<ScriptedResult> scripted;
  std::optional<std::pair<Duration, Error>> resultsError;

  // The result sequence as its reader sees it.
  std::size_t released = 0;
  std::size_t taken = 0;
  bool iterationFailed = false;
  bool finished = false;
  NextTranscriptionResultHandler waiting;

  void log(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }

  // Hands the waiting reader what is due, always from a task of its own as the platform does.
  void answerReader() {
    using Next = Result<std::optional<SpeechTranscriptionResult>>;
    std::optional<Next> answer;
    NextTranscriptionResultHandler handler;
    {
      std::lock_guard lock(mutex);
      if (!waiting) return;
      if (taken < released) {
        answer.emplace(std::optional(scripted[taken++].result));
      } else if (iterationFailed) {
        answer.emplace(resultsError->second);
      } else if (finished) {
        answer.emplace(std::optional<SpeechTranscriptionResult>());
      } else {
        return;
      }
      handler = std::exchange(waiting, nullptr);
    }
    runtime.after(Duration{0},
                  [handler = std::move(handler), answer = std::move(*answer)] { handler(answer); });
  }

  void release(std::size_t count) {
    {
      std::lock_guard lock(mutex);
      released = std::max(released, std::min(count, scripted.size()));
    }
    answerReader();
  }

  void startResults() {
    std::vector<Duration> times;
    std::optional<Duration> errorAt;
    {
      std::lock_guard lock(mutex);
      for (const auto& result : scripted) times.push_back(result.at);
      if (resultsError) errorAt = resultsError->first;
    }
    auto self = shared_from_this();
    for (std::size_t i = 0; i < times.size(); ++i) {
      runtime.after(times[i], [self, count = i + 1] { self->release(count); });
    }
    if (errorAt) {
      runtime.after(*errorAt, [self] {
        {
          std::lock_guard lock(self->mutex);
          self->iterationFailed = true;
        }
        self->answerReader();
      });
    }
  }

  void finishResults() {
    {
      std::lock_guard lock(mutex);
      released = scripted.size();
      finished = true;
    }
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

class SimResults final : public SpeechTranscriptionResults {
 public:
  explicit SimResults(std::shared_ptr<SimSpeechAnalysis::State> state) : state_(std::move(state)) {}
  void next(NextTranscriptionResultHandler handler) override {
    {
      std::lock_guard lock(state_->mutex);
      state_->waiting = std::move(handler);
    }
    state_->answerReader();
  }

 private:
  std::shared_ptr<SimSpeechAnalysis::State> state_;
};

class SimTranscriber final : public SpeechTranscriber {
 public:
  explicit SimTranscriber(std::shared_ptr<SimSpeechAnalysis::State> state)
      : state_(std::move(state)) {}
  std::shared_ptr<SpeechTranscriptionResults> results() override {
    return std::make_shared<SimResults>(state_);
  }

 private:
  std::shared_ptr<SimSpeechAnalysis::State> state_;
};

class SimInstallationRequest final : public AssetInstallationRequest {
 public:
  explicit SimInstallationRequest(std::shared_ptr<SimSpeechAnalysis::State> state)
      : state_(std::move(state)) {}
  void downloadAndInstall(SpeechCompletion completion) override {
    state_->log("downloadAndInstall");
    Duration time;
    std::optional<Error> error;
    {
      std::lock_guard lock(state_->mutex);
      time = state_->downloadTime.value_or(Duration{0});
      error = state_->downloadError;
    }
    state_->runtime.after(time, [completion = std::move(completion), error] { completion(error); });
  }

 private:
  std::shared_ptr<SimSpeechAnalysis::State> state_;
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

class SimAnalyzer final : public SpeechAnalyzer {
 public:
  explicit SimAnalyzer(std::shared_ptr<SimSpeechAnalysis::State> state)
      : state_(std::move(state)) {}

  void analyzeSequence(std::shared_ptr<AudioFileForReading> file,
                       AnalysisHandler completion) override {
    state_->log("analyzeSequence");
    // The last sample analysed is where the file ends; an empty file has none.
    std::optional<MediaTime> lastSample;
    if (const std::int64_t frames = file ? framesIn(*file) : 0; frames > 0) {
      lastSample =
          MediaTime{frames, static_cast<std::int32_t>(file->processingFormat().sampleRate)};
    }
    Duration time;
    std::optional<Error> error;
    {
      std::lock_guard lock(state_->mutex);
      time = state_->analysisTime;
      error = state_->analysisError;
    }
    state_->startResults();
    state_->runtime.after(time, [completion = std::move(completion), error, lastSample] {
      if (error) {
        completion(*error);
      } else {
        completion(lastSample);
      }
    });
  }

  void finalizeAndFinish(MediaTime through, SpeechCompletion completion) override {
    state_->log("finalizeAndFinish(through: " + std::to_string(through.value) + "/" +
                std::to_string(through.timescale) + ")");
    std::optional<Error> error;
    {
      std::lock_guard lock(state_->mutex);
      error = state_->finalizeError;
    }
    state_->completeFinalization(std::move(error), std::move(completion));
  }

  void finalizeAndFinishThroughEndOfInput(SpeechCompletion completion) override {
    state_->log("finalizeAndFinishThroughEndOfInput");
    std::optional<Error> error;
    {
      std::lock_guard lock(state_->mutex);
      error = state_->endOfInputError;
    }
    state_->completeFinalization(std::move(error), std::move(completion));
  }

 private:
  std::shared_ptr<SimSpeechAnalysis::State> state_;
};

}  // namespace

SimSpeechAnalysis::SimSpeechAnalysis(SimRuntime& runtime)
    : state_(std::make_shared<State>(runtime)) {}

SimSpeechAnalysis::~SimSpeechAnalysis() {
  // A reader still waiting when the test ends holds, through its handler, the sequence that
  // holds this state: let it go, or neither is ever freed.
  NextTranscriptionResultHandler dropped;
  std::lock_guard lock(state_->mutex);
  dropped = std::move(state_->waiting);
}

std::shared_ptr<SpeechTranscriber> SimSpeechAnalysis::makeTranscriber(
    const SpeechTranscriberSettings& settings) {
  {
    std::lock_guard lock(state_->mutex);
    state_->calls.push_back("makeTranscriber");
    state_->settings.push_back(settings);
  }
  return std::make_shared<SimTranscriber>(state_);
}

void SimSpeechAnalysis::assetInstallationRequest(const SpeechModules& modules,
                                                 AssetInstallationRequestHandler handler) {
  state_->log("assetInstallationRequest(modules: " + std::to_string(modules.size()) + ")");
  std::optional<Error> error;
  bool missing;
  {
    std::lock_guard lock(state_->mutex);
    error = state_->requestError;
    missing = state_->downloadTime.has_value();
  }
  std::shared_ptr<AssetInstallationRequest> request;
  if (missing) request = std::make_shared<SimInstallationRequest>(state_);
  state_->runtime.after(Duration{0}, [handler = std::move(handler), error, request] {
    if (error) {
      handler(*error);
    } else {
      handler(request);
    }
  });
}

std::shared_ptr<SpeechAnalyzer> SimSpeechAnalysis::makeAnalyzer(const SpeechModules& modules) {
  state_->log("makeAnalyzer(modules: " + std::to_string(modules.size()) + ")");
  return std::make_shared<SimAnalyzer>(state_);
}

void SimSpeechAnalysis::requireModelDownload(Duration time) {
  std::lock_guard lock(state_->mutex);
  state_->downloadTime = time;
}

void SimSpeechAnalysis::failInstallationRequest(Error error) {
  std::lock_guard lock(state_->mutex);
  state_->requestError = std::move(error);
}

void SimSpeechAnalysis::failDownload(Error error) {
  std::lock_guard lock(state_->mutex);
  state_->downloadError = std::move(error);
}

void SimSpeechAnalysis::setAnalysisTime(Duration time) {
  std::lock_guard lock(state_->mutex);
  state_->analysisTime = time;
}

void SimSpeechAnalysis::failAnalysis(Error error) {
  std::lock_guard lock(state_->mutex);
  state_->analysisError = std::move(error);
}

void SimSpeechAnalysis::failFinalize(Error error) {
  std::lock_guard lock(state_->mutex);
  state_->finalizeError = std::move(error);
}

void SimSpeechAnalysis::failFinalizeThroughEndOfInput(Error error) {
  std::lock_guard lock(state_->mutex);
  state_->endOfInputError = std::move(error);
}

void SimSpeechAnalysis::addResult(Duration at, SpeechTranscriptionResult result) {
  std::lock_guard lock(state_->mutex);
  state_->scripted.push_back({at, std::move(result)});
}

void SimSpeechAnalysis::failResults(Duration at, Error error) {
  std::lock_guard lock(state_->mutex);
  state_->resultsError.emplace(at, std::move(error));
}

std::vector<std::string> SimSpeechAnalysis::calls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

std::vector<SpeechTranscriberSettings> SimSpeechAnalysis::transcriberSettings() const {
  std::lock_guard lock(state_->mutex);
  return state_->settings;
}

}  // namespace platform::sim
