#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "sim/sim_platform.h"

namespace zuno::testing {

using platform::sim::SimPlatform;

inline constexpr const char* kPrivacyLibrary =
    "/System/Library/PrivateFrameworks/TCC.framework/Versions/A/TCC";

// The whole program on the sim backend, given the words after the program path.
inline std::optional<int> runWords(SimPlatform& sim, std::vector<std::string> words) {
  words.insert(words.begin(), "zuno-recorder");
  sim.process.setArguments(std::move(words));
  return platform::sim::runToExit([&] { runMain(sim.platform()); });
}

// The privacy service's preflight answering `answer`; without it the answer is undetermined.
template <std::int32_t answer>
void scriptPreflight(SimPlatform& sim) {
  sim.loader.addLibrary(kPrivacyLibrary);
  sim.loader.addSymbol(
      kPrivacyLibrary, "TCCAccessPreflight",
      reinterpret_cast<void*>(+[](const void*, const void*) -> std::int32_t { return answer; }));
}

inline std::string usageLine(const std::string& message) {
  return "{\"code\":\"usage\",\"event\":\"error\",\"message\":\"" + message + "\"}";
}

}  // namespace zuno::testing
