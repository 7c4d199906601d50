#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

// Compared by number: an answer outside the four named values can arrive.
enum class SpeechRecognizerAuthorizationStatus : int {
  notDetermined = 0,
  denied = 1,
  restricted = 2,
  authorized = 3
};

// Recognition of a whole audio file. The defaults are the platform's: recognition may leave
// the device, and partial results are reported.
struct SpeechURLRecognitionRequest {
  std::string url;  // a file URL's path
  bool requiresOnDeviceRecognition = false;
  bool shouldReportPartialResults = true;
  bool operator==(const SpeechURLRecognitionRequest&) const = default;
};

// Seconds from the beginning of the file.
struct SpeechTranscriptionSegment {
  double timestamp = 0;
  double duration = 0;
  std::string substring;
  bool operator==(const SpeechTranscriptionSegment&) const = default;
};

struct SpeechTranscription {
  std::vector<SpeechTranscriptionSegment> segments;
  bool operator==(const SpeechTranscription&) const = default;
};

struct SpeechRecognitionResult {
  SpeechTranscription bestTranscription;
  bool isFinal = false;
  bool operator==(const SpeechRecognitionResult&) const = default;
};

// Called on a thread of the platform's choosing, possibly several times, with a result, an
// error, both or neither.
using SpeechRecognitionResultHandler = std::function<void(
    const std::optional<SpeechRecognitionResult>& result, const std::optional<Error>& error)>;

// The recogniser for one locale.
class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual bool supportsOnDeviceRecognition() = 0;
  virtual void recognitionTask(const SpeechURLRecognitionRequest& request,
                               SpeechRecognitionResultHandler handler) = 0;
};

using SpeechAuthorizationHandler = std::function<void(SpeechRecognizerAuthorizationStatus)>;

// The file-based speech recogniser of older systems and its privacy permission.
class SpeechRecognizers {
 public:
  virtual ~SpeechRecognizers() = default;
  // None when the platform has no recogniser for the locale.
  virtual std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier) = 0;
  // The handler is called once, on another thread than the caller's.
  virtual void requestAuthorization(SpeechAuthorizationHandler handler) = 0;
};

}  // namespace platform
