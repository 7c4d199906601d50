#include "watch/call_app_rules.h"

namespace zuno {
namespace {

bool matches(const CallAppRule& rule, std::string_view bundleId) {
  if (!bundleId.starts_with(rule.identifier)) return false;
  if (rule.match == CallAppRule::Match::prefix) return true;
  return bundleId.size() == rule.identifier.size() || bundleId[rule.identifier.size()] == '.';
}

}  // namespace

std::optional<AppMatch> matchCallApp(std::string_view bundleId) {
  for (const CallAppRule& rule : callAppRules) {
    if (matches(rule, bundleId)) return AppMatch{std::string(rule.app), std::string(rule.label)};
  }
  return std::nullopt;
}

}  // namespace zuno
