#pragma once

#include <thread>

#include "platform/audio_engine.h"

namespace platform::linux_backend {

// Linux puts no privacy gate in front of capture devices: the answer is always yes.
class LinuxMicrophonePermission final : public MicrophonePermission {
 public:
  CaptureAuthorizationStatus authorizationStatus() override {
    return CaptureAuthorizationStatus::authorized;
  }
  void requestAccess(std::function<void(bool)> completion) override {
    std::thread([completion = std::move(completion)] { completion(true); }).detach();
  }
};

}  // namespace platform::linux_backend
