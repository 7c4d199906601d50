#include "linux/pulse_record_stream.h"

#include <gtest/gtest.h>

#include <atomic>

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

}  // namespace
}  // namespace platform::linux_backend
