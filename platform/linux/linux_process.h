#pragma once

#include <string>
#include <vector>

#include "platform/process.h"

namespace platform::linux_backend {

class LinuxProcessInfo final : public ProcessInfo {
 public:
  LinuxProcessInfo(int argc, char** argv);
  std::vector<std::string> arguments() override { return arguments_; }
  std::optional<std::string> environment(const std::string& name) override;
  int processIdentifier() override;
  int parentProcessIdentifier() override;
  // The release whose services this backend provides (process taps yes, the newer speech
  // analyzer no), so the logic's version checks take the paths Linux can serve.
  OperatingSystemVersion operatingSystemVersion() override { return {15, 0, 0}; }
  std::string makeUUIDString() override;

 private:
  std::vector<std::string> arguments_;
};

class LinuxFileSystem final : public FileSystem {
 public:
  MaybeError createDirectories(const std::string& path, unsigned mode) override;
  bool fileExists(const std::string& path) override;
  std::string currentDirectory() override;
};

class LinuxDynamicLoader final : public DynamicLoader {
 public:
  void* open(const std::string& path, int mode) override;
  void* symbol(void* handle, const std::string& name) override;
  void close(void* handle) override;
  const void* makeStringObject(const std::string& text) override;
  void releaseStringObject(const void* object) override;
};

}  // namespace platform::linux_backend
