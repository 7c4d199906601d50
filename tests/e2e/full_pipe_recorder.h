#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "e2e/e2e_support.h"

namespace zuno::e2e {

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline secondsFromNow(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds));
}

// Checks `condition` until it holds (true) or `deadline` passes (false).
template <typename Condition>
bool waitUntil(Condition condition, Deadline deadline) {
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The real binary under a parent that has stopped reading: its standard output is a one-page
// pipe that is already full when the recorder starts, so every line it writes has to wait until
// the test reads. Standard error stays the test's own.
class RecorderBehindFullPipe {
 public:
  static constexpr std::size_t kPipeBytes = 4096;

  explicit RecorderBehindFullPipe(const std::string& outDir) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    if (::pipe2(output, O_CLOEXEC) != 0) return;
    if (::fcntl(output[1], F_SETPIPE_SZ, static_cast<int>(kPipeBytes)) !=
        static_cast<int>(kPipeBytes)) {
      return;
    }
    // Filled while non-blocking; the flag belongs to the description the child shares, so it is
    // cleared again before the child starts.
    const int flags = ::fcntl(output[1], F_GETFL);
    ::fcntl(output[1], F_SETFL, flags | O_NONBLOCK);
    while (::write(output[1], "\n", 1) == 1) ++filler_;
    ::fcntl(output[1], F_SETFL, flags);
    if (filler_ != kPipeBytes) return;

    pid_ = startRecorder(outDir, input[0], output[1]);
    ::close(input[0]);
    ::close(output[1]);
    stdin_ = input[1];
    stdout_ = output[0];
  }
  ~RecorderBehindFullPipe() {
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool running() const { return pid_ > 0 && !status_; }
  int pid() const { return pid_; }
  void send(const std::string& text) {
    [[maybe_unused]] auto written = ::write(stdin_, text.data(), text.size());
  }
  void signal(int number) { ::kill(pid_, number); }

  // The process has a handler for `number` (read from /proc, so nothing has to be read from its
  // output).
  bool catches(int number) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      unsigned long long mask = 0;
      if (std::sscanf(line.c_str(), "SigCgt: %llx", &mask) == 1) {
        return (mask >> (number - 1)) & 1;
      }
    }
    return false;
  }

  // Waits for the process to end; its exit status (128 + signal when killed), or nothing when
  // `deadline` passed first.
  std::optional<int> waitForExit(Deadline deadline) {
    waitUntil(
        [this] {
          int status = 0;
          if (status_ || ::waitpid(pid_, &status, WNOHANG) != pid_) return status_.has_value();
          status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        deadline);
    return status_;
  }

  // Reads until end of file (the recorder gone) or `deadline`; true at end of file. What the
  // recorder wrote after the test's filler is in `output()`.
  bool readToEnd(Deadline deadline) {
    ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
    return waitUntil(
        [this] {
          char chunk[4096];
          ssize_t got = 0;
          while ((got = ::read(stdout_, chunk, sizeof chunk)) > 0) {
            raw_.append(chunk, static_cast<std::size_t>(got));
          }
          return got == 0;
        },
        deadline);
  }
  bool fillerIntact() const {
    return raw_.size() >= filler_ && raw_.find_first_not_of('\n') >= filler_;
  }
  std::string output() const { return raw_.size() > filler_ ? raw_.substr(filler_) : ""; }

 private:
  int pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::size_t filler_ = 0;
  std::optional<int> status_;
  std::string raw_;
};

}  // namespace zuno::e2e
