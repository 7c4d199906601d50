#include "linux/pulse_delivery_thread.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "linux/capture_timeline.h"

namespace platform::linux_backend {
namespace {

using Clock = CaptureTimeline::Clock;

// About five seconds of typical fragments: beyond that the consumer is stuck and the oldest
// audio is dropped rather than growing without bound.
constexpr std::size_t kMaxQueuedChunks = 256;
// How often the clock is checked when nothing arrives: often enough that the silence of a lost
// server reaches the track in small steps, seldom enough to cost nothing.
constexpr auto kTickWhileLost = std::chrono::milliseconds(20);
constexpr auto kTickWhileConnected = std::chrono::milliseconds(50);
// Silence goes out in pieces no larger than a typical fragment.
constexpr std::uint32_t kSilenceFrames = 1024;
// Paced delivery: how often a piece goes out, and how much may wait before the excess goes out
// at once (audio arriving faster than real time must not pile up into latency).
constexpr auto kIOCycle = std::chrono::milliseconds(5);
constexpr auto kMostHeldBack = std::chrono::milliseconds(60);
// What normally waits: one server fragment, so pieces keep going out between two fragments;
// and how fast a different amount is brought back to it.
constexpr auto kHeldBackTarget = std::chrono::milliseconds(20);
constexpr auto kSettleTime = std::chrono::milliseconds(100);

struct Chunk {
  std::vector<float> samples;
  Clock::time_point arrival;
};

}  // namespace

struct PulseDeliveryThread::State {
  State(std::uint32_t channelCount, double sampleRate, Handler deliver, Pacing pace, Now clock)
      : channels(channelCount == 0 ? 1 : channelCount),
        rate(sampleRate),
        handler(std::move(deliver)),
        pacing(pace),
        now(std::move(clock)),
        timeline(sampleRate),
        silence(std::size_t{kSilenceFrames} * channels, 0.0f) {}

  const std::uint32_t channels;
  const double rate;
  const Handler handler;
  const Pacing pacing;
  const Now now;

  std::mutex queueMutex;
  std::condition_variable queueChanged;
  std::deque<Chunk> queued;
  // Emptied chunks kept for reuse, so steady recording does not allocate on the mainloop.
  std::vector<std::vector<float>> spare;
  bool open = true;
  bool quit = false;
  bool sourceLost = false;
  CaptureTimeline timeline;

  // Held for each handler call, so close() can wait for the one in progress. With paced
  // delivery it also guards what is held back and the pace's bookkeeping.
  std::mutex callMutex;
  std::vector<float> heldBack;
  Clock::time_point lastHandOut{};
  double credit = 0;
  // Written once before anyone can call close().
  std::thread::id threadID;
  const std::vector<float> silence;

  void dropQueuedLocked() {
    for (auto& chunk : queued) spare.push_back(std::move(chunk.samples));
    queued.clear();
  }

  // A close() from another thread stops a batch between two calls.
  bool isOpen() {
    std::lock_guard guard(queueMutex);
    return open && !quit;
  }

  void deliverSilence(std::uint64_t frames) {
    while (frames > 0 && isOpen()) {
      const auto piece =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, kSilenceFrames));
      handler(silence.data(), piece);
      frames -= piece;
    }
  }

  // Paced delivery: placed audio waits here, in order.
  void holdSilence(std::uint64_t frames) { heldBack.resize(heldBack.size() + frames * channels); }
  void holdBatch(const std::vector<Chunk>& batch, std::uint64_t skip) {
    for (const Chunk& chunk : batch) {
      const std::uint64_t frames = chunk.samples.size() / channels;
      if (skip >= frames) {
        skip -= frames;
        continue;
      }
      heldBack.insert(heldBack.end(),
                      chunk.samples.begin() + static_cast<std::ptrdiff_t>(skip * channels),
                      chunk.samples.end());
      skip = 0;
    }
  }
  // Hands out what real time owes since the last piece: a little more while more than a
  // fragment waits and a little less while less does, so what waits settles near one fragment
  // instead of creeping up (it is lost when the run stops); and at once whatever exceeds the
  // most that may wait.
  void handOutDue(Clock::time_point at) {
    const double elapsed = std::max(0.0, std::chrono::duration<double>(at - lastHandOut).count());
    lastHandOut = at;
    const auto held = static_cast<double>(heldBack.size() / channels);
    if (held == 0) {
      // Nothing waited, so no time is owed: the next arrival starts a fresh pace.
      credit = 0;
      return;
    }
    const double target = std::chrono::duration<double>(kHeldBackTarget).count() * rate;
    const double settle = std::chrono::duration<double>(kSettleTime).count() * rate;
    credit += elapsed * rate * std::clamp(1 + (held - target) / settle, 0.5, 1.5);
    const double excess = held - std::chrono::duration<double>(kMostHeldBack).count() * rate;
    const auto due = static_cast<std::uint64_t>(std::min(held, std::max(credit, excess)));
    if (due == 0 || !isOpen()) return;
    handler(heldBack.data(), static_cast<std::uint32_t>(due));
    heldBack.erase(heldBack.begin(),
                   heldBack.begin() + static_cast<std::ptrdiff_t>(due * channels));
    credit = std::max(0.0, credit - static_cast<double>(due));
  }

  // Hands out a batch without its first `skip` frames.
  void deliverBatch(const std::vector<Chunk>& batch, std::uint64_t skip) {
    for (const Chunk& chunk : batch) {
      if (!isOpen()) return;
      const std::uint64_t frames = chunk.samples.size() / channels;
      if (skip >= frames) {
        skip -= frames;
        continue;
      }
      handler(chunk.samples.data() + skip * channels, static_cast<std::uint32_t>(frames - skip));
      skip = 0;
    }
  }
};

