#pragma once

#include <string>
#include <utility>
#include <vector>

#include "cli/dispatch.h"
#include "sim/sim_platform.h"

namespace zuno::testing {

// The whole program on the sim backend, given the words after the program path, as the parent
// starts it; the status it ended the process with.
inline int runWords(platform::sim::SimPlatform& sim, std::vector<std::string> words) {
  words.insert(words.begin(), "zuno-recorder");
  sim.process.setArguments(std::move(words));
  const int status = runMain(sim.platform());
  EXPECT_EQ(sim.runtime.exitStatus(), status) << "the process ended some other way";
  return status;
}

}  // namespace zuno::testing
