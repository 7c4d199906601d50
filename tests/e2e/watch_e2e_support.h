#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"

namespace zuno::e2e {

using Clock = std::chrono::steady_clock;

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A child process started with `argv` (its standard output discarded), terminated and reaped
// when it goes out of scope.
class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv) : startedAt_(Clock::now()) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      std::vector<char*> words;
      for (auto& word : argv) words.push_back(word.data());
      words.push_back(nullptr);
      ::execv(words[0], words.data());
      ::_exit(127);
    }
  }
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int pid() const { return pid_; }
  Clock::time_point startedAt() const { return startedAt_; }

 private:
  int pid_ = -1;
  Clock::time_point startedAt_;
};

// Whether the audio server lists a record stream of a client whose properties hold
// `propertyLine` (as pactl prints it: `key = "value"`). Native PipeWire streams do not always
// carry their process's properties, so their client is looked up.
inline bool serverListsRecordStreamOfClientWith(const std::string& propertyLine) {
  std::set<std::string> clients;
  std::istringstream clientList(shell("pactl list clients 2>/dev/null"));
  std::string client;
  for (std::string line; std::getline(clientList, line);) {
    if (line.starts_with("Client #")) client = line.substr(8);
    if (line.find(propertyLine) != std::string::npos) clients.insert(client);
  }
  std::istringstream streams(shell("pactl list source-outputs 2>/dev/null"));
  for (std::string line; std::getline(streams, line);) {
    const auto at = line.find("Client: ");
    if (at != std::string::npos && clients.contains(line.substr(at + 8))) return true;
  }
  return false;
}

inline std::string propertyLine(const std::string& key, const std::string& value) {
  return key + " = \"" + value + "\"";
}

// Polls the server until a record stream of a client with `propertyLine` is listed (or no
// longer is); when that was first seen, or nothing after `seconds`.
inline std::optional<Clock::time_point> waitUntilListed(const std::string& propertyLine,
                                                        bool listed, double seconds = 15) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (serverListsRecordStreamOfClientWith(propertyLine) == listed) return Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}
// The same for the client of process `pid`, by its own word.
inline std::optional<Clock::time_point> waitUntilListed(int pid, bool listed, double seconds = 15) {
  return waitUntilListed(propertyLine("application.process.id", std::to_string(pid)), listed,
                         seconds);
}

// `zuno-recorder watch` as its parent runs it: events read from a pipe, each line stamped with
// when it arrived; standard error kept in a file.
class WatchProcess {
 public:
  explicit WatchProcess(const std::string& stderrPath) : stderrPath_(stderrPath) {
    int output[2];
    if (::pipe(output) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(output[1], 1);
      const int error = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (error >= 0) ::dup2(error, 2);
      ::close(output[0]);
      ::execl(ZUNO_RECORDER_BINARY, ZUNO_RECORDER_BINARY, "watch", nullptr);
      ::_exit(127);
    }
    ::close(output[1]);
    stdout_ = output[0];
  }
  ~WatchProcess() {
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  struct Line {
    std::string text;
    Clock::time_point at;
  };

  // Reads lines until one contains `needle`; when it arrived, or nothing after `seconds`.
  std::optional<Clock::time_point> waitFor(const std::string& needle, double seconds = 20) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      for (const Line& line : lines_) {
        if (line.text.find(needle) != std::string::npos) return line.at;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return std::nullopt;
    }
  }
  // Ends with `signal`; the exit status, or 128 + the signal that ended it. Reads what is left.
  int endWith(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ended_ = true;
    while (readSome(200)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::vector<Line>& lines() const { return lines_; }
  std::string standardError() const { return shell("cat '" + stderrPath_ + "'"); }

 private:
  // False at end of file or when nothing came within `timeoutMs`.
  bool readSome(int timeoutMs) {
    pollfd readable{stdout_, POLLIN, 0};
    if (::poll(&readable, 1, timeoutMs) <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::read(stdout_, chunk, sizeof chunk);
    if (got <= 0) return false;
    const auto now = Clock::now();
    pending_.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      lines_.push_back({pending_.substr(0, end), now});
      pending_.erase(0, end + 1);
    }
    return true;
  }

  std::string stderrPath_;
  int pid_ = -1;
  int stdout_ = -1;
  bool ended_ = false;
  std::string pending_;
  std::vector<Line> lines_;
};

}  // namespace zuno::e2e
