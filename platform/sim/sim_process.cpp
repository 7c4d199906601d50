#include "sim/sim_process.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace platform::sim {

std::optional<std::string> SimProcessInfo::environment(const std::string& name) {
  auto found = environment_.find(name);
  if (found == environment_.end()) return std::nullopt;
  return found->second;
}

std::string SimProcessInfo::makeUUIDString() {
  // Version 4 and variant bits set, so the text passes any UUID validation the code does.
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012" PRIX64,
                static_cast<std::uint64_t>(++uuidsMade_ & 0xFFFF'FFFF'FFFFu));
  return text;
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
    if (nodes_.try_emplace(prefix, Node{true, mode}).second) created_.push_back(prefix);
  }
  return std::nullopt;
}

bool SimFileSystem::fileExists(const std::string& path) {
  std::string key = normalized(path);
  return key == "/" || key == "." || nodes_.contains(key);
}

void SimFileSystem::addFile(const std::string& path) {
  auto prefixes = prefixesOf(path);
  for (std::size_t i = 0; i + 1 < prefixes.size(); ++i) {
    nodes_.try_emplace(prefixes[i], Node{true, 0755});
  }
  if (!prefixes.empty()) nodes_[prefixes.back()] = Node{false, 0644};
}

std::optional<unsigned> SimFileSystem::directoryMode(const std::string& path) const {
  auto found = nodes_.find(normalized(path));
  if (found == nodes_.end() || !found->second.directory) return std::nullopt;
  return found->second.mode;
}

void* SimDynamicLoader::open(const std::string& path, int mode) {
  calls_.push_back("open " + path + " " + std::to_string(mode));
  auto found = libraries_.find(path);
  return found == libraries_.end() ? nullptr : &found->second;
}

void* SimDynamicLoader::symbol(void* handle, const std::string& name) {
  calls_.push_back("symbol " + name);
  for (const auto& [path, symbols] : libraries_) {
    if (&symbols != handle) continue;
    auto found = symbols.find(name);
    return found == symbols.end() ? nullptr : found->second;
  }
  return nullptr;
}

const void* SimDynamicLoader::makeStringObject(const std::string& text) {
  calls_.push_back("makeString " + text);
  auto owned = std::make_unique<std::string>(text);
  const void* object = owned.get();
  strings_.emplace(object, std::move(owned));
  return object;
}

void SimDynamicLoader::releaseStringObject(const void* object) {
  calls_.push_back("releaseString");
  strings_.erase(object);
}

}  // namespace platform::sim
