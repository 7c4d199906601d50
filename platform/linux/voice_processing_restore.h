#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/runtime.h"

namespace platform::linux_backend {

// Brings the echo canceller back after the connection to the audio server returned, one short
// step at a time on a serial queue of its own. A restarted server has lost the canceller, and it
// makes its devices only after it answers, so the microphone the canceller was built on is looked
// for again and again for a while before the canceller is loaded on it.
//
// No lock is held from one step to the next, so stopping, pausing or asking whether the engine
// runs never waits for a restore, however long the server takes. Switching voice processing off
// abandons the restore first: no step starts after that, so the switch never races a load.
class VoiceProcessingRestore {
 public:
  // The server's side, each a bounded call made on the restore's queue.
  struct Steps {
    // Whether the canceller is still there: only the connection dropped, the server lived on.
    std::function<bool()> cancellerIsThere;
    // None once the microphone the canceller was built on exists; why not otherwise.
    std::function<MaybeError()> lookForMicrophone;
    // Loads the canceller on that microphone again.
    std::function<MaybeError()> load;
    // Records through the canceller, or, given why it could not come back, through the plain
    // microphone.
    std::function<void(const MaybeError& failure)> recordThrough;
  };

  // How often the microphone is looked for, and for how long.
  static constexpr std::chrono::milliseconds kLookAgainAfter{100};
  static constexpr std::chrono::milliseconds kLookFor{3000};

  VoiceProcessingRestore(Runtime& runtime, Steps steps);
  // Abandons the restore and waits for its queue to end.
  ~VoiceProcessingRestore();
  VoiceProcessingRestore(const VoiceProcessingRestore&) = delete;
  VoiceProcessingRestore& operator=(const VoiceProcessingRestore&) = delete;

  // Voice processing is on: requests are taken from now on.
  void arm();
  // Any thread: the connection is back. A restore under way starts over; ignored until armed.
  void request();
  // Voice processing is being switched off: no step starts after this returns. One under way is
  // waited for, at most `timeout`; false when it did not end in time (a server that stopped
  // answering in the middle of it).
  bool abandon(Duration timeout);

  struct State;

 private:
  Runtime& runtime_;
  std::shared_ptr<State> state_;
};

}  // namespace platform::linux_backend
