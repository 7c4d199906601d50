#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_platform.h"
#include "support/sim_run.h"

namespace zuno::testing {

using platform::sim::SimPlatform;

// The system-audio preflight answering `answer` (by default there is no privacy service).
inline std::int32_t preflightAnswer = 0;
inline void scriptPreflight(SimPlatform& sim, std::int32_t answer) {
  constexpr const char* kLibrary = "/System/Library/PrivateFrameworks/TCC.framework/Versions/A/TCC";
  preflightAnswer = answer;
  sim.loader.addLibrary(kLibrary);
  sim.loader.addSymbol(
      kLibrary, "TCCAccessPreflight",
      reinterpret_cast<void*>(+[](const void*, const void*) { return preflightAnswer; }));
}

inline std::string usageLine(const std::string& message) {
  return "{\"code\":\"usage\",\"event\":\"error\",\"message\":\"" + message + "\"}";
}

}  // namespace zuno::testing
