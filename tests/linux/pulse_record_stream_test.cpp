#include "linux/pulse_record_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>
#include <utility>

#include "linux/pulse_test_server.h"

namespace platform::linux_backend {
namespace {

// A stream records the device it asked for or nothing. Asked for a name the server resolves to
// another device (the way a session manager may hand out the default source for a monitor),
// it refuses to start rather than record something else under the track's name, and hands out
// none of that device's sound meanwhile.
TEST(PulseRecordStream, RefusesToRecordAnyDeviceButTheOneItAskedFor) {
  SKIP_WITHOUT_PULSEAUDIO();
  PulseTestServer server;
  server.playTone("speakers", 1000);
  std::atomic<std::uint64_t> sounding{0};
  PulseRecordStreamOptions options;
  options.streamName = "system audio";
  options.device = "@DEFAULT_MONITOR@";
  options.sampleRate = 48000;
  options.channels = 2;
  PulseRecordStream stream(PulseConnection::create(), options,
                           [&](const float* samples, std::uint32_t frames) {
                             for (std::uint32_t i = 0; i < frames * 2; ++i) {
                               if (samples[i] != 0.0f) ++sounding;
                             }
                           });

  const MaybeError refused = stream.start();
  ASSERT_TRUE(refused.has_value());
  EXPECT_NE(refused->description.find("instead of \"@DEFAULT_MONITOR@\""), std::string::npos)
      << refused->description;
  EXPECT_FALSE(stream.isRunning());
  EXPECT_EQ(sounding, 0u);
}

// The server may put a recording monitor stream on another device (rescuing it when its output
// goes away, or someone moving it). Whatever that device is, the track must not carry it: the
// stream hands out none of its sound and asks to go back to the default output's monitor.
TEST(PulseRecordStream, AMonitorStreamMovedOntoAMicrophoneDeliversNoneOfItAndReturns) {
  SKIP_WITHOUT_PULSEAUDIO();
  PulseTestServer server;
  server.playTone("micsrc", 440);
  std::atomic<std::uint64_t> sounding{0};
  PulseRecordStreamOptions options;
  options.streamName = "system audio";
  options.follow = PulseFollow::defaultSinkMonitor;
  options.sampleRate = 48000;
  options.channels = 2;
  PulseRecordStream stream(PulseConnection::create(), options,
                           [&](const float* samples, std::uint32_t frames) {
                             for (std::uint32_t i = 0; i < frames * 2; ++i) {
                               if (samples[i] != 0.0f) ++sounding;
                             }
                           });
  ASSERT_FALSE(stream.start().has_value());

  // The stream's index and the name of the source the server records it from.
  const auto serverSide = [&server] {
    std::istringstream outputs(server.pactl("list source-outputs"));
    std::string output, source, line;
    for (std::string index, at; std::getline(outputs, line);) {
      if (line.rfind("Source Output #", 0) == 0) index = line.substr(15);
      if (line.find("Source: ") != std::string::npos) at = line.substr(line.find(':') + 2);
      if (line.find("media.name = \"system audio\"") != std::string::npos) {
        output = index;
        source = at;
      }
    }
    std::istringstream sources(server.pactl("list short sources"));
    for (std::string index, name, rest; sources >> index >> name && std::getline(sources, rest);) {
      if (index == source) return std::pair{output, name};
    }
    return std::pair{output, std::string()};
  };
  const auto [index, before] = serverSide();
  ASSERT_EQ(before, "speakers.monitor");
  // Returns once the server has moved it, so from here the server records the microphone.
  server.pactl("move-source-output " + index + " mic");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (serverSide().second != "speakers.monitor" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(serverSide().second, "speakers.monitor") << "the stream stayed where it was put";
  EXPECT_EQ(sounding, 0u) << "the microphone's tone was handed out as the monitor's";
  EXPECT_TRUE(stream.isRunning());
}

}  // namespace
}  // namespace platform::linux_backend
