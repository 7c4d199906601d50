#include "linux/pocketsphinx_stretch_decoders.h"

#include <utility>

namespace platform::linux_backend {

Result<std::unique_ptr<PocketsphinxStretchDecoders>> PocketsphinxStretchDecoders::start(
    const PocketsphinxModel& model, std::size_t count) {
  auto first = PocketsphinxDecoder::make(model);
  if (!first) return first.error();
  const std::size_t threads = std::max<std::size_t>(1, count);
  // Two waiting per decoder keeps each busy while the reader produces the next.
  std::unique_ptr<PocketsphinxStretchDecoders> decoders(
      new PocketsphinxStretchDecoders((*first)->sampleRate(), 2 * threads));
  decoders->threads_.emplace_back(&PocketsphinxStretchDecoders::run, decoders.get(),
                                  std::move(first.value()), model);
  for (std::size_t more = 1; more < threads; ++more) {
    decoders->threads_.emplace_back(&PocketsphinxStretchDecoders::run, decoders.get(), nullptr,
                                    model);
  }
  return decoders;
}

PocketsphinxStretchDecoders::PocketsphinxStretchDecoders(double sampleRate,
                                                         std::size_t queueCapacity)
    : sampleRate_(sampleRate), queueCapacity_(queueCapacity) {}

PocketsphinxStretchDecoders::~PocketsphinxStretchDecoders() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  stop();
}

bool PocketsphinxStretchDecoders::decode(SpeechStretch stretch) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queue_.size() < queueCapacity_ || failure_; });
  if (failure_) return false;
  queue_.push_back(std::move(stretch));
  changed_.notify_all();
  return true;
}

Result<std::vector<SpeechTranscriptionSegment>> PocketsphinxStretchDecoders::finish() {
  stop();
  if (failure_) return *failure_;
  std::vector<SpeechTranscriptionSegment> words;
  for (auto& [firstSample, stretchWords] : wordsByFirstSample_) {
    words.insert(words.end(), std::make_move_iterator(stretchWords.begin()),
                 std::make_move_iterator(stretchWords.end()));
  }
  wordsByFirstSample_.clear();
  return words;
}

void PocketsphinxStretchDecoders::stop() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

std::optional<SpeechStretch> PocketsphinxStretchDecoders::next() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !queue_.empty() || closed_ || cancelled_ || failure_; });
  if (queue_.empty() || cancelled_ || failure_) return std::nullopt;
  SpeechStretch stretch = std::move(queue_.front());
  queue_.pop_front();
  changed_.notify_all();
  return stretch;
}

void PocketsphinxStretchDecoders::run(std::unique_ptr<PocketsphinxDecoder> decoder,
                                      const PocketsphinxModel& model) {
  if (!decoder) {
    auto made = PocketsphinxDecoder::make(model);
    if (!made) return;
    decoder = std::move(made.value());
  }
  while (auto stretch = next()) {
    auto words = decoder->decode(stretch->samples);
    const std::uint64_t firstSample = stretch->firstSample;
    stretch.reset();
    std::lock_guard lock(mutex_);
    if (!words) {
      if (!failure_) failure_ = words.error();
      changed_.notify_all();
      return;
    }
    const double offset = static_cast<double>(firstSample) / sampleRate_;
    for (auto& word : words.value()) word.timestamp += offset;
    wordsByFirstSample_.emplace(firstSample, std::move(words.value()));
  }
}

}  // namespace platform::linux_backend
