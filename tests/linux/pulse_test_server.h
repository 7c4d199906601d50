#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// A private audio server for one test (scripts/private-audio-server.sh), with helpers to play
// tones into its devices and to reconfigure it. The process environment points libpulse at it
// for the test's duration.
class PulseTestServer {
 public:
  static bool installed() { return std::system(("'" + script() + "' check").c_str()) == 0; }

  PulseTestServer() {
    char pattern[] = "/tmp/zuno-pulse-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) throw std::runtime_error("cannot make a temporary directory");
    dir_ = made;
    // The microphone differs from the speakers in rate and channels, so a client that confuses
    // the two devices' formats shows.
    const std::string output =
        run("'" + script() + "' start --mic-rate=" + std::to_string(kMicRate) +
            " --mic-channels=2 '" + dir_ + "'");
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      const auto equals = line.find('=');
      if (equals == std::string::npos || equals == 0) continue;
      const std::string name = line.substr(0, equals);
      const std::string value = line.substr(equals + 1);
      ::setenv(name.c_str(), value.c_str(), 1);
      if (name == "PULSE_SERVER") server_ = value;
    }
    if (server_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
      throw std::runtime_error("the private audio server did not start: " + output);
    }
  }

  ~PulseTestServer() {
    for (pid_t player : players_) {
      ::kill(player, SIGTERM);
      ::waitpid(player, nullptr, 0);
    }
    run("'" + script() + "' stop '" + dir_ + "'");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  PulseTestServer(const PulseTestServer&) = delete;
  PulseTestServer& operator=(const PulseTestServer&) = delete;

  const std::string& directory() const { return dir_; }

  // Runs pactl against this server and returns what it printed.
  std::string pactl(const std::string& arguments) {
    return run("PULSE_SERVER='" + server_ + "' pactl " + arguments + " 2>&1");
  }

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

  // Plays a sine tone into `sink` for `seconds` in the background, stopped with the server. The
  // tone's rate is the sink's own (micsrc runs at kMicRate, every other sink at 48 kHz).
  void playTone(const std::string& sink, double frequency, double seconds = 30) {
    const std::string file = dir_ + "/tone-" + std::to_string(players_.size()) + ".raw";
    const int rate = sink == "micsrc" ? kMicRate : 48000;
    writeTone(file, frequency, rate, seconds);
    const std::string rateOption = "--rate=" + std::to_string(rate);
    const pid_t player = ::fork();
    if (player == 0) {
      ::setenv("PULSE_SERVER", server_.c_str(), 1);
      const std::string device = "--device=" + sink;
      ::execlp("pacat", "pacat", "--playback", device.c_str(), "--raw", "--format=float32le",
               rateOption.c_str(), "--channels=1", "--latency-msec=50", file.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    players_.push_back(player);
  }

  // Another null sink `name` with its monitor remapped as source `name`_in, as a second device
  // to switch the defaults to.
  void addDevicePair(const std::string& name) {
    pactl("load-module module-null-sink rate=48000 channels=2 sink_name=" + name);
    pactl("load-module module-remap-source master=" + name + ".monitor source_name=" + name +
          "_in");
  }

 private:
  static constexpr int kMicRate = 44100;

  static std::string script() {
    return std::string(ZUNO_SOURCE_DIR) + "/scripts/private-audio-server.sh";
  }

  static std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    ::pclose(pipe);
    return output;
  }

  static void writeTone(const std::string& path, double frequency, double rate, double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(rate * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i) {
      samples[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequency * i / rate));
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * sizeof(float)));
  }

  std::string dir_;
  std::string server_;
  std::vector<pid_t> players_;
};

// Collects the first channel of what a capture delivers, from whichever thread delivers it.
class CapturedAudio {
 public:
  void append(const float* samples, std::size_t count, std::size_t stride = 1) {
    std::lock_guard guard(mutex_);
    for (std::size_t i = 0; i < count; ++i) samples_.push_back(samples[i * stride]);
    ++deliveries_;
    changed_.notify_all();
  }
  // Waits until at least `count` samples arrived, false on timeout.
  bool waitForSamples(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(10)) {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return samples_.size() >= count; });
  }
  std::vector<float> samples() {
    std::lock_guard guard(mutex_);
    return samples_;
  }
  std::size_t deliveries() {
    std::lock_guard guard(mutex_);
    return deliveries_;
  }
  void clear() {
    std::lock_guard guard(mutex_);
    samples_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<float> samples_;
  std::size_t deliveries_ = 0;
};

// The frequency of the loudest steady tone in `samples`, from its rising zero crossings; 0 for
// silence. Only the span between the first and last crossing counts, so leading silence does
// not lower the estimate.
inline double toneFrequency(const std::vector<float>& samples, double sampleRate) {
  std::size_t first = 0;
  std::size_t last = 0;
  std::size_t crossings = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    // A real crossing moves; rounding noise around silence does not.
    if (samples[i - 1] < 0 && samples[i] >= 0 && samples[i] - samples[i - 1] > 1e-3f) {
      if (crossings == 0) first = i;
      last = i;
      ++crossings;
    }
  }
  if (crossings < 2 || last == first) return 0;
  return static_cast<double>(crossings - 1) * sampleRate / static_cast<double>(last - first);
}

// The tone of the first quarter second of fresh capture that holds `expected` (within
// `tolerance`), or of the last one judged after ten seconds without it. A device switch or a
// player starting takes as long as the server takes; a capture of the wrong source never shows
// the expected tone however long it is watched. 0 when the capture stopped delivering.
inline double settledToneFrequency(CapturedAudio& captured, double sampleRate, double expected,
                                   double tolerance) {
  double frequency = 0;
  for (int window = 0; window < 40; ++window) {
    captured.clear();
    if (!captured.waitForSamples(static_cast<std::size_t>(sampleRate / 4))) return 0;
    frequency = toneFrequency(captured.samples(), sampleRate);
    if (std::abs(frequency - expected) < tolerance) break;
  }
  return frequency;
}

// Skips the test where no audio server can be started here at all.
#define SKIP_WITHOUT_PULSEAUDIO()                                            \
  do {                                                                       \
    if (!PulseTestServer::installed()) GTEST_SKIP() << "pulseaudio missing"; \
  } while (0)
