#pragma once

#include <map>
#include <string>
#include <vector>

#include "events/event.h"
#include "watch/call_app_rules.h"

namespace zuno {

// What one scan found capturing input, per app key: the rule's match and the bundle identifier
// of the process that put the key there.
struct ActiveApp {
  AppMatch match;
  std::string bundleId;
};
using ActiveApps = std::map<std::string, ActiveApp>;

// The call state of every application seen capturing, and the decision a scan leads to. No
// clock and no output of its own: the caller says when the scan happened and writes the events,
// so each threshold can be checked in a table.
class CallTracking {
 public:
  static constexpr double kStartAfterSeconds = 1.0;
  static constexpr double kEndAfterSeconds = 5.0;

  // The events of a scan at `now` (seconds) that found `active` capturing: a call starts once an
  // app has captured for 1 s, and ends once it has not for 5 s. Starts come before ends.
  std::vector<Event> step(const ActiveApps& active, double now);

 private:
  // Whether the app captured at the last scan, since when that has been so, and whether its call
  // was announced.
  struct Tracker {
    std::string app;
    std::string label;
    bool micActive = false;
    double since = 0;
    bool announced = false;
    std::string bundleId;
  };
  std::map<std::string, Tracker> trackers_;
};

}  // namespace zuno
