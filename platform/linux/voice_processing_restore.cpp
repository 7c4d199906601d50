#include "linux/voice_processing_restore.h"

namespace platform::linux_backend {

struct VoiceProcessingRestore::State {
  State(Runtime& runtime, Steps steps) : runtime(runtime), steps(std::move(steps)) {}

  Runtime& runtime;
  const Steps steps;
  std::mutex mutex;
  std::condition_variable stepEnded;
  // Made on the first request: most runs never lose their server.
  std::shared_ptr<Queue> queue;
  // Bumped by every request, so the steps of a restore that was started over stop.
  std::uint64_t generation = 0;
  Duration giveUpAt{};
  bool armed = false;
  bool stepRunning = false;

  // Runs `step` unless the restore it belongs to is over; false if it did not run.
  bool runStep(std::uint64_t ofGeneration, const std::function<void()>& step) {
    {
      std::lock_guard guard(mutex);
      if (!armed || ofGeneration != generation) return false;
      stepRunning = true;
    }
    step();
    {
      std::lock_guard guard(mutex);
      stepRunning = false;
    }
    stepEnded.notify_all();
    return true;
  }

  static void begin(const std::shared_ptr<State>& self, std::uint64_t ofGeneration) {
    bool there = false;
    if (!self->runStep(ofGeneration, [&] { there = self->steps.cancellerIsThere(); })) return;
    if (there) {
      self->runStep(ofGeneration, [&] { self->steps.recordThrough(std::nullopt); });
      return;
    }
    lookForMicrophone(self, ofGeneration);
  }

  static void lookForMicrophone(const std::shared_ptr<State>& self, std::uint64_t ofGeneration) {
    MaybeError missing;
    if (!self->runStep(ofGeneration, [&] { missing = self->steps.lookForMicrophone(); })) return;
    if (missing && self->runtime.monotonicNow() < self->giveUpAt) {
      std::lock_guard guard(self->mutex);
      // Gone with the restorer: nothing is looked for any more.
      if (!self->queue) return;
      self->queue->asyncAfter(kLookAgainAfter,
                              [self, ofGeneration] { lookForMicrophone(self, ofGeneration); });
      return;
    }
    self->runStep(ofGeneration, [&] {
      const MaybeError failure = missing ? missing : self->steps.load();
      self->steps.recordThrough(failure);
    });
  }
};

VoiceProcessingRestore::VoiceProcessingRestore(Runtime& runtime, Steps steps)
    : runtime_(runtime), state_(std::make_shared<State>(runtime, std::move(steps))) {}

VoiceProcessingRestore::~VoiceProcessingRestore() {
  std::shared_ptr<Queue> queue;
  {
    std::unique_lock guard(state_->mutex);
    state_->armed = false;
    state_->stepEnded.wait(guard, [this] { return !state_->stepRunning; });
    queue = std::move(state_->queue);
  }
  // Destroyed here, not by a task of its own: it joins its thread, and drops the tasks that
  // still hold the state.
  queue.reset();
}

void VoiceProcessingRestore::request() {
  std::lock_guard guard(state_->mutex);
  if (!state_->armed) return;
  if (!state_->queue) state_->queue = runtime_.makeSerialQueue("zuno-recorder.voice-processing");
  const std::uint64_t generation = ++state_->generation;
  state_->giveUpAt = runtime_.monotonicNow() + kLookFor;
  // Tasks never hold the queue itself, so only this object's end can destroy it.
  state_->queue->async([state = state_, generation] { State::begin(state, generation); });
}

void VoiceProcessingRestore::arm() {
  std::lock_guard guard(state_->mutex);
  state_->armed = true;
}

bool VoiceProcessingRestore::abandon(Duration timeout) {
  std::unique_lock guard(state_->mutex);
  state_->armed = false;
  return state_->stepEnded.wait_for(guard, timeout, [this] { return !state_->stepRunning; });
}

}  // namespace platform::linux_backend
