#include "diag/automation_permission.h"

namespace zuno {

std::string_view automationPermissionState(platform::AppleEvents& appleEvents,
                                           const std::string& bundleId, bool ask) {
  const auto target = appleEvents.targetDescriptor(bundleId);
  if (target == nullptr) return "undetermined";
  // Any class and identifier: the user consents to automating an application as a whole.
  const platform::OSStatus status = appleEvents.determinePermissionToAutomateTarget(
      *target, platform::typeWildCard, platform::typeWildCard, ask);
  switch (status) {
    case 0:
      return "granted";
    case platform::errAEEventNotPermitted:
      return "denied";
    default:
      // An open decision that may not be asked about, an application that is not there, and
      // anything else the platform answers.
      return "undetermined";
  }
}

}  // namespace zuno
