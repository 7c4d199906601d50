#include "transcribe/speech_analyzer_engine.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/run_failure.h"
#include "events/event.h"
#include "transcribe/transcription_result.h"

namespace zuno {
namespace {

using platform::MaybeError;

constexpr const char* kEngine = "speechanalyzer";

// One segment per result: all of its text, and the span from the earliest to the latest timed
// run, whatever order the runs come in.
TranscriptSegment segmentFrom(const platform::SpeechTranscriptionResult& result) {
  TranscriptSegment segment;
  for (const auto& run : result.text.runs) {
    segment.text += run.text;
    if (!run.audioTimeRange) continue;
    const double start = run.audioTimeRange->start.seconds();
    const double end = run.audioTimeRange->end.seconds();
    if (!segment.times) {
      segment.times = SegmentTimes{start, end};
    } else {
      segment.times->start = std::min(segment.times->start, start);
      segment.times->end = std::max(segment.times->end, end);
    }
  }
  return segment;
}

// Reads the transcriber's results into segments while the analysis runs. Its outcome is handed
// to whoever asks for it, as soon as both it and the question are there: the flow asks only
// after finalisation, so a failure here never cuts the analysis short.
class ResultCollector : public std::enable_shared_from_this<ResultCollector> {
 public:
  using Completion = std::function<void(MaybeError error)>;

  explicit ResultCollector(std::shared_ptr<platform::SpeechTranscriptionResults> results)
      : results_(std::move(results)) {}

  void start() { askForNext(); }

  // The segments are complete once `completion` runs; they are not touched after that.
  void whenComplete(Completion completion) {
    std::unique_lock lock(mutex_);
    if (!complete_) {
      waiting_ = std::move(completion);
      return;
    }
    lock.unlock();
    completion(error_);
  }

  const std::vector<TranscriptSegment>& segments() const { return segments_; }

 private:
  void askForNext() {
    results_->next([self = shared_from_this()](auto next) { self->take(std::move(next)); });
  }

  void take(platform::Result<std::optional<platform::SpeechTranscriptionResult>> next) {
    if (!next) return finish(next.error());
    if (!next.value()) return finish(std::nullopt);
    segments_.push_back(segmentFrom(*next.value()));
    askForNext();
  }

  void finish(MaybeError error) {
    Completion waiting;
    {
      std::lock_guard lock(mutex_);
      complete_ = true;
      error_ = std::move(error);
      waiting = std::exchange(waiting_, nullptr);
    }
    if (waiting) waiting(error_);
  }

  std::shared_ptr<platform::SpeechTranscriptionResults> results_;
  std::vector<TranscriptSegment> segments_;
  std::mutex mutex_;
  bool complete_ = false;
  MaybeError error_;
  Completion waiting_;
};

// The transcription, step by step; each step continues in the completion of the one before,
// on whatever thread the platform answers on. Every way it ends is handed to the main thread.
class AnalyzerFlow : public std::enable_shared_from_this<AnalyzerFlow> {
 public:
  AnalyzerFlow(platform::Platform& platform, std::string audioPath, std::string locale)
      : platform_(platform), audioPath_(std::move(audioPath)), locale_(std::move(locale)) {}

  void start() {
    transcriber_ = platform_.speechAnalysis.makeTranscriber(
        {locale_, {}, {}, {platform::SpeechResultAttributeOption::audioTimeRange}});
    platform_.speechAnalysis.assetInstallationRequest({transcriber_},
                                                      [self = shared_from_this()](auto request) {
                                                        if (!request) {
                                                          return self->failed(request.error());
                                                        }
                                                        self->installModel(request.value());
                                                      });
  }

 private:
  void installModel(const std::shared_ptr<platform::AssetInstallationRequest>& request) {
    if (!request) return analyze();
    emitEvent(platform_.runtime, Event{{"event", "progress"}, {"stage", "model_download"}});
    request->downloadAndInstall([self = shared_from_this()](MaybeError error) {
      if (error) return self->failed(*error);
      self->analyze();
    });
  }

  void analyze() {
    analyzer_ = platform_.speechAnalysis.makeAnalyzer({transcriber_});
    collector_ = std::make_shared<ResultCollector>(transcriber_->results());
    platform_.runtime.runAsyncTask([collector = collector_] { collector->start(); });

    auto opened = platform_.audioFiles.openForReading(audioPath_);
    if (!opened || !opened.value()) {
      return finishWithFailure(platform_.runtime, "io_failed",
                               "cannot open audio for reading: " + audioPath_);
    }
    analyzer_->analyzeSequence(std::move(opened.value()),
                               [self = shared_from_this()](auto lastSampleTime) {
                                 if (!lastSampleTime) return self->failed(lastSampleTime.error());
                                 self->finalize(lastSampleTime.value());
                               });
  }

  void finalize(const std::optional<platform::MediaTime>& lastSampleTime) {
    auto finalized = [self = shared_from_this()](MaybeError error) {
      if (error) return self->failed(*error);
      self->collect();
    };
    if (lastSampleTime) {
      analyzer_->finalizeAndFinish(*lastSampleTime, finalized);
    } else {
      analyzer_->finalizeAndFinishThroughEndOfInput(finalized);
    }
  }

  void collect() {
    collector_->whenComplete([self = shared_from_this()](MaybeError error) {
      if (error) return self->failed(*error);
      finishWithResult(self->platform_.runtime, kEngine, self->collector_->segments());
    });
  }

  void failed(const platform::Error& error) {
    finishWithFailure(platform_.runtime, "transcribe_failed",
                      "speechanalyzer: " + error.description);
  }

  platform::Platform& platform_;
  const std::string audioPath_;
  const std::string locale_;
  // Kept until the process ends (the flow itself is in the run's scope); nothing is torn down
  // before it.
  std::shared_ptr<platform::SpeechTranscriber> transcriber_;
  std::shared_ptr<platform::SpeechAnalyzer> analyzer_;
  std::shared_ptr<ResultCollector> collector_;
};

}  // namespace

int transcribeWithSpeechAnalyzer(platform::Platform& platform, RunScope& scope,
                                 const std::string& url, const std::string& locale) {
  auto flow = scope.keep(std::make_shared<AnalyzerFlow>(platform, url, locale));
  platform.runtime.runAsyncTask([flow] { flow->start(); });
  return platform.runtime.runMainLoop();
}

}  // namespace zuno
