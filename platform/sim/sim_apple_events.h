#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/apple_events.h"

namespace platform::sim {

// Applications a test scripts: whether each can be addressed, what the permission query answers
// and what a script returns. Every call is logged in order, so a test can also check what was
// never asked (no permission query, no script). Only the main thread calls it.
class SimAppleEvents final : public AppleEvents {
 public:
  std::shared_ptr<const AppleEventTarget> targetDescriptor(
      const std::string& bundleIdentifier) override;
  OSStatus determinePermissionToAutomateTarget(const AppleEventTarget& target,
                                               AEEventClass eventClass, AEEventID eventID,
                                               bool askUserIfNeeded) override;
  std::shared_ptr<AppleScript> compileScript(const std::string& source) override;

  // --- script. Every identifier can be addressed until refused.
  void refuseTarget(const std::string& bundleIdentifier) { refused_.insert(bundleIdentifier); }
  // Default: errAEEventWouldRequireUserConsent when only checking, 0 when the user is asked
  // (who then agrees).
  void setPermissionStatus(OSStatus whenChecked, OSStatus whenAsked) {
    whenChecked_ = whenChecked;
    whenAsked_ = whenAsked;
  }
  // Default: compiles, and runs to an empty list.
  void failCompile() { compiles_ = false; }
  void setScriptResult(Result<AppleEventDescriptor> result) { result_ = std::move(result); }

  // --- what was asked: "targetDescriptor(ID)", "determinePermission(ID, CLASS, EVENT, ask: B)"
  // (codes as their four characters), "compileScript(SOURCE)", "executeAndReturnError"
  std::vector<std::string> calls() const { return calls_; }

 private:
  std::set<std::string> refused_;
  OSStatus whenChecked_ = errAEEventWouldRequireUserConsent;
  OSStatus whenAsked_ = 0;
  bool compiles_ = true;
  Result<AppleEventDescriptor> result_{AppleEventDescriptor{}};
  std::vector<std::string> calls_;
};

}  // namespace platform::sim