PulseDeliveryThread::PulseDeliveryThread(std::uint32_t channels, double sampleRate, Handler handler,
                                         Pacing pacing, Now now)
    : state_(std::make_shared<State>(channels, sampleRate, std::move(handler), pacing,
                                     std::move(now))) {
  state_->timeline.resume(state_->now());
  thread_ = std::thread([state = state_] { run(state); });
  state_->threadID = thread_.get_id();
}

PulseDeliveryThread::~PulseDeliveryThread() {
  {
    std::lock_guard guard(state_->queueMutex);
    state_->quit = true;
  }
  state_->queueChanged.notify_all();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void PulseDeliveryThread::push(const void* samples, std::size_t bytes) {
  const std::size_t count = bytes / sizeof(float) / state_->channels * state_->channels;
  if (count == 0) return;
  {
    std::lock_guard guard(state_->queueMutex);
    if (!state_->open || state_->quit) return;
    Chunk chunk;
    if (!state_->spare.empty()) {
      chunk.samples = std::move(state_->spare.back());
      state_->spare.pop_back();
    }
    chunk.samples.resize(count);
    if (samples != nullptr) {
      std::memcpy(chunk.samples.data(), samples, count * sizeof(float));
    } else {
      std::fill(chunk.samples.begin(), chunk.samples.end(), 0.0f);
    }
    chunk.arrival = state_->now();
    if (state_->queued.size() >= kMaxQueuedChunks) {
      state_->spare.push_back(std::move(state_->queued.front().samples));
      state_->queued.pop_front();
    }
    state_->queued.push_back(std::move(chunk));
  }
  state_->queueChanged.notify_one();
}

void PulseDeliveryThread::setSourceLost(bool lost) {
  {
    std::lock_guard guard(state_->queueMutex);
    state_->sourceLost = lost;
  }
  state_->queueChanged.notify_one();
}

void PulseDeliveryThread::close() {
  {
    std::lock_guard guard(state_->queueMutex);
    state_->open = false;
    state_->timeline.pause(state_->now());
    state_->dropQueuedLocked();
  }
  if (std::this_thread::get_id() == state_->threadID) return;
  // Waiting for the call mutex waits out a handler call in progress; later ones see `open`.
  std::lock_guard wait(state_->callMutex);
  state_->heldBack.clear();
}

void PulseDeliveryThread::open() {
  std::lock_guard guard(state_->queueMutex);
  state_->dropQueuedLocked();
  state_->timeline.resume(state_->now());
  state_->open = true;
}

void PulseDeliveryThread::run(const std::shared_ptr<State>& state) {
  std::vector<Chunk> batch;
  for (;;) {
    {
      std::unique_lock guard(state->queueMutex);
      auto tick =
          state->sourceLost || state->timeline.quiet() ? kTickWhileLost : kTickWhileConnected;
      if (state->pacing == Pacing::ioCycles) tick = kIOCycle;
      state->queueChanged.wait_for(guard, tick,
                                   [&] { return state->quit || !state->queued.empty(); });
      if (state->quit) return;
    }
    std::lock_guard call(state->callMutex);
    CaptureTimeline::Placement placement;
    std::uint64_t silence = 0;
    {
      std::lock_guard guard(state->queueMutex);
      if (state->quit) return;
      if (!state->open) {
        state->heldBack.clear();
        continue;
      }
      // Everything queued goes as one batch: a burst after a short stall is late audio, not
      // missing audio, and is judged by when its last piece arrived.
      std::uint64_t frames = 0;
      for (auto& chunk : state->queued) {
        frames += chunk.samples.size() / state->channels;
        batch.push_back(std::move(chunk));
      }
      state->queued.clear();
      if (batch.empty()) {
        silence = state->timeline.silenceDue(state->now(), state->sourceLost);
      } else {
        placement = state->timeline.place(frames, batch.back().arrival);
        silence = placement.silenceBefore;
      }
    }
    if (state->pacing == Pacing::ioCycles) {
      state->holdSilence(silence);
      state->holdBatch(batch, placement.dropFromStart);
      state->handOutDue(state->now());
    } else {
      state->deliverSilence(silence);
      state->deliverBatch(batch, placement.dropFromStart);
    }
    {
      std::lock_guard guard(state->queueMutex);
      for (auto& chunk : batch) {
        chunk.samples.clear();
        state->spare.push_back(std::move(chunk.samples));
      }
    }
    batch.clear();
  }
}

}  // namespace platform::linux_backend
