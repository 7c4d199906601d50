#include "watch/call_tracker.h"

namespace zuno {

std::vector<Event> CallTracking::step(const ActiveApps& active, double now) {
  for (const auto& [app, entry] : active) {
    auto [at, added] = trackers_.try_emplace(app);
    Tracker& tracker = at->second;
    if (added) {
      tracker.app = entry.match.app;
      tracker.label = entry.match.label;
      tracker.since = now;
    }
    tracker.bundleId = entry.bundleId;
    if (!tracker.micActive) {
      tracker.micActive = true;
      tracker.since = now;
    }
  }
  for (auto& [app, tracker] : trackers_) {
    if (active.contains(app) || !tracker.micActive) continue;
    tracker.micActive = false;
    tracker.since = now;
  }

  std::vector<Event> starts;
  std::vector<Event> ends;
  for (auto& [app, tracker] : trackers_) {
    const double elapsed = now - tracker.since;
    if (tracker.micActive && !tracker.announced && elapsed >= kStartAfterSeconds) {
      tracker.announced = true;
      starts.push_back(Event{{"event", "call_started"},
                             {"app", tracker.app},
                             {"label", tracker.label},
                             {"bundleId", tracker.bundleId}});
    } else if (!tracker.micActive && tracker.announced && elapsed >= kEndAfterSeconds) {
      tracker.announced = false;
      ends.push_back(Event{{"event", "call_ended"}, {"app", tracker.app}});
    }
  }
  starts.insert(starts.end(), ends.begin(), ends.end());
  return starts;
}

}  // namespace zuno
