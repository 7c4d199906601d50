#include "linux/pulse_connection.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "linux/native_runtime.h"
#include "linux/pulse_audio_engines.h"
#include "linux/pulse_audio_hardware.h"
#include "linux/pulse_server_queries.h"
#include "linux/pulse_test_server.h"

namespace platform::linux_backend {
namespace {

using Clock = std::chrono::steady_clock;

// Points libpulse at a socket nobody listens on.
class NoServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zuno-noserver-XXXXXX";
    dir = ::mkdtemp(pattern);
    ::setenv("PULSE_SERVER", ("unix:" + dir + "/native").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("PULSE_RUNTIME_PATH", dir.c_str(), 1);
  }
  void TearDown() override { ::rmdir(dir.c_str()); }
  std::string dir;
};

TEST_F(NoServerTest, ConnectingFailsQuicklyAndSaysWhy) {
  auto connection = PulseConnection::create();
  const auto started = Clock::now();
  const MaybeError error = connection->ensureConnected();
  ASSERT_TRUE(error.has_value());
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(error->description.rfind("cannot connect to the audio server: ", 0), 0u)
      << error->description;
  // A second attempt fails the same way instead of hanging on a dead context.
  const MaybeError again = connection->ensureConnected();
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->description, error->description);
}

TEST_F(NoServerTest, TheInputIsUnavailableAndTapsCannotBeCreated) {
  auto connection = PulseConnection::create();
  NativeRuntime runtime;
  PulseAudioEngines engines(connection, runtime);
  auto engine = engines.makeEngine();
  const auto started = Clock::now();
  const MaybeError missing = engine->inputAvailability();
  ASSERT_TRUE(missing.has_value());
  EXPECT_NE(missing->description.find("cannot connect to the audio server"), std::string::npos);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));

  const AudioFormat format = engine->inputNode().outputFormatForBus(0);
  EXPECT_EQ(format.sampleRate, 0);
  EXPECT_EQ(format.channelCount, 0u);
  EXPECT_TRUE(engine->start().has_value());
  EXPECT_FALSE(engine->isRunning());

  PulseAudioHardware hardware(connection);
  AudioObjectID tap = 0;
  EXPECT_NE(hardware.createProcessTap(CATapDescription{}, tap), 0);
  EXPECT_EQ(tap, 0u);
}

TEST(PulseConnection, ConnectsToTheServerNamedInTheEnvironmentAndReadsItsDefaults) {
  SKIP_WITHOUT_PULSEAUDIO();
  PulseTestServer server;
  auto connection = PulseConnection::create();
  EXPECT_FALSE(connection->ensureConnected().has_value());

  auto source = defaultSourceFormat(*connection);
  ASSERT_TRUE(source.ok()) << source.error().description;
  EXPECT_EQ(source->name, "mic");
  EXPECT_EQ(source->sampleSpec.rate, 44100u);
  EXPECT_EQ(source->sampleSpec.channels, 2u);

  auto sink = defaultSinkFormat(*connection);
  ASSERT_TRUE(sink.ok()) << sink.error().description;
  EXPECT_EQ(sink->name, "speakers");
  EXPECT_EQ(sink->monitorSourceName, "speakers.monitor");

  EXPECT_FALSE(sourceFormat(*connection, "no_such_source").ok());
}

TEST(PulseConnection, ReportsAServerThatWentAwayAndReconnectsWhenItIsBack) {
  SKIP_WITHOUT_PULSEAUDIO();
  auto connection = PulseConnection::create();
  {
    PulseTestServer server;
    ASSERT_FALSE(connection->ensureConnected().has_value());
  }
  EXPECT_FALSE(defaultSourceFormat(*connection).ok());
  PulseTestServer replacement;
  EXPECT_TRUE(defaultSourceFormat(*connection).ok());
}

TEST(PulseModules, LoadsAndUnloadsAModuleAndReportsARefusal) {
  SKIP_WITHOUT_PULSEAUDIO();
  PulseTestServer server;
  auto connection = PulseConnection::create();
  auto loaded = loadModule(*connection, "module-null-sink", "sink_name=extra");
  ASSERT_TRUE(loaded.ok()) << loaded.error().description;
  EXPECT_NE(server.pactl("list short sinks").find("extra"), std::string::npos);
  EXPECT_FALSE(unloadModule(*connection, *loaded).has_value());
  EXPECT_EQ(server.pactl("list short sinks").find("extra"), std::string::npos);

  auto refused = loadModule(*connection, "module-does-not-exist", "");
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description.find("module-does-not-exist"), std::string::npos);
}

}  // namespace
}  // namespace platform::linux_backend
