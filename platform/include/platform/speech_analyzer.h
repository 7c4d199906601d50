#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio_files.h"
#include "platform/error.h"

namespace platform {

// A point on the audio's timeline as a rational number, so nothing is rounded on the way.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 1;

  double seconds() const { return static_cast<double>(value) / static_cast<double>(timescale); }
  bool operator==(const MediaTime&) const = default;
};

struct MediaTimeRange {
  MediaTime start;
  MediaTime end;
  bool operator==(const MediaTimeRange&) const = default;
};

// A stretch of recognised text; the analyzer attaches the span of audio it was heard in when
// the module was asked for time ranges, and may still leave it out (punctuation, for example).
struct AttributedTextRun {
  std::string text;
  std::optional<MediaTimeRange> audioTimeRange;
  bool operator==(const AttributedTextRun&) const = default;
};

// Text whose plain characters are its runs' texts, in order.
struct AttributedText {
  std::vector<AttributedTextRun> runs;
  bool operator==(const AttributedText&) const = default;
};

struct SpeechTranscriptionResult {
  AttributedText text;
  bool operator==(const SpeechTranscriptionResult&) const = default;
};

enum class SpeechTranscriptionOption { maskProfanity };
// Without any, the module reports final results only.
enum class SpeechReportingOption { partialResults };
enum class SpeechResultAttributeOption { audioTimeRange, confidence };

struct SpeechTranscriberSettings {
  std::string localeIdentifier;
  std::set<SpeechTranscriptionOption> transcriptionOptions;
  std::set<SpeechReportingOption> reportingOptions;
  std::set<SpeechResultAttributeOption> attributeOptions;
  bool operator==(const SpeechTranscriberSettings&) const = default;
};

// The next result, none once the sequence has ended, or the error that ended iteration.
using NextTranscriptionResultHandler =
    std::function<void(Result<std::optional<SpeechTranscriptionResult>> next)>;

// The module's asynchronous result sequence, read by one consumer. It ends after the analyzer
// has finished; each answer arrives on a thread of the platform's choosing.
class SpeechTranscriptionResults {
 public:
  virtual ~SpeechTranscriptionResults() = default;
  // One call at a time: ask again only after the previous answer arrived.
  virtual void next(NextTranscriptionResultHandler handler) = 0;
};

// The transcription module of an analyzer, for one locale.
class SpeechTranscriber {
 public:
  virtual ~SpeechTranscriber() = default;
  virtual std::shared_ptr<SpeechTranscriptionResults> results() = 0;
};

using SpeechModules = std::vector<std::shared_ptr<SpeechTranscriber>>;
using SpeechCompletion = std::function<void(MaybeError error)>;

// What has to be fetched before the modules can run.
class AssetInstallationRequest {
 public:
  virtual ~AssetInstallationRequest() = default;
  // Completes once the assets are installed, or with the failure.
  virtual void downloadAndInstall(SpeechCompletion completion) = 0;
};

// None when everything the modules need is installed already.
using AssetInstallationRequestHandler =
    std::function<void(Result<std::shared_ptr<AssetInstallationRequest>> request)>;
// The time of the last sample analysed, or none.
using AnalysisHandler = std::function<void(Result<std::optional<MediaTime>> lastSampleTime)>;

// Runs its modules over audio. Completions arrive on threads of the platform's choosing.
class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Reads the whole file.
  virtual void analyzeSequence(std::shared_ptr<AudioFileForReading> file,
                               AnalysisHandler completion) = 0;
  virtual void finalizeAndFinish(MediaTime through, SpeechCompletion completion) = 0;
  virtual void finalizeAndFinishThroughEndOfInput(SpeechCompletion completion) = 0;
};

// The on-device speech analysis of newer systems: modules, their assets and analyzers.
class SpeechAnalysis {
 public:
  virtual ~SpeechAnalysis() = default;
  // The locale is taken as given; one the platform cannot serve fails in a later step.
  virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const SpeechTranscriberSettings& settings) = 0;
  virtual void assetInstallationRequest(const SpeechModules& modules,
                                        AssetInstallationRequestHandler handler) = 0;
  virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) = 0;
};

}  // namespace platform
