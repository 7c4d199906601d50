#include "sim/sim_audio_files.h"

#include <algorithm>
#include <cmath>

namespace platform::sim {

struct SimAudioFiles::State {
  mutable std::mutex mutex;

  std::map<std::string, std::shared_ptr<SimWrittenFile>> written;
  std::map<std::string, int> opens;
  std::map<std::string, Error> openFailures;
  struct WriteScript {
    std::map<int, Error> calls;
    std::optional<std::pair<int, Error>> from;
  };
  std::map<std::string, WriteScript> writeScripts;
  std::map<std::string, int> writeCallsByPath;
  std::map<std::string, Error> closeFailures;

  struct Readable {
    AudioFormat format;
    std::vector<std::vector<float>> samples;
  };
  std::map<std::string, std::shared_ptr<const Readable>> readable;

  bool failConverters = false;
  int convertersCreated = 0;

  bool failAllBuffers = false;
  int buffersAllocated = 0;

  // The scripted failure of this write call, if any; counts the call.
  std::optional<Error> countWrite(const std::string& path) {
    const int call = ++writeCallsByPath[path];
    auto script = writeScripts.find(path);
    if (script == writeScripts.end()) return std::nullopt;
    if (auto one = script->second.calls.find(call); one != script->second.calls.end()) {
      return one->second;
    }
    if (script->second.from && call >= script->second.from->first) {
      return script->second.from->second;
    }
    return std::nullopt;
  }
};

namespace {

constexpr const char* kDomain = "SimAudioFiles";
constexpr long kParameterError = -50;

std::optional<double> numericSetting(const AudioSettings& settings, const std::string& key) {
  auto found = settings.find(key);
  if (found == settings.end()) return std::nullopt;
  return std::visit([](auto value) { return static_cast<double>(value); }, found->second);
}

AudioFormat floatFormat(double rate, std::uint32_t channels) {
  return AudioFormat{rate, channels, CommonFormat::pcmFloat32, false, 0};
}

class SimFileForWriting final : public AudioFileForWriting {
 public:
  SimFileForWriting(std::shared_ptr<SimAudioFiles::State> state,
                    std::shared_ptr<SimWrittenFile> record)
      : state_(std::move(state)), record_(std::move(record)), format_(record_->processingFormat) {}

  const AudioFormat& processingFormat() const override { return format_; }

  MaybeError close() override {
    std::lock_guard guard(state_->mutex);
    if (closed_) return std::nullopt;
    closed_ = true;
    ++record_->closeCalls;
    if (auto failure = state_->closeFailures.find(record_->path);
        failure != state_->closeFailures.end()) {
      return failure->second;
    }
    record_->completed = true;
    return std::nullopt;
  }

  MaybeError write(const PCMBuffer& buffer) override {
    std::lock_guard guard(state_->mutex);
    ++record_->writeCalls;
    if (closed_) return Error{kDomain, kParameterError, "the file is closed"};
    if (auto scripted = state_->countWrite(record_->path)) return scripted;
    // The real encoder takes nothing but its processing format either.
    if (buffer.format() != format_) {
      return Error{kDomain, kParameterError,
                   "buffer format does not match the file's processing format"};
    }
    const auto channels = buffer.floatChannelData();
    const std::uint32_t frames = buffer.frameLength();
    for (std::uint32_t c = 0; c < format_.channelCount; ++c) {
      record_->samples[c].insert(record_->samples[c].end(), channels[c], channels[c] + frames);
    }
    record_->writeFrameCounts.push_back(frames);
    return std::nullopt;
  }

 private:
  std::shared_ptr<SimAudioFiles::State> state_;
  std::shared_ptr<SimWrittenFile> record_;
  AudioFormat format_;
  bool closed_ = false;
};

class SimFileForReading final : public AudioFileForReading {
 public:
  SimFileForReading(std::shared_ptr<const SimAudioFiles::State::Readable> content)
      : content_(std::move(content)),
        format_(floatFormat(content_->format.sampleRate, content_->format.channelCount)) {}

  const AudioFormat& processingFormat() const override { return format_; }

  MaybeError read(PCMBuffer& buffer) override {
    if (buffer.format() != format_) {
      return Error{kDomain, kParameterError,
                   "buffer format does not match the file's processing format"};
    }
    const std::size_t total = content_->samples.empty() ? 0 : content_->samples[0].size();
    const auto frames = static_cast<std::uint32_t>(
        std::min<std::size_t>(buffer.frameCapacity(), total - position_));
    for (std::uint32_t c = 0; c < format_.channelCount; ++c) {
      std::copy_n(content_->samples[c].begin() + static_cast<std::ptrdiff_t>(position_), frames,
                  buffer.floatChannelData()[c]);
    }
    position_ += frames;
    buffer.setFrameLength(frames);
    return std::nullopt;
  }

