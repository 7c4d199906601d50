#include "linux/descriptor_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace platform::linux_backend {

struct DescriptorInput::State {
  explicit State(int descriptor) : fd(descriptor) {}

  const int fd;
  std::mutex mutex;
  std::condition_variable taken;
  std::string pending;
  bool ended = false;
  bool reading = false;
  std::function<void()> ready;

  // Reader thread. Hands each read's bytes over, and the end once it comes.
  void run() {
    char chunk[16 * 1024];
    for (;;) {
      {
        std::unique_lock guard(mutex);
        taken.wait(guard, [this] { return pending.size() < kMostPending; });
      }
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      // Someone sharing the description made it non-blocking: wait for input without touching
      // the flag, which is theirs.
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd watched{fd, POLLIN, 0};
        (void)::poll(&watched, 1, -1);
        continue;
      }
      // A read of nothing is the end; an error (a hang-up, EIO, a descriptor that was never
      // open) means the parent is gone, which ends the input too.
      std::function<void()> notify;
      {
        std::lock_guard guard(mutex);
        if (got > 0) {
          pending.append(chunk, static_cast<std::size_t>(got));
        } else {
          ended = true;
        }
        notify = ready;
      }
      if (notify) notify();
      if (got <= 0) return;
    }
  }
};

DescriptorInput::DescriptorInput(int fd) : state_(std::make_shared<State>(fd)) {}

StandardInputRead DescriptorInput::readAvailable() {
  StandardInputRead read;
  {
    std::lock_guard guard(state_->mutex);
    read.bytes = std::exchange(state_->pending, std::string());
    read.ended = state_->ended;
  }
  state_->taken.notify_one();
  return read;
}

void DescriptorInput::watch(std::function<void()> ready) {
  bool startReader = false;
  bool alreadyThere = false;
  {
    std::lock_guard guard(state_->mutex);
    state_->ready = ready;
    startReader = !std::exchange(state_->reading, true);
    alreadyThere = !state_->pending.empty() || state_->ended;
  }
  if (alreadyThere && ready) ready();
  if (!startReader) return;
  try {
    std::thread([state = state_] { state->run(); }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: standard input goes unwatched, and signals still stop the run.
    std::lock_guard guard(state_->mutex);
    state_->reading = false;
  }
}

}  // namespace platform::linux_backend
