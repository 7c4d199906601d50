#include "sim/sim_process.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace platform::sim {

std::vector<std::string> SimProcessInfo::arguments() {
  std::lock_guard lock(mutex_);
  return arguments_;
}

std::optional<std::string> SimProcessInfo::environment(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto found = environment_.find(name);
  if (found == environment_.end()) return std::nullopt;
  return found->second;
}

int SimProcessInfo::processIdentifier() {
  std::lock_guard lock(mutex_);
  return pid_;
}

int SimProcessInfo::parentProcessIdentifier() {
  std::lock_guard lock(mutex_);
  return ppid_;
}

OperatingSystemVersion SimProcessInfo::operatingSystemVersion() {
  std::lock_guard lock(mutex_);
  return version_;
}

std::string SimProcessInfo::makeUUIDString() {
  std::uint64_t serial;
  {
    std::lock_guard lock(mutex_);
    serial = ++uuidsMade_;
  }
  // Version 4 and variant bits set, so the text passes any UUID validation the code does.
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012" PRIX64,
                static_cast<std::uint64_t>(serial & 0xFFFF'FFFF'FFFFu));
  return text;
}

void SimProcessInfo::setArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(mutex_);
  arguments_ = std::move(arguments);
}

void SimProcessInfo::setEnvironment(const std::string& name, std::string value) {
  std::lock_guard lock(mutex_);
  environment_[name] = std::move(value);
}

void SimProcessInfo::unsetEnvironment(const std::string& name) {
  std::lock_guard lock(mutex_);
  environment_.erase(name);
}

void SimProcessInfo::setProcessIdentifier(int pid) {
  std::lock_guard lock(mutex_);
  pid_ = pid;
}

void SimProcessInfo::setParentProcessIdentifier(int ppid) {
  std::lock_guard lock(mutex_);
  ppid_ = ppid;
}

void SimProcessInfo::setOperatingSystemVersion(OperatingSystemVersion version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}

std::uint64_t SimProcessInfo::uuidsMade() const {
  std::lock_guard lock(mutex_);
  return uuidsMade_;
}

namespace {

constexpr const char* kFileSystemDomain = "zuno-recorder.fs";
constexpr long kNotADirectory = 20;  // ENOTDIR, what mkdir reports through a file
constexpr long kNoSuchFile = 2;      // ENOENT, what mkdir reports for an empty path

// The cumulative prefixes of a path: "/a/b" gives "/a", "/a/b"; "a/b" gives "a", "a/b".
std::vector<std::string> prefixesOf(const std::string& path) {
  std::vector<std::string> prefixes;
  std::string current = path.starts_with('/') ? "" : ".";
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(begin, end - begin);
    if (!component.empty() && component != ".") {
      current = current == "." ? component : current + "/" + component;
      prefixes.push_back(current);
    }
    begin = end + 1;
  }
  return prefixes;
}

std::string normalized(const std::string& path) {
  auto prefixes = prefixesOf(path);
  if (prefixes.empty()) return path.starts_with('/') ? "/" : ".";
  return prefixes.back();
}

}  // namespace

MaybeError SimFileSystem::createDirectories(const std::string& path, unsigned mode) {
  std::lock_guard lock(mutex_);
  if (injectedFailure_) return injectedFailure_;
  if (path.empty()) {
    return Error{kFileSystemDomain, kNoSuchFile,
                 "cannot create directory at " + path + ": No such file or directory"};
  }
  auto prefixes = prefixesOf(path);
  // Refuse before creating anything, so a failed call leaves the tree as it was.
  for (const auto& prefix : prefixes) {
    auto found = nodes_.find(prefix);
    if (found != nodes_.end() && !found->second.directory) {
      return Error{kFileSystemDomain, kNotADirectory,
                   "cannot create directory at " + path + ": Not a directory"};
    }
  }
  for (const auto& prefix : prefixes) {
    if (nodes_.contains(prefix)) continue;
    nodes_[prefix] = Node{true, mode};
    created_.push_back(prefix);
  }
  return std::nullopt;
}

