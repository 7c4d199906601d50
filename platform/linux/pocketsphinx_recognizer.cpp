#include "linux/pocketsphinx_recognizer.h"

#include <cstdint>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "linux/pocketsphinx_decoder.h"
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

Result<std::vector<SpeechTranscriptionSegment>> transcribe(AudioFiles& files,
                                                           const PocketsphinxModel& model,
                                                           const std::string& path) {
  auto reader = files.openForReading(path);
  // The reader's own answer already names the file and what is wrong with it.
  if (!reader) return Error{kSpeechErrorDomain, kSpeechAudioUnreadable, reader.error().description};
  auto decoderMade = PocketsphinxDecoder::make(model);
  if (!decoderMade) return decoderMade.error();
  PocketsphinxDecoder& decoder = **decoderMade;

  const AudioFormat& fileFormat = (*reader)->processingFormat();
  const auto decoderFormat =
      AudioFormat::make(CommonFormat::pcmInt16, decoder.sampleRate(), 1, true);
  auto converter = decoderFormat ? files.makeConverter(fileFormat, *decoderFormat) : nullptr;
  auto piece = files.makePCMBuffer(fileFormat, kPieceFrames);
  auto samples = decoderFormat ? files.makePCMBuffer(*decoderFormat, kPieceFrames) : nullptr;
  if (!converter || !piece || !samples) {
    return unreadable(path, "cannot convert its audio to the speech model's format");
  }

  std::optional<Error> readError;
  bool ended = false;
  const ConverterInputBlock input = [&](std::uint32_t, ConverterInputStatus& status) {
    if (!ended) {
      if ((readError = (*reader)->read(*piece))) ended = true;
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
    if (auto fed = decoder.feed(std::span(data, samples->frameLength()))) return *fed;
    if (status == ConverterOutputStatus::endOfStream) break;
  }
  return decoder.finish();
}

}  // namespace

PocketsphinxRecognizer::PocketsphinxRecognizer(AudioFiles& files, PocketsphinxModel model)
    : files_(files), model_(std::move(model)) {}

void PocketsphinxRecognizer::recognitionTask(const SpeechURLRecognitionRequest& request,
                                             SpeechRecognitionResultHandler handler) {
  // Decoding takes about as long as the audio, so it never runs on the caller's thread. The
  // handler is called only once everything the task opened is closed again.
  std::thread([&files = files_, model = model_, path = request.url, handler = std::move(handler)] {
    auto segments = transcribe(files, model, path);
    if (!segments) {
      handler(std::nullopt, segments.error());
      return;
    }
    SpeechRecognitionResult result;
    result.bestTranscription.segments = std::move(segments.value());
    result.isFinal = true;
    handler(result, std::nullopt);
  }).detach();
}

}  // namespace platform::linux_backend
