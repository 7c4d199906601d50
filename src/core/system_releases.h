#pragma once

#include <tuple>

#include "platform/process.h"

namespace zuno {

// The release that brought process taps; its patch number plays no part.
inline bool offersProcessTaps(const platform::OperatingSystemVersion& version) {
  return version.major > 14 || (version.major == 14 && version.minor >= 4);
}

// The release that brought the on-device speech analyzer.
inline bool offersSpeechAnalyzer(const platform::OperatingSystemVersion& version) {
  return std::tie(version.major, version.minor, version.patch) >= std::make_tuple(26, 0, 0);
}

}  // namespace zuno
