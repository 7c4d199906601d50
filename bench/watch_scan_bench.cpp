// One full scan of the call watcher over 500 audio process objects on the sim backend: the
// list read, three property reads per matched process and two per other one, the listener
// bookkeeping and the tracker evaluation. A scan runs at least once a second, and once more
// for every notification, so its cost is paid all day long.
#include <benchmark/benchmark.h>

#include <string>

#include "sim/sim_platform.h"
#include "watch/call_watcher.h"

namespace {

void BM_ScanOf500Processes(benchmark::State& state) {
  platform::sim::SimPlatform sim;
  sim.audioHardware.setLogsReads(false);
  // Mostly unlisted processes, as on a desktop; a few conferencing apps and browsers, some of
  // them capturing, and a capturing unlisted one that is logged once, in the first scan.
  for (platform::AudioObjectID id = 100; id < 600; ++id) {
    std::string bundle = "org.example.App" + std::to_string(id);
    if (id % 50 == 0) bundle = "com.google.Chrome.helper";
    if (id % 125 == 0) bundle = "us.zoom.xos";
    const bool capturing = id % 100 == 0 || id == 101;
    sim.audioHardware.addProcessObject(id, bundle, static_cast<std::int32_t>(id + 10000),
                                       capturing);
  }
  auto watcher = zuno::CallWatcher::create(sim.platform());
  watcher->scan();
  for (auto _ : state) watcher->scan();
  state.SetItemsProcessed(state.iterations() * 500);
}
BENCHMARK(BM_ScanOf500Processes)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
