#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/process.h"

namespace platform::sim {

class SimProcessInfo : public ProcessInfo {
 public:
  std::vector<std::string> arguments() override;
  std::optional<std::string> environment(const std::string& name) override;
  int processIdentifier() override;
  int parentProcessIdentifier() override;
  OperatingSystemVersion operatingSystemVersion() override;
  // Counts up from ...000000000001 so tests can predict the identifiers they will see.
  std::string makeUUIDString() override;

  void setArguments(std::vector<std::string> arguments);
  void setEnvironment(const std::string& name, std::string value);
  void unsetEnvironment(const std::string& name);
  void setProcessIdentifier(int pid);
  void setParentProcessIdentifier(int ppid);
  void setOperatingSystemVersion(OperatingSystemVersion version);
  std::uint64_t uuidsMade() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> arguments_{"zuno-recorder"};
  std::map<std::string, std::string> environment_;
  int pid_ = 4242;
  int ppid_ = 4241;
  OperatingSystemVersion version_{15, 0, 0};
  std::uint64_t uuidsMade_ = 0;
};

// An in-memory tree of directories and files; paths are split on '/', so "a//b/" names "a/b".
class SimFileSystem : public FileSystem {
 public:
  MaybeError createDirectories(const std::string& path, unsigned mode) override;
  bool fileExists(const std::string& path) override;
  std::string currentDirectory() override;

  void addFile(const std::string& path);
  void setCurrentDirectory(std::string path);
  void addDirectory(const std::string& path, unsigned mode);
  // Every later createDirectories fails with `error` until cleared with nullopt.
  void failCreateDirectories(std::optional<Error> error);

  std::optional<unsigned> directoryMode(const std::string& path) const;
  bool isDirectory(const std::string& path) const;
  // Directories createDirectories made, in order, parents first.
  std::vector<std::string> createdDirectories() const;

 private:
  struct Node {
    bool directory = false;
    unsigned mode = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;
  std::vector<std::string> created_;
  std::optional<Error> injectedFailure_;
  std::string currentDirectory_ = "/";
};

// Libraries and symbols a test declares; every call is logged so a test can check that each
// open is matched by a close and each string object is released.
class SimDynamicLoader : public DynamicLoader {
 public:
  void* open(const std::string& path, int mode) override;
  void* symbol(void* handle, const std::string& name) override;
  void close(void* handle) override;
  // The object is a std::string owned by the loader; a fake function can read it back with
  // `SimDynamicLoader::textOf`.
  const void* makeStringObject(const std::string& text) override;
  void releaseStringObject(const void* object) override;

  void addLibrary(const std::string& path);
  void addSymbol(const std::string& path, const std::string& name, void* address);

  std::vector<std::string> calls() const;
  int openHandles() const;
  std::size_t liveStringObjects() const;
  static const std::string& textOf(const void* stringObject);

 private:
  struct Library {
    std::string path;
    std::map<std::string, void*> symbols;
  };

  mutable std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Library>> libraries_;
  std::vector<std::string> calls_;
  int openHandles_ = 0;
  std::map<const void*, std::unique_ptr<std::string>> strings_;
};

}  // namespace platform::sim
