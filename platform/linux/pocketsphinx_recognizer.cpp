#include "linux/pocketsphinx_recognizer.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "linux/pocketsphinx_errors.h"
#include "linux/pocketsphinx_stretch_decoders.h"
#include "linux/speech_audio_stream.h"
#include "linux/speech_silence_splitter.h"

namespace platform::linux_backend {
namespace {

// Two decoders keep both cores of a small machine busy; each holds its own copy of the model
// (about 100 MB), so more would cost memory a long recording cannot spare.
constexpr std::size_t kMostDecoders = 2;

std::size_t decoderCount() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMostDecoders);
}

// The file is cut at its pauses into stretches that several decoders recognise at once, while
// this thread goes on reading and converting the rest.
Result<std::vector<SpeechTranscriptionSegment>> transcribe(AudioFiles& files,
                                                           const PocketsphinxModel& model,
                                                           const std::string& path) {
  auto reader = files.openForReading(path);
  // The reader's own answer already names the file and what is wrong with it.
  if (!reader) return Error{kSpeechErrorDomain, kSpeechAudioUnreadable, reader.error().description};
  auto started = PocketsphinxStretchDecoders::start(model, decoderCount());
  if (!started) return started.error();
  PocketsphinxStretchDecoders& decoders = **started;

  bool decoding = true;
  SpeechSilenceSplitter splitter(decoders.sampleRate(), [&](SpeechStretch&& stretch) {
    decoding = decoding && decoders.decode(std::move(stretch));
  });
  const auto failed = streamSamples(files, **reader, path, decoders.sampleRate(),
                                    [&](std::span<const std::int16_t> samples) {
                                      splitter.push(samples);
                                      return decoding;
                                    });
  if (failed) return *failed;
  splitter.finish();
  return decoders.finish();
}

}  // namespace

PocketsphinxRecognizer::PocketsphinxRecognizer(AudioFiles& files, PocketsphinxModel model)
    : files_(files), model_(std::move(model)) {}

void PocketsphinxRecognizer::recognitionTask(const SpeechURLRecognitionRequest& request,
                                             SpeechRecognitionResultHandler handler) {
  // Decoding takes a good part of the audio's length, so it never runs on the caller's thread. The
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
