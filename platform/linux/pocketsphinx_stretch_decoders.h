#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "linux/pocketsphinx_decoder.h"
#include "linux/pocketsphinx_model.h"
#include "linux/speech_silence_splitter.h"
#include "platform/error.h"
#include "platform/speech_recognizer.h"

namespace platform::linux_backend {

// Several decoders, each on a thread of its own, recognising the stretches of one file at the
// same time. Stretches go in as the file is read; the words come out in time order, timed from
// the start of the file. Only a few stretches wait at once, so reading never runs far ahead.
class PocketsphinxStretchDecoders {
 public:
  // The first decoder is loaded before this returns, so an unusable model is reported here;
  // the others load on their own threads while the file is read, and a machine that cannot hold
  // them all goes on with fewer.
  static Result<std::unique_ptr<PocketsphinxStretchDecoders>> start(const PocketsphinxModel& model,
                                                                    std::size_t count);
  // Stops the decoders after the stretch each is working on, dropping what is left.
  ~PocketsphinxStretchDecoders();
  PocketsphinxStretchDecoders(const PocketsphinxStretchDecoders&) = delete;
  PocketsphinxStretchDecoders& operator=(const PocketsphinxStretchDecoders&) = delete;

  double sampleRate() const { return sampleRate_; }
  // Waits while the queue is full. False once a decoder has failed: the rest is not needed.
  bool decode(SpeechStretch stretch);
  // Every word of every stretch handed over, or the first decoder's failure.
  Result<std::vector<SpeechTranscriptionSegment>> finish();

 private:
  PocketsphinxStretchDecoders(double sampleRate, std::size_t queueCapacity);
  void run(std::unique_ptr<PocketsphinxDecoder> decoder, const PocketsphinxModel& model);
  std::optional<SpeechStretch> next();
  void stop();

  double sampleRate_;
  std::size_t queueCapacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<SpeechStretch> queue_;
  bool closed_ = false;
  bool cancelled_ = false;
  std::optional<Error> failure_;
  std::map<std::uint64_t, std::vector<SpeechTranscriptionSegment>> wordsByFirstSample_;
  std::vector<std::thread> threads_;
};

}  // namespace platform::linux_backend
