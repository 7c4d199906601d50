#pragma once

#include "platform/apple_events.h"

namespace platform::linux_backend {

// Linux has no Apple events: no application can be addressed by its bundle identifier, so no
// permission is ever granted and no script of that language runs.
class LinuxAppleEvents final : public AppleEvents {
 public:
  std::shared_ptr<const AppleEventTarget> targetDescriptor(const std::string&) override {
    return nullptr;
  }
  OSStatus determinePermissionToAutomateTarget(const AppleEventTarget&, AEEventClass, AEEventID,
                                               bool) override {
    return procNotFound;
  }
  std::shared_ptr<AppleScript> compileScript(const std::string&) override { return nullptr; }
};

}  // namespace platform::linux_backend
