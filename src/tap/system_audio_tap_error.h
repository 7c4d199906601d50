#pragma once

#include <cstdint>
#include <string>

#include "core/described_error.h"

namespace zuno {

class SystemAudioTapError final : public DescribedError {
 public:
  enum class Kind {
    tapCreateFailed,
    aggregateCreateFailed,
    ioProcFailed,
    unsupportedOS,
    permissionDenied,
    formatUnavailable
  };

  static SystemAudioTapError tapCreateFailed(std::int32_t status) {
    return {Kind::tapCreateFailed, status};
  }
  static SystemAudioTapError aggregateCreateFailed(std::int32_t status) {
    return {Kind::aggregateCreateFailed, status};
  }
  static SystemAudioTapError ioProcFailed(std::int32_t status) {
    return {Kind::ioProcFailed, status};
  }
  static SystemAudioTapError unsupportedOS() { return {Kind::unsupportedOS, 0}; }
  static SystemAudioTapError permissionDenied() { return {Kind::permissionDenied, 0}; }
  static SystemAudioTapError formatUnavailable() { return {Kind::formatUnavailable, 0}; }

  Kind kind() const { return kind_; }
  std::int32_t status() const { return status_; }

  std::string description() const override {
    switch (kind_) {
      case Kind::tapCreateFailed:
        return "AudioHardwareCreateProcessTap failed: " + std::to_string(status_);
      case Kind::aggregateCreateFailed:
        return "AudioHardwareCreateAggregateDevice failed: " + std::to_string(status_);
      case Kind::ioProcFailed:
        // Registration and start failures alike: for the user both mean the device did not run.
        return "AudioDeviceStart(IOProc) failed: " + std::to_string(status_);
      case Kind::unsupportedOS:
        return "system audio tap requires macOS 14.4+";
      case Kind::permissionDenied:
        return "system audio recording permission denied";
      case Kind::formatUnavailable:
        return "tap stream format unavailable";
    }
    return {};
  }
  std::string debugDescription() const override { return description(); }

 private:
  SystemAudioTapError(Kind kind, std::int32_t status) : kind_(kind), status_(status) {}
  Kind kind_;
  std::int32_t status_;
};

}  // namespace zuno
