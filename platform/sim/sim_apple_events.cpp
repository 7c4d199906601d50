#include "sim/sim_apple_events.h"

#include <functional>
#include <utility>

namespace platform::sim {
namespace {

struct SimTarget final : AppleEventTarget {
  explicit SimTarget(std::string id) : bundleIdentifier(std::move(id)) {}
  std::string bundleIdentifier;
};

class SimScript final : public AppleScript {
 public:
  explicit SimScript(std::function<Result<AppleEventDescriptor>()> run) : run_(std::move(run)) {}
  Result<AppleEventDescriptor> executeAndReturnError() override { return run_(); }

 private:
  std::function<Result<AppleEventDescriptor>()> run_;
};

}  // namespace

std::shared_ptr<const AppleEventTarget> SimAppleEvents::targetDescriptor(
    const std::string& bundleIdentifier) {
  calls_.push_back("targetDescriptor(" + bundleIdentifier + ")");
  if (refused_.contains(bundleIdentifier)) return nullptr;
  return std::make_shared<SimTarget>(bundleIdentifier);
}

OSStatus SimAppleEvents::determinePermissionToAutomateTarget(const AppleEventTarget& target,
                                                             AEEventClass eventClass,
                                                             AEEventID eventID,
                                                             bool askUserIfNeeded) {
  calls_.push_back("determinePermission(" +
                   dynamic_cast<const SimTarget&>(target).bundleIdentifier + ", " +
                   fourCCText(eventClass) + ", " + fourCCText(eventID) +
                   ", ask: " + (askUserIfNeeded ? "true" : "false") + ")");
  return askUserIfNeeded ? whenAsked_ : whenChecked_;
}

std::shared_ptr<AppleScript> SimAppleEvents::compileScript(const std::string& source) {
  calls_.push_back("compileScript(" + source + ")");
  if (!compiles_) return nullptr;
  // The result is the one scripted when the script runs, not when it was compiled.
  return std::make_shared<SimScript>([this] {
    calls_.push_back("executeAndReturnError");
    return result_;
  });
}

}  // namespace platform::sim
