#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diag/browser_tab.h"
#include "integration/diag_support.h"

namespace zuno::testing {
namespace {

using platform::AppleEventDescriptor;
using platform::Result;
using ::testing::ElementsAre;

const std::string kUnavailable = R"({"error":"unavailable","event":"browser_tab"})";

AppleEventDescriptor list(std::vector<std::optional<std::string>> texts) {
  AppleEventDescriptor result;
  for (auto& text : texts) result.items.push_back({std::move(text), {}});
  return result;
}
const AppleEventDescriptor kTab = list({"https://meet.example/a", "Daily"});
const std::string kTabLine =
    R"({"event":"browser_tab","title":"Daily","url":"https:\/\/meet.example\/a"})";

// Permission granted and the script answering `answer`.
void grantedAnswering(SimPlatform& sim, Result<AppleEventDescriptor> answer) {
  sim.appleEvents.setPermissionStatus(0, 0);
  sim.appleEvents.setScriptResult(std::move(answer));
}

// Every outcome is one line and status 0; how far it got is told by the Apple-event calls:
// 1 addressed, 2 permission asked, 3 compiled, 4 run.
TEST(BrowserTab, AnswersWithOneLine) {
  const struct {
    const char* name;
    std::function<void(SimPlatform&)> script;
    std::string line;
    std::size_t calls;
  } cases[] = {
      {"tab", [](SimPlatform& s) { grantedAnswering(s, kTab); }, kTabLine, 4},
      {"empty title",
       [](SimPlatform& s) {
         grantedAnswering(s, list({"https://a.example", ""}));
       },
       R"({"event":"browser_tab","title":"","url":"https:\/\/a.example"})", 4},
      {"permission open", [](SimPlatform&) {}, kUnavailable, 2},
      {"not addressable", [](SimPlatform& s) { s.appleEvents.refuseTarget("com.google.Chrome"); },
       kUnavailable, 1},
      {"no script",
       [](SimPlatform& s) {
         grantedAnswering(s, kTab);
         s.appleEvents.failCompile();
       },
       kUnavailable, 3},
      {"run fails",
       [](SimPlatform& s) {
         grantedAnswering(s, platform::Error{"script", -600, "not running"});
       },
       kUnavailable, 4},
      {"no items", [](SimPlatform& s) { grantedAnswering(s, list({})); }, kUnavailable, 4},
      {"url not text",
       [](SimPlatform& s) {
         grantedAnswering(s, list({std::nullopt, "Daily"}));
       },
       kUnavailable, 4},
      {"url empty",
       [](SimPlatform& s) {
         grantedAnswering(s, list({"", "Daily"}));
       },
       kUnavailable, 4},
      {"no title", [](SimPlatform& s) { grantedAnswering(s, list({"https://a.example"})); },
       kUnavailable, 4},
      // Text the event cannot carry would otherwise leave the parent with no line at all.
      {"title not UTF-8",
       [](SimPlatform& s) {
         grantedAnswering(s, list({"https://a.example", "caf\xe9"}));
       },
       kUnavailable, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimPlatform sim;
    c.script(sim);
    EXPECT_EQ(runWords(sim, {"browser-tab", "--bundle", "com.google.Chrome"}), 0);
    EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{c.line});
    EXPECT_EQ(sim.appleEvents.calls().size(), c.calls);
  }
}

// A WebKit process stands for Safari, which has a template of its own; the permission is only
// ever checked, never asked for.
TEST(BrowserTab, SendsEachBrowserItsTemplate) {
  const std::string safari =
      R"(tell application id "com.apple.Safari" to get {URL of current tab of front window, )"
      R"(name of current tab of front window})";
  const struct {
    const char* bundleId;
    std::string target;
    std::string source;
  } cases[] = {
      {"com.google.Chrome", "com.google.Chrome",
       R"(tell application id "com.google.Chrome" to get {URL of active tab of front window, )"
       R"(title of active tab of front window})"},
      {"com.apple.Safari", "com.apple.Safari", safari},
      {"com.apple.WebKit.WebContent", "com.apple.Safari", safari},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bundleId);
    SimPlatform sim;
    grantedAnswering(sim, kTab);
    EXPECT_EQ(runWords(sim, {"browser-tab", "--bundle", c.bundleId}), 0);
    EXPECT_THAT(sim.appleEvents.calls(),
                ElementsAre("targetDescriptor(" + c.target + ")",
                            "determinePermission(" + c.target + ", ****, ****, ask: false)",
                            "compileScript(" + c.source + ")", "executeAndReturnError"));
  }
}

// The identifier becomes script text: anything but 1 to 255 ASCII letters, digits, dots and
// hyphens is refused before any permission query or script.
TEST(BrowserTab, RefusesIdentifiersThatAreNotPlain) {
  const std::string longest(255, 'a');
  const std::vector<std::string> refused{"com.google.Chrome\" to quit",
                                         "com.evil\\\"",
                                         "com.google.Chrome\ntell",
                                         "com.exämple.browser",
                                         "com.google Chrome",
                                         "com.google_chrome",
                                         "",
                                         longest + "a",
                                         std::string(1 << 20, 'a')};
  for (const std::string& bundleId : refused) {
    SCOPED_TRACE(bundleId.substr(0, 40));
    SimPlatform sim;
    grantedAnswering(sim, kTab);
    EXPECT_EQ(runBrowserTab(sim.platform(), bundleId), 0);
    EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{kUnavailable});
    EXPECT_TRUE(sim.appleEvents.calls().empty());
  }
  SimPlatform sim;
  grantedAnswering(sim, kTab);
  EXPECT_EQ(runWords(sim, {"browser-tab", "--bundle", longest}), 0);
  EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{kTabLine});
}

TEST(BrowserTab, WithoutABundleIsAUsageError) {
  SimPlatform sim;
  EXPECT_EQ(runWords(sim, {"browser-tab", "--bundle", "--check-only"}), 1);
  EXPECT_EQ(sim.runtime.stdoutLines(),
            std::vector<std::string>{usageLine("browser-tab requires --bundle <BUNDLE_ID>")});
}

}  // namespace
}  // namespace zuno::testing
