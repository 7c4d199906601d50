#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>

#include "sim/sim_platform.h"
#include "watch/call_watcher.h"

namespace zuno {
namespace {

// At start a scan that an input listener requests can run on the watcher's queue while the
// first scan still runs on the main thread. Scans from two threads at once must still register
// one listener per process and log each unlisted bundle once; ThreadSanitizer checks the rest.
TEST(WatchThreads, OverlappingScansRegisterOneListenerAndLogOnce) {
  platform::sim::SimPlatform sim;
  constexpr platform::AudioObjectID kMatched = 10;
  constexpr platform::AudioObjectID kUnlisted = 60;
  for (platform::AudioObjectID id = kMatched; id < kUnlisted; ++id) {
    sim.audioHardware.addProcessObject(id, "us.zoom.xos", static_cast<std::int32_t>(1000 + id),
                                       false);
  }
  for (platform::AudioObjectID id = kUnlisted; id < kUnlisted + 50; ++id) {
    sim.audioHardware.addProcessObject(id, "org.example.App" + std::to_string(id), 2000, true);
  }
  auto watcher = CallWatcher::create(sim.platform());
  std::thread queue([&] {
    for (int i = 0; i < 20; ++i) watcher->scan();
  });
  for (int i = 0; i < 20; ++i) watcher->scan();
  queue.join();

  const auto calls = sim.audioHardware.calls();
  for (platform::AudioObjectID id = kMatched; id < kUnlisted; ++id) {
    EXPECT_EQ(
        std::count(calls.begin(), calls.end(), "addPropertyListener piri " + std::to_string(id)), 1)
        << id;
  }
  const auto lines = sim.runtime.stderrLines();
  EXPECT_EQ(lines.size(), 50u);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), 50u);
}

}  // namespace
}  // namespace zuno
