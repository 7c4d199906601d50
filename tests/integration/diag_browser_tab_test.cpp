#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "diag/browser_tab.h"
#include "integration/diag_support.h"

namespace zuno::testing {
namespace {

using platform::AppleEventDescriptor;
using ::testing::ElementsAre;

const std::string kUnavailable = "{\"error\":\"unavailable\",\"event\":\"browser_tab\"}";
const std::string kChromeScript =
    "tell application id \"com.google.Chrome\" to get {URL of active tab of front window, title "
    "of active tab of front window}";
const std::string kSafariScript =
    "tell application id \"com.apple.Safari\" to get {URL of current tab of front window, name of "
    "current tab of front window}";

AppleEventDescriptor list(std::vector<std::optional<std::string>> texts) {
  AppleEventDescriptor result;
  for (auto& text : texts) result.items.push_back({std::move(text), {}});
  return result;
}

// The browser's permission granted, and its script answering `answer`.
std::function<void(SimPlatform&)> answers(platform::Result<AppleEventDescriptor> answer) {
  return [answer](SimPlatform& sim) {
    sim.appleEvents.setPermissionStatus(0, 0);
    sim.appleEvents.setScriptResult(answer);
  };
}

struct TabCase {
  const char* name;
  std::string bundleId;
  std::function<void(SimPlatform&)> script;
  std::string line;
  // How far it got: 2 = the permission query, 3 = compiled, 4 = run.
  std::size_t appleEventCalls;
};

class BrowserTab : public ::testing::TestWithParam<TabCase> {};

TEST_P(BrowserTab, AnswersWithOneLineAndStatusZero) {
  SimPlatform sim;
  GetParam().script(sim);
  EXPECT_EQ(runWords(sim, {"browser-tab", "--bundle", GetParam().bundleId}), 0);
  EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{GetParam().line});
  EXPECT_EQ(sim.appleEvents.calls().size(), GetParam().appleEventCalls);
}

const std::string kTab =
    "{\"event\":\"browser_tab\",\"title\":\"Daily\",\"url\":\"https:\\/\\/meet.example\\/a\"}";
const auto kTabList = list({"https://meet.example/a", "Daily"});

INSTANTIATE_TEST_SUITE_P(
    Outcomes, BrowserTab,
    ::testing::Values(
        TabCase{"Chrome", "com.google.Chrome", answers(kTabList), kTab, 4},
        TabCase{"WebKitProcessIsSafari", "com.apple.WebKit.WebContent", answers(kTabList), kTab, 4},
        TabCase{"EmptyTitle", "com.google.Chrome", answers(list({"https://a.example", ""})),
                "{\"event\":\"browser_tab\",\"title\":\"\",\"url\":\"https:\\/\\/a.example\"}", 4},
        TabCase{"ExtraItemsIgnored", "com.google.Chrome",
                answers(list({"https://meet.example/a", "Daily", "more"})), kTab, 4},
        TabCase{"PermissionOpen", "com.google.Chrome", [](SimPlatform&) {}, kUnavailable, 2},
        TabCase{"PermissionDenied", "com.google.Chrome",
                [](SimPlatform& s) {
                  s.appleEvents.setPermissionStatus(platform::errAEEventNotPermitted, 0);
                },
                kUnavailable, 2},
        TabCase{"NotAddressable", "com.google.Chrome",
                [](SimPlatform& s) { s.appleEvents.refuseTarget("com.google.Chrome"); },
                kUnavailable, 1},
        TabCase{"DoesNotCompile", "com.google.Chrome",
                [](SimPlatform& s) {
                  answers(kTabList)(s);
                  s.appleEvents.failCompile();
                },
                kUnavailable, 3},
        TabCase{"RunFails", "com.google.Chrome",
                answers(platform::Error{"NSAppleScriptErrorDomain", -600, "not running"}),
                kUnavailable, 4},
        TabCase{"NoItems", "com.google.Chrome", answers(list({})), kUnavailable, 4},
        TabCase{"FirstNotText", "com.google.Chrome", answers(list({std::nullopt, "Daily"})),
                kUnavailable, 4},
        TabCase{"FirstEmpty", "com.google.Chrome", answers(list({"", "Daily"})), kUnavailable, 4},
        TabCase{"NoSecondItem", "com.google.Chrome", answers(list({"https://a.example"})),
                kUnavailable, 4},
        TabCase{"SecondNotText", "com.google.Chrome",
                answers(list({"https://a.example", std::nullopt})), kUnavailable, 4},
        // A title the event cannot carry would leave the parent with no line at all.
        TabCase{"TitleNotUtf8", "com.google.Chrome",
                answers(list({"https://a.example", "caf\xe9"})), kUnavailable, 4}),
    [](const ::testing::TestParamInfo<TabCase>& info) { return std::string(info.param.name); });

TEST(BrowserTabScript, SafariAndOtherBrowsersGetTheirOwnTemplate) {
  const struct {
    const char* bundleId;
    const char* target;
    const std::string& source;
  } cases[] = {
      {"com.google.Chrome", "com.google.Chrome", kChromeScript},
      {"com.apple.Safari", "com.apple.Safari", kSafariScript},
      {"com.apple.WebKit.Networking", "com.apple.Safari", kSafariScript},
      {"com.apple.WebKit", "com.apple.Safari", kSafariScript},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bundleId);
    SimPlatform sim;
    answers(kTabList)(sim);
    EXPECT_EQ(runWords(sim, {"browser-tab", "--bundle", c.bundleId}), 0);
    const std::string target = c.target;
    EXPECT_THAT(sim.appleEvents.calls(),
                ElementsAre("targetDescriptor(" + target + ")",
                            "determinePermission(" + target + ", ****, ****, ask: false)",
                            "compileScript(" + c.source + ")", "executeAndReturnError"));
  }
}

