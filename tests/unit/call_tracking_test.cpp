#include "watch/call_tracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zuno {
namespace {

// One scan: when it ran and which apps it found capturing ("zoom", or "zoom:ID" to give the
// capturing process's identifier), with the events it must give as "started zoom ID" / "ended
// zoom".
struct Scan {
  double at;
  std::vector<std::string> active;
  std::vector<std::string> events;
};

struct Case {
  const char* name;
  std::vector<Scan> scans;
};
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

ActiveApps activeApps(const std::vector<std::string>& entries) {
  ActiveApps apps;
  for (const std::string& entry : entries) {
    const auto colon = entry.find(':');
    const std::string app = entry.substr(0, colon);
    const std::string id = colon == std::string::npos ? "id." + app : entry.substr(colon + 1);
    apps[app] = ActiveApp{AppMatch{app, app + " call"}, id};
  }
  return apps;
}

std::string describe(const Event& event) {
  if (event["event"] == "call_started") {
    EXPECT_EQ(event["label"], event["app"].get<std::string>() + " call");
    return "started " + event["app"].get<std::string>() + " " +
           event["bundleId"].get<std::string>();
  }
  return "ended " + event["app"].get<std::string>();
}

class CallTrackingTable : public ::testing::TestWithParam<Case> {};

TEST_P(CallTrackingTable, GivesTheEventsOfEachScan) {
  CallTracking tracking;
  for (const Scan& scan : GetParam().scans) {
    SCOPED_TRACE("scan at " + std::to_string(scan.at));
    std::vector<std::string> events;
    for (const Event& event : tracking.step(activeApps(scan.active), scan.at)) {
      events.push_back(describe(event));
    }
    EXPECT_EQ(events, scan.events);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Watch, CallTrackingTable,
    ::testing::Values(
        Case{"AShortBurstIsNoCall", {{0, {"zoom"}, {}}, {0.9, {"zoom"}, {}}, {1.5, {}, {}}}},
        Case{"OneSecondOfCaptureStartsACallOnce",
             {{0, {"zoom"}, {}}, {1.0, {"zoom"}, {"started zoom id.zoom"}}, {2.0, {"zoom"}, {}}}},
        Case{"AGapShorterThanFiveSecondsKeepsTheCall",
             {{0, {"zoom"}, {}},
              {1, {"zoom"}, {"started zoom id.zoom"}},
              {2, {}, {}},
              {6.75, {}, {}},
              {7, {"zoom"}, {}},
              {11.5, {}, {}},
              {16.5, {}, {"ended zoom"}},
              {30, {}, {}}}},
        Case{"AFlickerStartsTheSecondOver",
             {{0, {"slack"}, {}},
              {0.5, {}, {}},
              {0.6, {"slack"}, {}},
              {1.5, {"slack"}, {}},
              {1.6, {"slack"}, {"started slack id.slack"}}}},
        Case{"TheLatestProcessNamesTheCall",
             {{0, {"browser:com.google.Chrome"}, {}},
              {1,
               {"browser:com.google.Chrome.helper"},
               {"started browser com.google.Chrome.helper"}}}},
        Case{"StartsComeBeforeEndsInOneScan",
             {{0, {"zoom"}, {}},
              {1, {"zoom"}, {"started zoom id.zoom"}},
              {2, {"teams"}, {}},
              {7, {"teams"}, {"started teams id.teams", "ended zoom"}}}},
        Case{"AnEndedCallCanStartAgain",
             {{0, {"zoom"}, {}},
              {1, {"zoom"}, {"started zoom id.zoom"}},
              {1.5, {}, {}},
              {6.5, {}, {"ended zoom"}},
              {7, {"zoom"}, {}},
              {8, {"zoom"}, {"started zoom id.zoom"}}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zuno
