#pragma once

#include <memory>

#include "platform/platform.h"

namespace platform::linux_backend {

// The shipped backend: every service real, composed once in the composition root.
class LinuxPlatform {
 public:
  LinuxPlatform(int argc, char** argv);
  ~LinuxPlatform();
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  Platform& platform() { return *platform_; }

 private:
  struct Services;
  std::unique_ptr<Services> services_;
  std::unique_ptr<Platform> platform_;
};

}  // namespace platform::linux_backend
