#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace platform::sim {

// The process as a test scripts it. Like the other services that only the program's main
// thread reaches, it takes no lock.
class SimProcessInfo : public ProcessInfo {
 public:
  std::vector<std::string> arguments() override { return arguments_; }
  std::optional<std::string> environment(const std::string& name) override;
  int processIdentifier() override { return 4242; }
  int parentProcessIdentifier() override { return 4241; }
  OperatingSystemVersion operatingSystemVersion() override { return version_; }
  // Counts up from ...000000000001 so tests can predict the identifiers they will see.
  std::string makeUUIDString() override;

  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  void setEnvironment(const std::string& name, std::string value) {
    environment_[name] = std::move(value);
  }
  void setOperatingSystemVersion(OperatingSystemVersion version) { version_ = version; }

 private:
  std::vector<std::string> arguments_{"zuno-recorder"};
  std::map<std::string, std::string> environment_;
  OperatingSystemVersion version_{15, 0, 0};
  std::uint64_t uuidsMade_ = 0;
};

// An in-memory tree of directories and files; paths are split on '/', so "a//b/" names "a/b".
class SimFileSystem : public FileSystem {
 public:
  MaybeError createDirectories(const std::string& path, unsigned mode) override;
  bool fileExists(const std::string& path) override;
  std::string currentDirectory() override { return currentDirectory_; }

  // Missing parents become directories.
  void addFile(const std::string& path);
  void setCurrentDirectory(std::string path) { currentDirectory_ = std::move(path); }

  std::optional<unsigned> directoryMode(const std::string& path) const;
  // Directories createDirectories made, in order, parents first.
  std::vector<std::string> createdDirectories() const { return created_; }

 private:
  struct Node {
    bool directory = false;
    unsigned mode = 0;
  };

  std::map<std::string, Node> nodes_;
  std::vector<std::string> created_;
  std::string currentDirectory_ = "/";
};

// Libraries and symbols a test declares; every call is logged so a test can check that each
// open is matched by a close and each string object is released.
class SimDynamicLoader : public DynamicLoader {
 public:
  void* open(const std::string& path, int mode) override;
  void* symbol(void* handle, const std::string& name) override;
  void close(void*) override { calls_.push_back("close"); }
  // The object is a std::string owned by the loader, so a fake function can read its text.
  const void* makeStringObject(const std::string& text) override;
  void releaseStringObject(const void* object) override;

  void addLibrary(const std::string& path) { libraries_.try_emplace(path); }
  void addSymbol(const std::string& path, const std::string& name, void* address) {
    libraries_[path][name] = address;
  }

  std::vector<std::string> calls() const { return calls_; }
  std::size_t liveStringObjects() const { return strings_.size(); }

 private:
  // A library's handle is the address of its symbol table, which the map never moves.
  using Symbols = std::map<std::string, void*>;

  std::map<std::string, Symbols> libraries_;
  std::vector<std::string> calls_;
  std::map<const void*, std::unique_ptr<std::string>> strings_;
};

}  // namespace platform::sim
