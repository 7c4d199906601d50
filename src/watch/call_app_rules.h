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
  enum class Match {
    // A bundle identifier's prefix: it also covers an application's helper processes, whose
    // identifiers go on with further components.
    prefix,
    // A Linux build's identity (a Flatpak id, a snap's command, a binary's name) names one
    // build: it matches whole, or followed by further dotted components (a snap's other
    // commands), never as the start of a longer name ("zoom" is not "zoomer").
    build,
  };
  std::string_view identifier;
  std::string_view app;
  std::string_view label;
  Match match = Match::prefix;
};

inline constexpr std::string_view kZoomLabel = "Zoom の通話";
inline constexpr std::string_view kSlackLabel = "Slack のハドル";
inline constexpr std::string_view kTeamsLabel = "Teams の通話";
inline constexpr std::string_view kBrowserLabel = "ブラウザでの通話";

// First match wins; every browser shares the key "browser". The Linux builds follow the
// bundle identifiers: a Flatpak whose id is one of those is already covered by it (Zoom, Chrome,
// Brave, Vivaldi, Firefox). A snap is known by the command it installs, "snap.<command>"; a
// native build by its binary's file name.
inline constexpr auto kBuild = CallAppRule::Match::build;
inline constexpr std::array<CallAppRule, 36> callAppRules{{
    {"us.zoom.", "zoom", kZoomLabel},
    {"com.tinyspeck.slackmacgap", "slack", kSlackLabel},
    {"com.microsoft.teams", "teams", kTeamsLabel},
    {"com.google.Chrome", "browser", kBrowserLabel},
    {"com.apple.Safari", "browser", kBrowserLabel},
    {"com.apple.WebKit", "browser", kBrowserLabel},
    {"com.microsoft.edgemac", "browser", kBrowserLabel},
    {"company.thebrowser.Browser", "browser", kBrowserLabel},
    {"org.mozilla.firefox", "browser", kBrowserLabel},
    {"com.brave.Browser", "browser", kBrowserLabel},
    {"com.vivaldi.Vivaldi", "browser", kBrowserLabel},
    // Linux: Zoom
    {"snap.zoom-client", "zoom", kZoomLabel, kBuild},
    {"zoom", "zoom", kZoomLabel, kBuild},
    // Slack
    {"com.slack.Slack", "slack", kSlackLabel, kBuild},
    {"snap.slack", "slack", kSlackLabel, kBuild},
    {"slack", "slack", kSlackLabel, kBuild},
    // Teams: Teams for Linux, and the discontinued native client
    {"com.github.IsmaelMartinez.teams_for_linux", "teams", kTeamsLabel, kBuild},
    {"snap.teams-for-linux", "teams", kTeamsLabel, kBuild},
    {"teams-for-linux", "teams", kTeamsLabel, kBuild},
    {"teams", "teams", kTeamsLabel, kBuild},
    {"teams-insiders", "teams", kTeamsLabel, kBuild},
    // Browsers
    {"chrome", "browser", kBrowserLabel, kBuild},
    {"org.chromium.Chromium", "browser", kBrowserLabel, kBuild},
    {"snap.chromium", "browser", kBrowserLabel, kBuild},
    {"chromium", "browser", kBrowserLabel, kBuild},
    {"chromium-browser", "browser", kBrowserLabel, kBuild},
    {"com.microsoft.Edge", "browser", kBrowserLabel, kBuild},
    {"msedge", "browser", kBrowserLabel, kBuild},
    {"snap.brave", "browser", kBrowserLabel, kBuild},
    {"brave", "browser", kBrowserLabel, kBuild},
    {"snap.vivaldi", "browser", kBrowserLabel, kBuild},
    {"vivaldi-bin", "browser", kBrowserLabel, kBuild},
    {"snap.firefox", "browser", kBrowserLabel, kBuild},
    {"firefox", "browser", kBrowserLabel, kBuild},
    {"firefox-esr", "browser", kBrowserLabel, kBuild},
    {"firefox-bin", "browser", kBrowserLabel, kBuild},
}};

// Exact, case-sensitive comparison: a case variant of a listed identifier is unlisted.
std::optional<AppMatch> matchCallApp(std::string_view bundleId);

}  // namespace zuno
