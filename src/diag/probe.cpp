#include "diag/probe.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string_view>

#include "core/run_failure.h"
#include "core/system_releases.h"
#include "diag/answer.h"
#include "diag/automation_permission.h"
#include "tap/system_audio_permission.h"
#include "tap/system_audio_tap.h"

namespace zuno {
namespace {

// Long enough for the system to notice the capture and ask about it.
constexpr auto kTapRunTime = std::chrono::milliseconds(500);

int report(platform::Runtime& runtime, std::string_view permission) {
  return answer(runtime, Event{{"event", "probe"}, {"permission", permission}});
}

// The request answers at once when the user has decided, and after the prompt otherwise, on
// another thread; a restricted microphone answers no.
int probeMicrophone(platform::Platform& platform) {
  auto answered = platform.runtime.makeSemaphore(0);
  auto granted = std::make_shared<std::atomic<bool>>(false);
  platform.microphonePermission.requestAccess([answered, granted](bool answer) {
    granted->store(answer);
    answered->signal();
  });
  answered->wait();
  return report(platform.runtime, granted->load() ? "granted" : "denied");
}

// There is no call that asks for the system-audio permission: creating and running a tap is
// what makes the system ask while it is still open. Whether that worked does not matter, the
// preflight afterwards says how the permission stands. The tap is gone before the answer, so
// nothing of it outlives the process.
int probeSystemAudio(platform::Platform& platform) {
  if (!offersProcessTaps(platform.process.operatingSystemVersion())) {
    return report(platform.runtime, "undetermined");
  }
  try {
    auto tap = SystemAudioTap::create(platform);
    tap->start([](const platform::PCMBufferPtr&) {});
    platform.runtime.sleepFor(kTapRunTime);
    tap->stop();
  } catch (const DescribedError&) {
    // A tap that cannot be made or started leaves the permission as the preflight finds it.
  }
  return report(platform.runtime, permissionWord(systemAudioCapturePreflight(platform.loader)));
}

int probeAutomation(platform::Platform& platform, const OptionMap& options) {
  const std::string bundleId = optionValue(options, "bundle");
  if (bundleId.empty()) {
    fail("usage", "probe automation requires --bundle <BUNDLE_ID>");
  }
  // A flag: present with any value, the empty one included.
  const bool ask = options.find("check-only") == options.end();
  return report(platform.runtime, automationPermissionState(platform.appleEvents, bundleId, ask));
}

}  // namespace

int runProbe(platform::Platform& platform, const std::string& kind, const OptionMap& options) {
  if (kind == "mic") return probeMicrophone(platform);
  if (kind == "system") return probeSystemAudio(platform);
  if (kind == "automation") return probeAutomation(platform, options);
  fail("usage", "probe requires <mic|system|automation>");
}

}  // namespace zuno