// The identifier becomes script text: anything but 1 to 255 ASCII letters, digits, dots and
// hyphens is refused before any permission query or script.
TEST(BrowserTabIdentifier, RefusesEverythingButPlainCharacters) {
  const std::vector<std::string> refused{
      "com.google.Chrome\" to quit",
      "com.evil\\\"",
      "com.google.Chrome\ntell application \"Finder\"",
      "com.exämple.browser",
      "com.google Chrome",
      "com.google_chrome",
      "",
      std::string(1 << 20, 'a'),
      std::string(256, 'a'),
  };
  for (const std::string& bundleId : refused) {
    SCOPED_TRACE(bundleId.substr(0, 40));
    SimPlatform sim;
    answers(kTabList)(sim);
    EXPECT_EQ(platform::sim::runToExit([&] { runBrowserTab(sim.platform(), bundleId); }), 0);
    EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{kUnavailable});
    EXPECT_TRUE(sim.appleEvents.calls().empty());
  }
}

TEST(BrowserTabIdentifier, AcceptsTheLongestPlainIdentifier) {
  SimPlatform sim;
  const std::string bundleId(255, 'a');
  EXPECT_EQ(runWords(sim, {"browser-tab", "--bundle", bundleId}), 0);
  EXPECT_THAT(sim.appleEvents.calls(),
              ElementsAre("targetDescriptor(" + bundleId + ")",
                          "determinePermission(" + bundleId + ", ****, ****, ask: false)"));
}

TEST(BrowserTabUsage, AnEmptyBundleIsAUsageError) {
  for (const auto& words : {std::vector<std::string>{"browser-tab"},
                            std::vector<std::string>{"browser-tab", "--bundle", "--x"}}) {
    SimPlatform sim;
    EXPECT_EQ(runWords(sim, words), 1);
    EXPECT_EQ(sim.runtime.stdoutLines(),
              std::vector<std::string>{usageLine("browser-tab requires --bundle <BUNDLE_ID>")});
  }
}

}  // namespace
}  // namespace zuno::testing
