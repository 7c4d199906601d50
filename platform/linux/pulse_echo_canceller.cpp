#include "linux/pulse_echo_canceller.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "linux/pulse_server_queries.h"

namespace platform::linux_backend {
namespace {

constexpr const char* kModule = "module-echo-cancel";
constexpr const char* kSourcePrefix = "zuno_ec_source_";
constexpr const char* kSinkPrefix = "zuno_ec_sink_";
// Disabling runs on every way out of the program, so a server that stopped answering may
// delay the exit by this much and no more.
constexpr std::chrono::milliseconds kDisableTimeout{1000};

// The process whose canceller a module-echo-cancel instance is, from the source name in its
// arguments; none for any other module.
std::optional<pid_t> echoCancellerOwner(const std::string& moduleName,
                                        const std::string& arguments) {
  if (moduleName != kModule) return std::nullopt;
  const std::string key = std::string("source_name=") + kSourcePrefix;
  for (std::size_t at = arguments.find(key); at != std::string::npos;
       at = arguments.find(key, at + 1)) {
    if (at != 0 && !std::isspace(static_cast<unsigned char>(arguments[at - 1]))) continue;
    std::size_t end = at + key.size();
    pid_t pid = 0;
    bool digits = false;
    for (; end < arguments.size() && std::isdigit(static_cast<unsigned char>(arguments[end]));
         ++end) {
      if (pid > 99'999'999) return std::nullopt;
      pid = pid * 10 + (arguments[end] - '0');
      digits = true;
    }
    if (!digits || pid <= 0) return std::nullopt;
    if (end < arguments.size() && !std::isspace(static_cast<unsigned char>(arguments[end]))) {
      return std::nullopt;
    }
    return pid;
  }
  return std::nullopt;
}

bool processIsGone(pid_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Unloads every canceller whose owner `remove` picks. The first failure is reported, after
// trying the rest.
MaybeError removeCancellers(PulseConnection& connection, const std::function<bool(pid_t)>& remove,
                            PulseDeadline deadline) {
  auto modules = listModules(connection, deadline);
  if (!modules) return modules.error();
  MaybeError failure;
  for (const PulseModule& module : *modules) {
    const auto owner = echoCancellerOwner(module.name, module.arguments);
    if (!owner || !remove(*owner)) continue;
    auto error = unloadModule(connection, module.index, deadline);
    if (error && !failure) failure = std::move(error);
  }
  return failure;
}

}  // namespace

PulseEchoCanceller::PulseEchoCanceller(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)),
      sourceName_(kSourcePrefix + std::to_string(::getpid())),
      sinkName_(kSinkPrefix + std::to_string(::getpid())) {}

PulseEchoCanceller::~PulseEchoCanceller() {
  disable();
}

MaybeError PulseEchoCanceller::enable() {
  if (enabled_) return std::nullopt;
  const PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout);
  removeLeftovers(deadline);
  auto master = defaultSourceFormat(*connection_, deadline);
  if (!master) {
    return pulseError("voice processing is unavailable: " + master.error().description);
  }
  return load(master->name, deadline);
}

bool PulseEchoCanceller::isThere() {
  return enabled_ &&
         sourceFormat(*connection_, sourceName_, pulseDeadlineIn(kPulseRunningCallTimeout));
}

MaybeError PulseEchoCanceller::reload() {
  const PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout);
  enabled_ = false;
  removeLeftovers(deadline);
  return load(masterName_, deadline);
}

void PulseEchoCanceller::removeLeftovers(PulseDeadline deadline) {
  // A run killed outright could not remove its canceller; one named after this process is a
  // leftover too (an earlier process with the same id, or a load of ours that timed out). A
  // failure here only leaves them where they were.
  const pid_t self = ::getpid();
  removeCancellers(
      *connection_, [self](pid_t owner) { return owner == self || processIsGone(owner); },
      deadline);
}

MaybeError PulseEchoCanceller::load(const std::string& master, PulseDeadline deadline) {
  const std::string arguments =
      "source_name=" + sourceName_ + " sink_name=" + sinkName_ + " source_master=" + master;
  mayHaveModule_ = true;
  auto module = loadModule(*connection_, kModule, arguments, deadline);
  if (!module) {
    return pulseError(
        "voice processing is unavailable: the audio server cannot load its echo "
        "canceller (" +
        module.error().description + ")");
  }
  // The server may confirm the load before the canceller's source exists; recording it
  // before then would find no such input.
  if (auto source = awaitSource(*connection_, sourceName_, deadline); !source) {
    disable();
    return pulseError("voice processing is unavailable: " + source.error().description);
  }
  masterName_ = master;
  enabled_ = true;
  return std::nullopt;
}

MaybeError PulseEchoCanceller::disable() {
  enabled_ = false;
  if (!mayHaveModule_) return std::nullopt;
  // By name rather than by the index the load returned: after a reconnect the server may be a
  // new one whose index points at someone else's module.
  const pid_t self = ::getpid();
  auto error = removeCancellers(
      *connection_, [self](pid_t owner) { return owner == self; },
      pulseDeadlineIn(kDisableTimeout));
  if (error) return pulseError("voice processing was not removed: " + error->description);
  mayHaveModule_ = false;
  return std::nullopt;
}

}  // namespace platform::linux_backend
