#include "linux/pulse_delivery_thread.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace platform::linux_backend {
namespace {

// About five seconds of typical fragments: beyond that the consumer is stuck and the oldest
// audio is dropped rather than growing without bound.
constexpr std::size_t kMaxQueuedChunks = 256;

}  // namespace

struct PulseDeliveryThread::State {
  std::uint32_t channels;
  Handler handler;

  std::mutex queueMutex;
  std::condition_variable queueChanged;
  std::deque<std::vector<float>> queued;
  // Emptied chunks kept for reuse, so steady recording does not allocate on the mainloop.
  std::vector<std::vector<float>> spare;
  bool open = true;
  bool quit = false;

  // Held for each handler call, so close() can wait for the one in progress.
  std::mutex callMutex;
  // Written once before anyone can call close().
  std::thread::id threadID;

  void recycle(std::vector<float>&& chunk) {
    std::lock_guard guard(queueMutex);
    chunk.clear();
    spare.push_back(std::move(chunk));
  }
};

PulseDeliveryThread::PulseDeliveryThread(std::uint32_t channels, Handler handler)
    : state_(std::make_shared<State>()) {
  state_->channels = channels == 0 ? 1 : channels;
  state_->handler = std::move(handler);
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
    std::vector<float> chunk;
    if (!state_->spare.empty()) {
      chunk = std::move(state_->spare.back());
      state_->spare.pop_back();
    }
    chunk.resize(count);
    if (samples != nullptr) {
      std::memcpy(chunk.data(), samples, count * sizeof(float));
    } else {
      std::fill(chunk.begin(), chunk.end(), 0.0f);
    }
    if (state_->queued.size() >= kMaxQueuedChunks) state_->queued.pop_front();
    state_->queued.push_back(std::move(chunk));
  }
  state_->queueChanged.notify_one();
}

void PulseDeliveryThread::close() {
  {
    std::lock_guard guard(state_->queueMutex);
    state_->open = false;
    for (auto& chunk : state_->queued) state_->spare.push_back(std::move(chunk));
    state_->queued.clear();
  }
  if (std::this_thread::get_id() == state_->threadID) return;
  // Waiting for the call mutex waits out a handler call in progress; later ones see `open`.
  std::lock_guard wait(state_->callMutex);
}

void PulseDeliveryThread::open() {
  std::lock_guard guard(state_->queueMutex);
  for (auto& chunk : state_->queued) state_->spare.push_back(std::move(chunk));
  state_->queued.clear();
  state_->open = true;
}

void PulseDeliveryThread::run(const std::shared_ptr<State>& state) {
  for (;;) {
    std::vector<float> chunk;
    {
      std::unique_lock guard(state->queueMutex);
      state->queueChanged.wait(guard, [&] { return state->quit || !state->queued.empty(); });
      if (state->quit) return;
      chunk = std::move(state->queued.front());
      state->queued.pop_front();
    }
    {
      std::lock_guard call(state->callMutex);
      bool open = false;
      {
        std::lock_guard guard(state->queueMutex);
        open = state->open && !state->quit;
      }
      if (open) {
        state->handler(chunk.data(), static_cast<std::uint32_t>(chunk.size() / state->channels));
      }
    }
    state->recycle(std::move(chunk));
  }
}

}  // namespace platform::linux_backend