bool SimFileSystem::fileExists(const std::string& path) {
  std::string key = normalized(path);
  if (key == "/" || key == ".") return true;
  std::lock_guard lock(mutex_);
  return nodes_.contains(key);
}

std::string SimFileSystem::currentDirectory() {
  std::lock_guard lock(mutex_);
  return currentDirectory_;
}

void SimFileSystem::setCurrentDirectory(std::string path) {
  std::lock_guard lock(mutex_);
  currentDirectory_ = std::move(path);
}

void SimFileSystem::addFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto prefixes = prefixesOf(path);
  for (std::size_t i = 0; i + 1 < prefixes.size(); ++i) {
    nodes_.try_emplace(prefixes[i], Node{true, 0755});
  }
  if (!prefixes.empty()) nodes_[prefixes.back()] = Node{false, 0644};
}

void SimFileSystem::addDirectory(const std::string& path, unsigned mode) {
  std::lock_guard lock(mutex_);
  for (const auto& prefix : prefixesOf(path)) nodes_.try_emplace(prefix, Node{true, mode});
}

void SimFileSystem::failCreateDirectories(std::optional<Error> error) {
  std::lock_guard lock(mutex_);
  injectedFailure_ = std::move(error);
}

std::optional<unsigned> SimFileSystem::directoryMode(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto found = nodes_.find(normalized(path));
  if (found == nodes_.end() || !found->second.directory) return std::nullopt;
  return found->second.mode;
}

bool SimFileSystem::isDirectory(const std::string& path) const {
  return directoryMode(path).has_value();
}

std::vector<std::string> SimFileSystem::createdDirectories() const {
  std::lock_guard lock(mutex_);
  return created_;
}

void* SimDynamicLoader::open(const std::string& path, int mode) {
  std::lock_guard lock(mutex_);
  calls_.push_back("open " + path + " " + std::to_string(mode));
  auto found = libraries_.find(path);
  if (found == libraries_.end()) return nullptr;
  ++openHandles_;
  return found->second.get();
}

void* SimDynamicLoader::symbol(void* handle, const std::string& name) {
  std::lock_guard lock(mutex_);
  calls_.push_back("symbol " + name);
  for (const auto& [path, library] : libraries_) {
    if (library.get() != handle) continue;
    auto found = library->symbols.find(name);
    return found == library->symbols.end() ? nullptr : found->second;
  }
  return nullptr;
}

void SimDynamicLoader::close(void* handle) {
  std::lock_guard lock(mutex_);
  calls_.push_back("close");
  for (const auto& [path, library] : libraries_) {
    if (library.get() == handle) --openHandles_;
  }
}

const void* SimDynamicLoader::makeStringObject(const std::string& text) {
  std::lock_guard lock(mutex_);
  calls_.push_back("makeString " + text);
  auto owned = std::make_unique<std::string>(text);
  const void* object = owned.get();
  strings_.emplace(object, std::move(owned));
  return object;
}

void SimDynamicLoader::releaseStringObject(const void* object) {
  std::lock_guard lock(mutex_);
  calls_.push_back("releaseString");
  strings_.erase(object);
}

void SimDynamicLoader::addLibrary(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto& library = libraries_[path];
  if (!library) library = std::make_unique<Library>(Library{path, {}});
}

void SimDynamicLoader::addSymbol(const std::string& path, const std::string& name, void* address) {
  addLibrary(path);
  std::lock_guard lock(mutex_);
  libraries_[path]->symbols[name] = address;
}

std::vector<std::string> SimDynamicLoader::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int SimDynamicLoader::openHandles() const {
  std::lock_guard lock(mutex_);
  return openHandles_;
}

std::size_t SimDynamicLoader::liveStringObjects() const {
  std::lock_guard lock(mutex_);
  return strings_.size();
}

const std::string& SimDynamicLoader::textOf(const void* stringObject) {
  return *static_cast<const std::string*>(stringObject);
}

}  // namespace platform::sim
