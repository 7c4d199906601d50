#pragma once

#include <string>

namespace zuno {

// The call state of one application: whether it captured input at the last evaluation, since
// when that has been so (wall-clock seconds), and whether its call was announced.
struct CallTracker {
  std::string app;
  std::string label;
  bool micActive = false;
  double since = 0;
  bool announced = false;
  std::string bundleId;
};

}  // namespace zuno
