#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "linux/capture_timeline.h"

namespace platform::linux_backend {

// Hands recorded samples from the mainloop thread to a thread of their own, on the recording's
// clock. The handler encodes audio under the recorder's lock, which must never stall the one
// mainloop thread that serves every stream of the process; the mainloop side only copies
// samples into a queue. The thread places what arrives by a capture timeline and fills every
// stretch the server left empty with silence, so the handler sees a stream that keeps time
// whatever the server does, even while the server is gone.
class PulseDeliveryThread {
 public:
  // Interleaved float samples, `frames` frames of the stream's channel count.
  using Handler = std::function<void(const float* interleaved, std::uint32_t frames)>;

  using Now = std::function<CaptureTimeline::Clock::time_point()>;

  // How placed audio reaches the handler.
  enum class Pacing {
    // As it arrives, in the server's fragments.
    asDelivered,
    // In pieces of a few milliseconds handed out at the pace of real time, like a device's IO
    // cycles. For a consumer that pauses by ignoring what reaches it: it then drops the paused
    // span to within a piece, rather than whole 20 ms fragments, an error that would add up
    // over many pauses.
    ioCycles,
  };

  // Starts open, with the clock running from now. `now` reads the clock (tests fake it).
  PulseDeliveryThread(std::uint32_t channels, double sampleRate, Handler handler,
                      Pacing pacing = Pacing::asDelivered, Now now = CaptureTimeline::Clock::now);
  ~PulseDeliveryThread();
  PulseDeliveryThread(const PulseDeliveryThread&) = delete;
  PulseDeliveryThread& operator=(const PulseDeliveryThread&) = delete;

  // Mainloop side: copies the samples (silence for a null pointer) unless closed.
  void push(const void* samples, std::size_t bytes);
  // Mainloop side: whether the stream can deliver at all. While it cannot, the clock's time is
  // written as silence as it passes.
  void setSourceLost(bool lost);
  // Stops the clock. After it returns no handler call is running or starts, and queued samples
  // are dropped. Called from inside the handler it only stops later calls.
  void close();
  // Starts the clock again and hands out samples pushed from now on.
  void open();

 private:
  struct State;
  static void run(const std::shared_ptr<State>& state);

  // Shared with the thread, so a thread that must be detached (destroyed from inside its own
  // handler) never touches freed memory.
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace platform::linux_backend
