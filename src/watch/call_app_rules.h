#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace zuno {

// What a matched process counts as: the app key its calls are tracked under, and the label the
// parent shows for such a call.
struct AppMatch {
  std::string app;
  std::string label;
};

struct CallAppRule {
  std::string_view bundlePrefix;
  std::string_view app;
  std::string_view label;
};

// First matching prefix wins. A prefix also covers an application's helper processes, whose
// identifiers go on with further components; every browser shares the key "browser".
inline constexpr std::array<CallAppRule, 11> callAppRules{{
    {"us.zoom.", "zoom", "Zoom の通話"},
    {"com.tinyspeck.slackmacgap", "slack", "Slack のハドル"},
    {"com.microsoft.teams", "teams", "Teams の通話"},
    {"com.google.Chrome", "browser", "ブラウザでの通話"},
    {"com.apple.Safari", "browser", "ブラウザでの通話"},
    {"com.apple.WebKit", "browser", "ブラウザでの通話"},
    {"com.microsoft.edgemac", "browser", "ブラウザでの通話"},
    {"company.thebrowser.Browser", "browser", "ブラウザでの通話"},
    {"org.mozilla.firefox", "browser", "ブラウザでの通話"},
    {"com.brave.Browser", "browser", "ブラウザでの通話"},
    {"com.vivaldi.Vivaldi", "browser", "ブラウザでの通話"},
}};

// Exact, case-sensitive prefix comparison: a case variant of a listed identifier is unlisted.
std::optional<AppMatch> matchCallApp(std::string_view bundleId);

}  // namespace zuno
