#include "watch/call_app_rules.h"

namespace zuno {

std::optional<AppMatch> matchCallApp(std::string_view bundleId) {
  for (const CallAppRule& rule : callAppRules) {
    if (bundleId.starts_with(rule.bundlePrefix)) {
      return AppMatch{std::string(rule.app), std::string(rule.label)};
    }
  }
  return std::nullopt;
}

}  // namespace zuno
