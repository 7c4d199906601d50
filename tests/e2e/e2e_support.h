#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zuno::e2e {

inline std::string shell(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char chunk[4096];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, got);
    ::pclose(pipe);
  }
  return output;
}

// How many times `needle` occurs in `text`.
inline std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// A private audio server for one test (scripts/private-audio-server.sh): speakers (a null sink,
// the default sink) and a microphone (a source fed from the monitor of the null sink "micsrc",
// the default source), both at 48 kHz. The process environment points clients at it.
class PrivateAudioServer {
 public:
  PrivateAudioServer() {
    char pattern[] = "/tmp/zuno-audio.XXXXXX";
    if (const char* made = ::mkdtemp(pattern)) directory_ = made;
    if (directory_.empty()) return;
    const std::string out = shell("'" + script() + "' start '" + directory_ + "'");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t equals = line.find('=');
      if (equals == std::string::npos || equals == 0) continue;
      const std::string name = line.substr(0, equals);
      ::setenv(name.c_str(), line.substr(equals + 1).c_str(), 1);
      if (name == "PULSE_SERVER") running_ = true;
    }
  }
  ~PrivateAudioServer() {
    for (int player : players_) ::kill(player, SIGTERM);
    for (int player : players_) ::waitpid(player, nullptr, 0);
    if (directory_.empty()) return;
    shell("'" + script() + "' stop '" + directory_ + "'");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  bool running() const { return running_; }
  const std::string& directory() const { return directory_; }

  // Plays a generated sine of `hz` into `device` ("micsrc" or "speakers") for `seconds`.
  void play(const std::string& device, int hz, double seconds) {
    const std::string wav =
        directory_ + "/tone" + std::to_string(hz) + "-" + std::to_string(players_.size()) + ".wav";
    shell("sox -q -n -r 48000 -c 1 " + wav + " synth " + std::to_string(seconds) + " sine " +
          std::to_string(hz) + " gain -6");
    const pid_t child = ::fork();
    if (child == 0) {
      ::execlp("paplay", "paplay", ("--device=" + device).c_str(), wav.c_str(), nullptr);
      ::_exit(127);
    }
    players_.push_back(child);
  }
  std::string pactl(const std::string& arguments) { return shell("pactl " + arguments + " 2>&1"); }
  // The server's default source once it is no longer `name`, or `name` if it still is after ten
  // seconds: a server may switch its default some time after what made it switch.
  std::string defaultSourceOnceNot(const std::string& name) {
    std::string source = name;
    for (int tries = 0; tries < 200 && source == name; ++tries) {
      if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      source = pactl("get-default-source");
      while (!source.empty() && (source.back() == '\n' || source.back() == ' ')) source.pop_back();
    }
    return source;
  }

  // Ends the server's daemons at once, as a crash would; the players die with it.
  void kill() {
    shell("'" + script() + "' kill '" + directory_ + "'");
    for (int player : players_) ::waitpid(player, nullptr, 0);
    players_.clear();
  }
  // Brings the same server back on the same socket with the same devices; whether it answers.
  bool restart() { return !shell("'" + script() + "' restart '" + directory_ + "'").empty(); }
  // Stops or continues every daemon of the server: a frozen server accepts nothing and
  // answers nothing.
  void freeze() { signalDaemons(SIGSTOP); }
  void thaw() { signalDaemons(SIGCONT); }

 private:
  void signalDaemons(int number) {
    std::ifstream pids(directory_ + "/server.pids");
    for (int pid = 0; pids >> pid;) ::kill(pid, number);
  }
  static std::string script() {
    return std::string(ZUNO_SOURCE_DIR) + "/scripts/private-audio-server.sh";
  }

  std::string directory_;
  bool running_ = false;
  std::vector<int> players_;
};

// Starts the real binary recording into `outDir`, reading `stdinFd` and writing events to
// `stdoutFd`; its standard error goes to `stderrPath`, or stays the test's own when empty. The
// test's other descriptors must be close-on-exec, so the recorder sees end of input when the
// test closes its end.
inline pid_t startRecorder(const std::string& outDir, int stdinFd, int stdoutFd,
                           const std::string& stderrPath = "") {
  // A recorder that has ended makes a command sent to it fail with EPIPE, which the test then
  // reports, rather than kill the whole test binary with SIGPIPE and say nothing.
  static const bool ignoringBrokenPipes = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignoringBrokenPipes;
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The recorder starts as a parent would start it.
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(stdinFd, 0);
    ::dup2(stdoutFd, 1);
    if (!stderrPath.empty()) {
      const int error = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (error >= 0) ::dup2(error, 2);
    }
    ::execl(ZUNO_RECORDER_BINARY, ZUNO_RECORDER_BINARY, "record", "--out-dir", outDir.c_str(),
            nullptr);
    ::_exit(127);
  }
  return pid;
}

