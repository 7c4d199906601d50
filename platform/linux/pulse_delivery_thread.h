#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace platform::linux_backend {

// Hands recorded samples from the mainloop thread to a thread of their own. The handler encodes
// audio under the recorder's lock, which must never stall the one mainloop thread that serves
// every stream of the process; the mainloop side only copies samples into a queue.
class PulseDeliveryThread {
 public:
  // Interleaved float samples, `frames` frames of the stream's channel count.
  using Handler = std::function<void(const float* interleaved, std::uint32_t frames)>;

  PulseDeliveryThread(std::uint32_t channels, Handler handler);
  ~PulseDeliveryThread();
  PulseDeliveryThread(const PulseDeliveryThread&) = delete;
  PulseDeliveryThread& operator=(const PulseDeliveryThread&) = delete;

  // Mainloop side: copies the samples (silence for a null pointer) unless closed.
  void push(const void* samples, std::size_t bytes);
  // After it returns no handler call is running or starts, and queued samples are dropped.
  // Called from inside the handler it only stops later calls.
  void close();
  // Hands out samples pushed from now on.
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
