#include "linux/process_sandbox.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

namespace platform::linux_backend {
namespace {

// Small records: a bound keeps a strange file from being read whole.
constexpr std::size_t kRecordLimit = 64 * 1024;

std::string readRecord(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  text.resize(kRecordLimit);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  return text;
}

std::string procPath(std::int32_t pid, std::string_view entry) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(entry);
}

// A snap's name or app: lowercase letters, digits and hyphens.
bool isSnapWord(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!(std::islower(static_cast<unsigned char>(c)) ||
          std::isdigit(static_cast<unsigned char>(c)) || c == '-')) {
      return false;
    }
  }
  return true;
}

// "snap.<snap>.<app>" as the command snapd installs for it: the snap's name alone when the app
// is named after the snap.
std::string snapCommandOfTag(std::string_view tag) {
  if (!tag.starts_with("snap.")) return {};
  tag.remove_prefix(5);
  const std::size_t dot = tag.find('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view snap = tag.substr(0, dot);
  const std::string_view app = tag.substr(dot + 1);
  if (!isSnapWord(snap) || !isSnapWord(app)) return {};
  return app == snap ? std::string(snap) : std::string(snap) + "." + std::string(app);
}

bool isUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

std::string flatpakAppIdIn(std::string_view flatpakInfo) {
  std::istringstream lines{std::string(flatpakInfo)};
  bool inApplication = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with('[')) {
      inApplication = line == "[Application]";
      continue;
    }
    if (inApplication && line.starts_with("name=")) return line.substr(5);
  }
  return {};
}

std::string snapCommandOfAppArmorLabel(std::string_view label) {
  const std::size_t mode = label.find(" (");
  if (mode != std::string_view::npos) label = label.substr(0, mode);
  while (!label.empty() && (label.back() == '\n' || label.back() == ' ')) label.remove_suffix(1);
  return snapCommandOfTag(label);
}

std::string snapCommandOfCgroups(std::string_view cgroups) {
  for (std::size_t start = 0; start < cgroups.size();) {
    std::size_t end = cgroups.find_first_of("/\n", start);
    if (end == std::string_view::npos) end = cgroups.size();
    std::string_view part = cgroups.substr(start, end - start);
    start = end + 1;
    if (!part.starts_with("snap.") || !part.ends_with(".scope")) continue;
    part.remove_suffix(6);
    if (part.size() < 37 || !isUuid(part.substr(part.size() - 36))) continue;
    const char separator = part[part.size() - 37];
    if (separator != '-' && separator != '.') continue;
    if (auto command = snapCommandOfTag(part.substr(0, part.size() - 37)); !command.empty()) {
      return command;
    }
  }
  return {};
}

ProcessSandbox sandboxOf(std::int32_t hostPid) {
  ProcessSandbox sandbox;
  if (hostPid <= 0) return sandbox;
  sandbox.flatpakAppId = flatpakAppIdIn(readRecord(procPath(hostPid, "root/.flatpak-info")));
  if (!sandbox.flatpakAppId.empty()) return sandbox;
  // Newer kernels keep each security module's label apart; older ones have the one label.
  std::string label = readRecord(procPath(hostPid, "attr/apparmor/current"));
  if (label.empty()) label = readRecord(procPath(hostPid, "attr/current"));
  sandbox.snapCommand = snapCommandOfAppArmorLabel(label);
  if (sandbox.snapCommand.empty()) {
    sandbox.snapCommand = snapCommandOfCgroups(readRecord(procPath(hostPid, "cgroup")));
  }
  return sandbox;
}

std::string commandNameOf(std::int32_t hostPid) {
  if (hostPid <= 0) return {};
  std::string name = readRecord(procPath(hostPid, "comm"));
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

}  // namespace platform::linux_backend