// The real binary as the parent runs it: commands on a pipe to its standard input, events read
// from a pipe on its standard output.
class RecorderProcess {
 public:
  // `stderrPath`: where its standard error goes; the test's own when empty.
  explicit RecorderProcess(const std::string& outDir, const std::string& stderrPath = "") {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return;
    pid_ = startRecorder(outDir, input[0], output[1], stderrPath);
    ::close(input[0]);
    ::close(output[1]);
    stdin_ = input[1];
    stdout_ = output[0];
  }
  // A recorder started some other way, whose events come on `stdoutFd` (taken over).
  RecorderProcess(pid_t pid, int stdoutFd) : pid_(pid), stdout_(stdoutFd) {}
  ~RecorderProcess() {
    closeStdin();
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0 && status_ == kRunning) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void send(const std::string& text) {
    [[maybe_unused]] auto written = ::write(stdin_, text.data(), text.size());
  }
  void closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  void closeStdout() {
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
  }
  void signal(int number) { ::kill(pid_, number); }
  // Whether it has not ended yet (without reaping it).
  bool running() {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  // Reads event lines until one contains `needle` (or `seconds` pass); true when found.
  bool waitFor(const std::string& needle, double seconds = 10) {
    return waitForCount(needle, 1, seconds);
  }
  // Reads event lines until `needle` occurs `count` times (or `seconds` pass).
  bool waitForCount(const std::string& needle, std::size_t count, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const auto found = [&] { return occurrences(output_, needle) >= count; };
    while (std::chrono::steady_clock::now() < deadline) {
      if (found()) return true;
      if (stdout_ < 0) return false;
      ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
      char chunk[4096];
      const ssize_t got = ::read(stdout_, chunk, sizeof chunk);
      if (got > 0) {
        output_.append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0) {
        return found();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return false;
  }
  // Waits for the process to end; its exit status, or 128 + signal.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (stdout_ >= 0) waitFor("\x01", 0.2);  // drain what is left
    return status_;
  }
  const std::string& output() const { return output_; }

 private:
  static constexpr int kRunning = -1000;
  int pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int status_ = kRunning;
  std::string output_;
};

struct TrackFacts {
  bool readable = false;
  std::string codec;
  int channels = 0;
  int sampleRate = 0;
  double duration = 0;
  std::vector<float> samples;  // decoded mono at 48000 Hz
};

inline TrackFacts inspectTrack(const std::string& path) {
  TrackFacts facts;
  const std::string probe = shell(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,channels,sample_rate:format=duration -of default=nw=1 '" +
      path + "'");
  char codec[64] = {};
  const char* at = probe.c_str();
  if (auto found = std::strstr(at, "codec_name=")) std::sscanf(found, "codec_name=%63s", codec);
  if (auto found = std::strstr(at, "sample_rate="))
    std::sscanf(found, "sample_rate=%d", &facts.sampleRate);
  if (auto found = std::strstr(at, "channels=")) std::sscanf(found, "channels=%d", &facts.channels);
  if (auto found = std::strstr(at, "duration="))
    std::sscanf(found, "duration=%lf", &facts.duration);
  facts.codec = codec;
  const std::string raw =
      shell("ffmpeg -v error -i '" + path + "' -f f32le -ac 1 -ar 48000 - 2>/dev/null");
  facts.samples.resize(raw.size() / sizeof(float));
  std::memcpy(facts.samples.data(), raw.data(), facts.samples.size() * sizeof(float));
  facts.readable = !facts.codec.empty() && !facts.samples.empty();
  return facts;
}

// The track file's top-level MP4 boxes cover it exactly and include the movie box, which is
// written when the file is completed (a box still being written runs past the end, and the media
// data box says "to the end of the file" until then). Read in process rather than with ffprobe,
// so the test sees the moment within milliseconds.
inline bool trackFileCompleted(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return false;
  const auto size = static_cast<std::uint64_t>(file.tellg());
  auto bigEndian = [](const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
  };
  std::uint64_t at = 0;
  bool movie = false;
  while (at + 8 <= size) {
    unsigned char header[16];
    file.seekg(static_cast<std::streamoff>(at));
    if (!file.read(reinterpret_cast<char*>(header), 8)) return false;
    std::uint64_t boxSize = bigEndian(header, 4);
    if (boxSize == 1) {
      if (!file.read(reinterpret_cast<char*>(header + 8), 8)) return false;
      boxSize = bigEndian(header + 8, 8);
    }
    if (boxSize < 8) return false;
    if (std::memcmp(header + 4, "moov", 4) == 0) movie = true;
    at += boxSize;
  }
  return movie && at == size;
}

// Energy of `hz` in the decoded samples (Goertzel), normalised by length.
inline double toneEnergy(const std::vector<float>& samples, double hz, double rate = 48000) {
  if (samples.empty()) return 0;
  const double coefficient = 2 * std::cos(2 * M_PI * hz / rate);
  double previous = 0, beforePrevious = 0;
  for (float sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  const double power = previous * previous + beforePrevious * beforePrevious -
                       coefficient * previous * beforePrevious;
  return power / (static_cast<double>(samples.size()) * samples.size());
}

inline double rms(const std::vector<float>& samples) {
  double sum = 0;
  for (float s : samples) sum += static_cast<double>(s) * s;
  return samples.empty() ? 0 : std::sqrt(sum / samples.size());
}

}  // namespace zuno::e2e
