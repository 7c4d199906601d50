#include "tap/system_audio_permission.h"

#include <cstdint>

namespace zuno {
namespace {

constexpr const char* kPrivacyLibraryPath =
    "/System/Library/PrivateFrameworks/TCC.framework/Versions/A/TCC";
constexpr const char* kPreflightSymbol = "TCCAccessPreflight";
constexpr const char* kAudioCaptureService = "kTCCServiceAudioCapture";
constexpr int kResolveNow = 2;

using PreflightFunction = std::int32_t (*)(const void* service, const void* options);

}  // namespace

std::string_view permissionWord(SystemAudioPermission permission) {
  switch (permission) {
    case SystemAudioPermission::granted:
      return "granted";
    case SystemAudioPermission::denied:
      return "denied";
    case SystemAudioPermission::undetermined:
      break;
  }
  return "undetermined";
}

SystemAudioPermission systemAudioCapturePreflight(platform::DynamicLoader& loader) {
  void* library = loader.open(kPrivacyLibraryPath, kResolveNow);
  if (library == nullptr) return SystemAudioPermission::undetermined;
  void* symbol = loader.symbol(library, kPreflightSymbol);
  if (symbol == nullptr) {
    loader.close(library);
    return SystemAudioPermission::undetermined;
  }
  const auto preflight = reinterpret_cast<PreflightFunction>(symbol);
  const void* service = loader.makeStringObject(kAudioCaptureService);
  const std::int32_t answer = preflight(service, nullptr);
  loader.releaseStringObject(service);
  loader.close(library);
  switch (answer) {
    case 0:
      return SystemAudioPermission::granted;
    case 1:
      return SystemAudioPermission::denied;
    default:
      return SystemAudioPermission::undetermined;
  }
}

}  // namespace zuno
