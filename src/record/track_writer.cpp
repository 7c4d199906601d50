#include "record/track_writer.h"

#include <cmath>

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
    converter_ = std::move(made);
    converterSource_ = buffer.format();
  }

  const std::uint32_t capacity =
      outputCapacity(processing.sampleRate, buffer.format().sampleRate, buffer.frameLength());
  auto output = files_.makePCMBuffer(processing, capacity);
  if (!output) throw WriterError::bufferAllocFailed();

  // Hand the buffer over once, then report "nothing now" rather than end of stream, so the
  // converter keeps its history and pending samples for the next write.
  bool handedOver = false;
  const std::shared_ptr<const platform::PCMBuffer> source(std::shared_ptr<const void>(), &buffer);
  std::optional<platform::Error> error;
  const ConverterOutputStatus status =
      converter_->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& inputStatus) {
        if (handedOver) {
          inputStatus = ConverterInputStatus::noDataNow;
          return std::shared_ptr<const platform::PCMBuffer>();
        }
        handedOver = true;
        inputStatus = ConverterInputStatus::haveData;
        return source;
      });
  if (status == ConverterOutputStatus::error) {
    throw WriterError::conversionFailed(error ? error->description : "unknown");
  }
  if (output->frameLength() > 0) {
    if (auto writeError = file_->write(*output)) throw PlatformFailure(*writeError);
  }
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
