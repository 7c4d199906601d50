#include "linux/linux_process.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace platform::linux_backend {
namespace {

Error fileSystemError(const std::string& path, int code) {
  return Error{"zuno-recorder.fs", code,
               "cannot create directory at " + path + ": " + std::strerror(code)};
}

}  // namespace

LinuxProcessInfo::LinuxProcessInfo(int argc, char** argv) : arguments_(argv, argv + argc) {}

std::optional<std::string> LinuxProcessInfo::environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

int LinuxProcessInfo::processIdentifier() {
  return ::getpid();
}
int LinuxProcessInfo::parentProcessIdentifier() {
  return ::getppid();
}

std::string LinuxProcessInfo::makeUUIDString() {
  std::random_device device;
  unsigned char bytes[16];
  for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

MaybeError LinuxFileSystem::createDirectories(const std::string& path, unsigned mode) {
  std::size_t at = 0;
  while (at != std::string::npos) {
    at = path.find('/', at + 1);
    const std::string prefix = path.substr(0, at);
    if (prefix.empty()) continue;
    struct stat info {};
    if (::stat(prefix.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) return fileSystemError(path, ENOTDIR);
      continue;
    }
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      return fileSystemError(path, errno);
    }
    // mkdir applies the umask; the directories this program makes are exactly `mode`.
    ::chmod(prefix.c_str(), mode);
  }
  return std::nullopt;
}

bool LinuxFileSystem::fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string LinuxFileSystem::currentDirectory() {
  std::error_code error;
  auto directory = std::filesystem::current_path(error);
  return error ? std::string() : directory.string();
}

void* LinuxDynamicLoader::open(const std::string& path, int mode) {
  return ::dlopen(path.c_str(), mode);
}
void* LinuxDynamicLoader::symbol(void* handle, const std::string& name) {
  return ::dlsym(handle, name.c_str());
}
void LinuxDynamicLoader::close(void* handle) {
  ::dlclose(handle);
}

const void* LinuxDynamicLoader::makeStringObject(const std::string& text) {
  return new std::string(text);
}
void LinuxDynamicLoader::releaseStringObject(const void* object) {
  delete static_cast<const std::string*>(object);
}

}  // namespace platform::linux_backend
