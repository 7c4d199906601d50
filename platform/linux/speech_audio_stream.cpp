#include "linux/speech_audio_stream.h"

#include <optional>

#include "linux/pocketsphinx_errors.h"

namespace platform::linux_backend {
namespace {

// Frames per piece read from the file: a quarter second or so at common rates, so memory stays
// small however long the file is.
constexpr std::uint32_t kPieceFrames = 8192;

Error unreadable(const std::string& path, const std::string& reason) {
  return Error{kSpeechErrorDomain, kSpeechAudioUnreadable,
               "cannot read audio from " + path + ": " + reason};
}

}  // namespace

MaybeError streamSamples(AudioFiles& files, AudioFileForReading& reader, const std::string& path,
                         double sampleRate, const SampleConsumer& consume) {
  const AudioFormat& fileFormat = reader.processingFormat();
  const auto samplesFormat = AudioFormat::make(CommonFormat::pcmInt16, sampleRate, 1, true);
  auto converter = samplesFormat ? files.makeConverter(fileFormat, *samplesFormat) : nullptr;
  auto piece = files.makePCMBuffer(fileFormat, kPieceFrames);
  auto samples = samplesFormat ? files.makePCMBuffer(*samplesFormat, kPieceFrames) : nullptr;
  if (!converter || !piece || !samples) {
    return unreadable(path, "cannot convert its audio to the speech model's format");
  }

  std::optional<Error> readError;
  bool ended = false;
  const ConverterInputBlock input = [&](std::uint32_t, ConverterInputStatus& status) {
    if (!ended) {
      if ((readError = reader.read(*piece))) ended = true;
      if (piece->frameLength() == 0) ended = true;
    }
    if (ended) {
      status = ConverterInputStatus::endOfStream;
      return std::shared_ptr<const PCMBuffer>();
    }
    status = ConverterInputStatus::haveData;
    return std::shared_ptr<const PCMBuffer>(piece);
  };
  while (true) {
    std::optional<Error> conversionError;
    const ConverterOutputStatus status = converter->convert(*samples, conversionError, input);
    if (readError) return unreadable(path, readError->description);
    if (status == ConverterOutputStatus::error) {
      return unreadable(path, conversionError ? conversionError->description : "conversion failed");
    }
    const auto* data =
        static_cast<const std::int16_t*>(samples->audioBufferList().buffers[0].mData);
    if (!consume(std::span(data, samples->frameLength()))) return std::nullopt;
    if (status == ConverterOutputStatus::endOfStream) return std::nullopt;
  }
}

}  // namespace platform::linux_backend
