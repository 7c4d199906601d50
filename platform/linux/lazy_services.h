#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/audio_engine.h"
#include "platform/audio_files.h"
#include "platform/speech_analyzer.h"
#include "platform/speech_recognizer.h"

namespace platform::linux_backend {

// A service made on its first use, from any thread. Each run needs only a few of the services
// (the call watcher reads the audio server's clients and nothing else), and making the others,
// with their codec and speech libraries, would cost every run for nothing.
template <typename Service>
class Lazy {
 public:
  explicit Lazy(std::function<std::unique_ptr<Service>()> make) : make_(std::move(make)) {}
  Service& get() {
    std::call_once(once_, [this] { service_ = make_(); });
    return *service_;
  }

 private:
  std::function<std::unique_ptr<Service>()> make_;
  std::once_flag once_;
  std::unique_ptr<Service> service_;
};

// Stand-ins that make their service on the first call and pass every call on.

class LazyAudioFiles final : public AudioFiles {
 public:
  explicit LazyAudioFiles(std::function<std::unique_ptr<AudioFiles>()> make)
      : files_(std::move(make)) {}
  Result<std::unique_ptr<AudioFileForWriting>> openForWriting(
      const std::string& path, const AudioSettings& settings) override {
    return files_.get().openForWriting(path, settings);
  }
  Result<std::unique_ptr<AudioFileForReading>> openForReading(const std::string& path) override {
    return files_.get().openForReading(path);
  }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override {
    return files_.get().makeConverter(from, to);
  }
  PCMBufferPtr makePCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity) override {
    return files_.get().makePCMBuffer(format, frameCapacity);
  }

 private:
  Lazy<AudioFiles> files_;
};

class LazyAudioEngines final : public AudioEngines {
 public:
  explicit LazyAudioEngines(std::function<std::unique_ptr<AudioEngines>()> make)
      : engines_(std::move(make)) {}
  std::shared_ptr<AudioEngine> makeEngine() override { return engines_.get().makeEngine(); }

 private:
  Lazy<AudioEngines> engines_;
};

class LazySpeechAnalysis final : public SpeechAnalysis {
 public:
  explicit LazySpeechAnalysis(std::function<std::unique_ptr<SpeechAnalysis>()> make)
      : analysis_(std::move(make)) {}
  std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const SpeechTranscriberSettings& settings) override {
    return analysis_.get().makeTranscriber(settings);
  }
  void assetInstallationRequest(const SpeechModules& modules,
                                AssetInstallationRequestHandler handler) override {
    analysis_.get().assetInstallationRequest(modules, std::move(handler));
  }
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override {
    return analysis_.get().makeAnalyzer(modules);
  }

 private:
  Lazy<SpeechAnalysis> analysis_;
};

class LazySpeechRecognizers final : public SpeechRecognizers {
 public:
  explicit LazySpeechRecognizers(std::function<std::unique_ptr<SpeechRecognizers>()> make)
      : recognizers_(std::move(make)) {}
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier) override {
    return recognizers_.get().makeRecognizer(localeIdentifier);
  }
  void requestAuthorization(SpeechAuthorizationHandler handler) override {
    recognizers_.get().requestAuthorization(std::move(handler));
  }

 private:
  Lazy<SpeechRecognizers> recognizers_;
};

}  // namespace platform::linux_backend