 private:
  std::shared_ptr<const SimAudioFiles::State::Readable> content_;
  AudioFormat format_;
  std::size_t position_ = 0;
};

}  // namespace

SimAudioFiles::SimAudioFiles()
    : state_(std::make_shared<State>()),
      conversionScript_(std::make_shared<SimConversionScript>()) {}

Result<std::unique_ptr<AudioFileForWriting>> SimAudioFiles::openForWriting(
    const std::string& path, const AudioSettings& settings) {
  const auto rate = numericSetting(settings, AVSampleRateKey);
  const auto channels = numericSetting(settings, AVNumberOfChannelsKey);
  if (!rate || !channels) {
    return Error{kDomain, kParameterError, "settings lack the sample rate or channel count"};
  }
  if (!std::isfinite(*rate) || *rate <= 0 || *channels < 1 || *channels > 64) {
    return Error{kDomain, kParameterError, "unusable sample rate or channel count"};
  }

  std::lock_guard guard(state_->mutex);
  if (auto failure = state_->openFailures.find(path); failure != state_->openFailures.end()) {
    return failure->second;
  }
  auto record = std::make_shared<SimWrittenFile>();
  record->path = path;
  record->settings = settings;
  record->processingFormat = floatFormat(*rate, static_cast<std::uint32_t>(*channels));
  record->samples.resize(record->processingFormat.channelCount);
  state_->written[path] = record;
  ++state_->opens[path];
  return std::unique_ptr<AudioFileForWriting>(
      std::make_unique<SimFileForWriting>(state_, std::move(record)));
}

Result<std::unique_ptr<AudioFileForReading>> SimAudioFiles::openForReading(
    const std::string& path) {
  std::lock_guard guard(state_->mutex);
  auto found = state_->readable.find(path);
  if (found == state_->readable.end()) {
    return Error{kDomain, 2, "cannot open " + path + ": No such file or directory"};
  }
  return std::unique_ptr<AudioFileForReading>(std::make_unique<SimFileForReading>(found->second));
}

std::unique_ptr<AudioConverter> SimAudioFiles::makeConverter(const AudioFormat& from,
                                                             const AudioFormat& to) {
  std::lock_guard guard(state_->mutex);
  if (state_->failConverters) return nullptr;
  auto converter = SimConverter::make(from, to, conversionScript_);
  if (converter) ++state_->convertersCreated;
  return converter;
}

PCMBufferPtr SimAudioFiles::makePCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity) {
  std::lock_guard guard(state_->mutex);
  if (state_->failAllBuffers) return nullptr;
  auto buffer = PCMBuffer::make(format, frameCapacity);
  if (buffer) ++state_->buffersAllocated;
  return buffer;
}

std::shared_ptr<const SimWrittenFile> SimAudioFiles::writtenFile(const std::string& path) const {
  std::lock_guard guard(state_->mutex);
  auto found = state_->written.find(path);
  if (found == state_->written.end()) return nullptr;
  return std::make_shared<const SimWrittenFile>(*found->second);
}

int SimAudioFiles::opensOf(const std::string& path) const {
  std::lock_guard guard(state_->mutex);
  auto found = state_->opens.find(path);
  return found == state_->opens.end() ? 0 : found->second;
}

void SimAudioFiles::failOpen(const std::string& path, Error error) {
  std::lock_guard guard(state_->mutex);
  state_->openFailures.insert_or_assign(path, std::move(error));
}

void SimAudioFiles::failWriteCall(const std::string& path, int n, Error error) {
  std::lock_guard guard(state_->mutex);
  state_->writeScripts[path].calls.insert_or_assign(n, std::move(error));
}

void SimAudioFiles::failWritesFrom(const std::string& path, int n, Error error) {
  std::lock_guard guard(state_->mutex);
  state_->writeScripts[path].from = std::pair{n, std::move(error)};
}

void SimAudioFiles::failClose(const std::string& path, Error error) {
  std::lock_guard guard(state_->mutex);
  state_->closeFailures.insert_or_assign(path, std::move(error));
}

void SimAudioFiles::addReadableFile(const std::string& path, const AudioFormat& format,
                                    std::vector<std::vector<float>> samples) {
  samples.resize(format.channelCount);
  std::lock_guard guard(state_->mutex);
  state_->readable[path] =
      std::make_shared<const State::Readable>(State::Readable{format, std::move(samples)});
}

void SimAudioFiles::failConverterCreation(bool fail) {
  std::lock_guard guard(state_->mutex);
  state_->failConverters = fail;
}

void SimAudioFiles::failNextConversion(std::optional<Error> error) {
  std::lock_guard guard(conversionScript_->mutex);
  conversionScript_->failNext = true;
  conversionScript_->nextError = std::move(error);
}

int SimAudioFiles::convertersCreated() const {
  std::lock_guard guard(state_->mutex);
  return state_->convertersCreated;
}

void SimAudioFiles::failAllBufferAllocations(bool fail) {
  std::lock_guard guard(state_->mutex);
  state_->failAllBuffers = fail;
}

int SimAudioFiles::buffersAllocated() const {
  std::lock_guard guard(state_->mutex);
  return state_->buffersAllocated;
}

}  // namespace platform::sim
