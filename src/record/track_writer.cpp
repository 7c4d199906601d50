#include "record/track_writer.h"

#include <cmath>
#include <exception>

namespace zuno {

using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;

std::string TrackWriter::WriterError::description() const {
  return "The operation couldn\u2019t be completed. (zuno_recorder.TrackWriter.WriterError error " +
         std::to_string(static_cast<int>(kind_)) + ".)";
}

std::string TrackWriter::WriterError::debugDescription() const {
  switch (kind_) {
    case Kind::conversionFailed:
      return "conversionFailed(\"" + text_ + "\")";
    case Kind::converterUnavailable:
      return "converterUnavailable";
    case Kind::bufferAllocFailed:
      return "bufferAllocFailed";
  }
  return "unknown";
}

std::shared_ptr<TrackWriter> TrackWriter::create(platform::AudioFiles& files,
                                                 const std::string& path,
                                                 const platform::AudioSettings& settings) {
  auto opened = files.openForWriting(path, settings);
  if (!opened) throw PlatformFailure(opened.error());
  return std::make_shared<TrackWriter>(files, std::move(opened.value()));
}

TrackWriter::TrackWriter(platform::AudioFiles& files,
                         std::unique_ptr<platform::AudioFileForWriting> file)
    : files_(files), file_(std::move(file)) {}

std::uint32_t TrackWriter::outputCapacity(double processingRate, double sourceRate,
                                          std::uint32_t frames) {
  const double ratio = processingRate / sourceRate;
  const double needed = std::ceil(ratio * static_cast<double>(frames)) + 16.0;
  // A zero or absurd source rate cannot come from the capture sources; clamp rather than let an
  // out-of-range float-to-integer conversion decide.
  if (!(needed >= 0.0) || needed > 4294967295.0) return 0;
  return static_cast<std::uint32_t>(needed);
}

void TrackWriter::write(const platform::PCMBuffer& buffer) {
  const platform::AudioFormat& processing = file_->processingFormat();
  if (buffer.format() == processing) {
    if (auto error = file_->write(buffer)) throw PlatformFailure(*error);
    return;
  }

  if (!converter_ || converterSource_ != buffer.format()) {
    auto made = files_.makeConverter(buffer.format(), processing);
    if (!made) throw WriterError::converterUnavailable();
    // The old converter still holds the last few milliseconds of the old source; they belong in
    // the track before anything of the new one.
    if (converter_) convertAndWrite(nullptr);
    converter_ = std::move(made);
    converterSource_ = buffer.format();
  }
  convertAndWrite(&buffer);
}

void TrackWriter::convertAndWrite(const platform::PCMBuffer* source) {
  const platform::AudioFormat& processing = file_->processingFormat();
  // What a drain yields is only what the resampler kept back; a few rounds of this size empty it.
  constexpr std::uint32_t kDrainFrames = 1024;
  const std::uint32_t capacity =
      source ? outputCapacity(processing.sampleRate, source->format().sampleRate,
                              source->frameLength())
             : kDrainFrames;
  auto output = files_.makePCMBuffer(processing, capacity);
  if (!output) throw WriterError::bufferAllocFailed();

  // Hand the buffer over once, then report "nothing now" rather than end of stream, so the
  // converter keeps its history and pending samples for the next write. Only a drain ends the
  // stream.
  bool handedOver = false;
  const std::shared_ptr<const platform::PCMBuffer> input(std::shared_ptr<const void>(), source);
  const auto inputBlock = [&](std::uint32_t, ConverterInputStatus& inputStatus) {
    if (!source) {
      inputStatus = ConverterInputStatus::endOfStream;
      return std::shared_ptr<const platform::PCMBuffer>();
    }
    if (handedOver) {
      inputStatus = ConverterInputStatus::noDataNow;
      return std::shared_ptr<const platform::PCMBuffer>();
    }
    handedOver = true;
    inputStatus = ConverterInputStatus::haveData;
    return input;
  };
  ConverterOutputStatus status;
  do {
    std::optional<platform::Error> error;
    status = converter_->convert(*output, error, inputBlock);
    if (status == ConverterOutputStatus::error) {
      throw WriterError::conversionFailed(error ? error->description : "unknown");
    }
    if (output->frameLength() > 0) {
      if (auto writeError = file_->write(*output)) throw PlatformFailure(*writeError);
    }
  } while (!source && status != ConverterOutputStatus::endOfStream && output->frameLength() > 0);
}

void TrackWriter::close() {
  if (closed_) return;
  closed_ = true;
  // A tail that cannot be converted must not cost the file: complete it first, report after.
  std::exception_ptr drainFailure;
  if (converter_) {
    try {
      convertAndWrite(nullptr);
    } catch (const DescribedError&) {
      drainFailure = std::current_exception();
    }
  }
  if (auto error = file_->close()) throw PlatformFailure(*error);
  if (drainFailure) std::rethrow_exception(drainFailure);
}

platform::AudioSettings aacSettings(double sampleRate) {
  return {
      {platform::AVFormatIDKey, platform::AudioSettingValue(platform::kAudioFormatMPEG4AAC)},
      {platform::AVSampleRateKey, platform::AudioSettingValue(sampleRate)},
      {platform::AVNumberOfChannelsKey, platform::AudioSettingValue(std::int64_t{1})},
      {platform::AVEncoderBitRateKey, platform::AudioSettingValue(std::int64_t{40000})},
  };
}

}  // namespace zuno
