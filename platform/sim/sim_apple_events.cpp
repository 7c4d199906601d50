#include "sim/sim_apple_events.h"

#include <utility>

namespace platform::sim {
namespace {

struct SimTarget final : AppleEventTarget {
  explicit SimTarget(std::string id) : bundleIdentifier(std::move(id)) {}
  std::string bundleIdentifier;
};

class SimScript final : public AppleScript {
 public:
  explicit SimScript(SimAppleEvents& service) : service_(service) {}
  Result<AppleEventDescriptor> executeAndReturnError() override {
    service_.log("executeAndReturnError");
    return service_.scriptResult();
  }

 private:
  SimAppleEvents& service_;
};

std::string fourCharacters(FourCharCode code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
          static_cast<char>(code >> 8), static_cast<char>(code)};
}

}  // namespace

std::shared_ptr<const AppleEventTarget> SimAppleEvents::targetDescriptor(
    const std::string& bundleIdentifier) {
  log("targetDescriptor(" + bundleIdentifier + ")");
  std::lock_guard lock(mutex_);
  if (refused_.count(bundleIdentifier) != 0) return nullptr;
  return std::make_shared<SimTarget>(bundleIdentifier);
}

OSStatus SimAppleEvents::determinePermissionToAutomateTarget(const AppleEventTarget& target,
                                                             AEEventClass eventClass,
                                                             AEEventID eventID,
                                                             bool askUserIfNeeded) {
  const auto& simTarget = dynamic_cast<const SimTarget&>(target);
  log("determinePermission(" + simTarget.bundleIdentifier + ", " + fourCharacters(eventClass) +
      ", " + fourCharacters(eventID) + ", ask: " + (askUserIfNeeded ? "true" : "false") + ")");
  std::lock_guard lock(mutex_);
  return askUserIfNeeded ? whenAsked_ : whenChecked_;
}

std::shared_ptr<AppleScript> SimAppleEvents::compileScript(const std::string& source) {
  log("compileScript(" + source + ")");
  std::lock_guard lock(mutex_);
  if (!compiles_) return nullptr;
  return std::make_shared<SimScript>(*this);
}

void SimAppleEvents::refuseTarget(const std::string& bundleIdentifier) {
  std::lock_guard lock(mutex_);
  refused_.insert(bundleIdentifier);
}

void SimAppleEvents::setPermissionStatus(OSStatus whenChecked, OSStatus whenAsked) {
  std::lock_guard lock(mutex_);
  whenChecked_ = whenChecked;
  whenAsked_ = whenAsked;
}

void SimAppleEvents::failCompile() {
  std::lock_guard lock(mutex_);
  compiles_ = false;
}

void SimAppleEvents::setScriptResult(Result<AppleEventDescriptor> result) {
  std::lock_guard lock(mutex_);
  result_ = std::move(result);
}

std::vector<std::string> SimAppleEvents::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void SimAppleEvents::log(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

Result<AppleEventDescriptor> SimAppleEvents::scriptResult() const {
  std::lock_guard lock(mutex_);
  return result_;
}

}  // namespace platform::sim
