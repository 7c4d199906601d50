#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/four_cc.h"

namespace platform {

using OSStatus = std::int32_t;
using AEEventClass = FourCharCode;
using AEEventID = FourCharCode;

// Matches every event class and every event identifier.
inline constexpr FourCharCode typeWildCard = fourCC("****");
// The user (or the administrator) refused this program events to the target.
inline constexpr OSStatus errAEEventNotPermitted = -1743;
// The decision is still open and asking was not allowed.
inline constexpr OSStatus errAEEventWouldRequireUserConsent = -1744;
// No application answers to the target's address.
inline constexpr OSStatus procNotFound = -600;

// The address of one application for Apple events. Opaque to the program: only the backend that
// made it reads it.
class AppleEventTarget {
 public:
  virtual ~AppleEventTarget() = default;
};

// A value a script handed back: its text when it has one, and its items when it is a list.
struct AppleEventDescriptor {
  std::optional<std::string> stringValue;
  std::vector<AppleEventDescriptor> items;

  // Counted from 1, as the platform counts; none outside the list.
  const AppleEventDescriptor* descriptorAtIndex(long index) const {
    if (index < 1 || static_cast<unsigned long>(index) > items.size()) return nullptr;
    return &items[static_cast<std::size_t>(index - 1)];
  }
};

// A script in the platform's scripting language, ready to run.
class AppleScript {
 public:
  virtual ~AppleScript() = default;
  // Runs it to the end, blocking until every application it talks to has answered: the result,
  // or the error the script or an application reported.
  virtual Result<AppleEventDescriptor> executeAndReturnError() = 0;
};

// Sending Apple events to other applications, and the privacy permission that guards it.
class AppleEvents {
 public:
  virtual ~AppleEvents() = default;
  // None when the platform cannot address an application by this identifier.
  virtual std::shared_ptr<const AppleEventTarget> targetDescriptor(
      const std::string& bundleIdentifier) = 0;
  // 0 when this program may send `target` such events. With `askUserIfNeeded` and the decision
  // still open, the platform may show its consent prompt and answer once the user has chosen.
  virtual OSStatus determinePermissionToAutomateTarget(const AppleEventTarget& target,
                                                       AEEventClass eventClass, AEEventID eventID,
                                                       bool askUserIfNeeded) = 0;
  // None when no script results from the source.
  virtual std::shared_ptr<AppleScript> compileScript(const std::string& source) = 0;
};

}  // namespace platform
