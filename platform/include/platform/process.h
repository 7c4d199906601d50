#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

struct OperatingSystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  // All arguments, the program path first.
  virtual std::vector<std::string> arguments() = 0;
  virtual std::optional<std::string> environment(const std::string& name) = 0;
  virtual int processIdentifier() = 0;
  virtual int parentProcessIdentifier() = 0;
  // The release of the platform whose services this backend provides; version gates in the
  // logic compare against it.
  virtual OperatingSystemVersion operatingSystemVersion() = 0;
  // A fresh UUID in canonical upper-case text form.
  virtual std::string makeUUIDString() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Creates `path` and every missing parent with `mode`; an existing directory is fine.
  virtual MaybeError createDirectories(const std::string& path, unsigned mode) = 0;
  virtual bool fileExists(const std::string& path) = 0;
  // The process's working directory, against which relative paths are resolved; empty when it
  // cannot be told (removed, or too long).
  virtual std::string currentDirectory() = 0;
};

// dlopen / dlsym / dlclose, and the platform string object some looked-up functions take.
class DynamicLoader {
 public:
  virtual ~DynamicLoader() = default;
  virtual void* open(const std::string& path, int mode) = 0;
  virtual void* symbol(void* handle, const std::string& name) = 0;
  virtual void close(void* handle) = 0;
  virtual const void* makeStringObject(const std::string& text) = 0;
  virtual void releaseStringObject(const void* object) = 0;
};

}  // namespace platform
