#include "diag/browser_tab.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "diag/answer.h"
#include "diag/automation_permission.h"

namespace zuno {
namespace {

constexpr std::string_view kWebKitPrefix = "com.apple.WebKit";
constexpr std::string_view kSafari = "com.apple.Safari";

// A web content process of the system's engine reports its own identifier; the tab is Safari's.
std::string scriptTarget(const std::string& bundleId) {
  if (bundleId.starts_with(kWebKitPrefix)) return std::string(kSafari);
  return bundleId;
}

// Far longer than any application's identifier; what is longer is no identifier, and only
// costs the permission service and the script compiler.
constexpr std::size_t kMaxIdentifierLength = 255;

// ASCII letters, digits, dots and hyphens: nothing that could end the quoted identifier and
// write script of its own. A plain scan, not a regular expression, so any input is checked in
// constant stack.
bool isPlainIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > kMaxIdentifierLength) return false;
  return std::all_of(identifier.begin(), identifier.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
  });
}

// Safari's scripting vocabulary names a tab's parts differently from the other browsers'.
std::string tabScript(const std::string& target) {
  const std::string_view query =
      target == kSafari
          ? "\" to get {URL of current tab of front window, name of current tab of front window}"
          : "\" to get {URL of active tab of front window, title of active tab of front window}";
  return "tell application id \"" + target + std::string(query);
}

std::optional<std::string> itemText(const platform::AppleEventDescriptor& list, long index) {
  const platform::AppleEventDescriptor* item = list.descriptorAtIndex(index);
  if (item == nullptr) return std::nullopt;
  return item->stringValue;
}

int unavailable(platform::Runtime& runtime) {
  return answer(runtime, Event{{"event", "browser_tab"}, {"error", "unavailable"}});
}

}  // namespace

int runBrowserTab(platform::Platform& platform, const std::string& bundleId) {
  const std::string target = scriptTarget(bundleId);
  // The identifier goes into script text: it is checked before any service sees it.
  if (!isPlainIdentifier(target)) return unavailable(platform.runtime);
  if (automationPermissionState(platform.appleEvents, target, false) != "granted") {
    return unavailable(platform.runtime);
  }
  const auto script = platform.appleEvents.compileScript(tabScript(target));
  if (script == nullptr) return unavailable(platform.runtime);
  // Fails when the browser is not running or has no window or tab.
  auto result = script->executeAndReturnError();
  if (!result) return unavailable(platform.runtime);
  const auto url = itemText(*result, 1);
  if (!url || url->empty()) return unavailable(platform.runtime);
  const auto title = itemText(*result, 2);  // an empty title is still a title
  if (!title) return unavailable(platform.runtime);
  const Event tab{{"event", "browser_tab"}, {"title", *title}, {"url", *url}};
  // Text the event cannot carry would drop the line and leave the parent without any answer.
  if (!formatEventLine(tab)) return unavailable(platform.runtime);
  return answer(platform.runtime, tab);
}

}  // namespace zuno
