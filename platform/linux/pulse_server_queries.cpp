#include "linux/pulse_server_queries.h"

#include <chrono>
#include <thread>

namespace platform::linux_backend {
namespace {

struct ServerDefaults {
  std::string sinkName;
  std::string sourceName;
};

struct Reply {
  explicit Reply(PulseConnection& owner) : connection(&owner) {}
  PulseConnection* connection;
  bool found = false;
  PulseDeviceFormat format;
  ServerDefaults defaults;
  std::vector<PulseModule> modules;
  std::uint32_t index = PA_INVALID_INDEX;
  bool success = false;
};

using Outcome = PulseConnection::Outcome;

// Why a question got no usable answer.
std::string failureText(PulseConnection& connection, Outcome outcome) {
  return outcome == Outcome::timedOut ? "no answer in time" : connection.lastErrorText();
}

// Every helper below runs under the mainloop lock and waits for its callback.
Result<ServerDefaults> serverDefaultsLocked(PulseConnection& connection, PulseDeadline deadline) {
  Reply reply(connection);
  pa_operation* operation = pa_context_get_server_info(
      connection.context(),
      [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        if (info != nullptr) {
          reply->found = true;
          if (info->default_sink_name != nullptr)
            reply->defaults.sinkName = info->default_sink_name;
          if (info->default_source_name != nullptr) {
            reply->defaults.sourceName = info->default_source_name;
          }
        }
        reply->connection->signal();
      },
      &reply);
  const Outcome outcome = connection.waitFor(operation, deadline);
  if (outcome != Outcome::done || !reply.found) {
    return pulseError("the audio server did not describe itself: " +
                      failureText(connection, outcome));
  }
  return reply.defaults;
}

Result<PulseDeviceFormat> sourceFormatLocked(PulseConnection& connection, const std::string& name,
                                             PulseDeadline deadline) {
  Reply reply(connection);
  pa_operation* operation = pa_context_get_source_info_by_name(
      connection.context(), name.c_str(),
      [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        if (eol == 0 && info != nullptr) {
          reply->found = true;
          reply->format.name = info->name;
          reply->format.sampleSpec = info->sample_spec;
          reply->format.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
          if (info->monitor_of_sink_name != nullptr) {
            reply->format.monitoredSinkName = info->monitor_of_sink_name;
          }
        }
        if (eol != 0) reply->connection->signal();
      },
      &reply);
  const Outcome outcome = connection.waitFor(operation, deadline);
  if (outcome == Outcome::timedOut) {
    return pulseError("the audio server did not describe the audio input \"" + name +
                      "\": no answer in time");
  }
  if (!reply.found) return pulseError("the audio input \"" + name + "\" does not exist");
  return reply.format;
}

Result<PulseDeviceFormat> sinkFormatLocked(PulseConnection& connection, const std::string& name,
                                           PulseDeadline deadline) {
  Reply reply(connection);
  pa_operation* operation = pa_context_get_sink_info_by_name(
      connection.context(), name.c_str(),
      [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        if (eol == 0 && info != nullptr) {
          reply->found = true;
          reply->format.name = info->name;
          reply->format.sampleSpec = info->sample_spec;
          if (info->monitor_source_name != nullptr) {
            reply->format.monitorSourceName = info->monitor_source_name;
          }
        }
        if (eol != 0) reply->connection->signal();
      },
      &reply);
  const Outcome outcome = connection.waitFor(operation, deadline);
  if (outcome == Outcome::timedOut) {
    return pulseError("the audio server did not describe the audio output \"" + name +
                      "\": no answer in time");
  }
  if (!reply.found) return pulseError("the audio output \"" + name + "\" does not exist");
  return reply.format;
}

}  // namespace

Result<PulseDeviceFormat> defaultSourceFormat(PulseConnection& connection, PulseDeadline deadline) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  auto defaults = serverDefaultsLocked(connection, deadline);
  if (!defaults) return defaults.error();
  if (defaults->sourceName.empty()) return pulseError("the audio server has no default input");
  auto source = sourceFormatLocked(connection, defaults->sourceName, deadline);
  if (source && source->isMonitor) {
    const std::string output = source->monitoredSinkName.empty()
                                   ? "an audio output"
                                   : "the audio output \"" + source->monitoredSinkName + "\"";
    return pulseError("the default audio input \"" + source->name +
                      "\" is not a microphone: it records what " + output + " plays");
  }
  return source;
}

Result<PulseDeviceFormat> sourceFormat(PulseConnection& connection, const std::string& name,
                                       PulseDeadline deadline) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  return sourceFormatLocked(connection, name, deadline);
}

Result<PulseDeviceFormat> awaitSource(PulseConnection& connection, const std::string& name,
                                      PulseDeadline deadline) {
  constexpr auto kAskAgainAfter = std::chrono::milliseconds(20);
  for (;;) {
    auto format = sourceFormat(connection, name, deadline);
    if (format || std::chrono::steady_clock::now() + kAskAgainAfter >= deadline) return format;
    std::this_thread::sleep_for(kAskAgainAfter);
  }
}

Result<PulseDeviceFormat> defaultSinkFormat(PulseConnection& connection, PulseDeadline deadline) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  auto defaults = serverDefaultsLocked(connection, deadline);
  if (!defaults) return defaults.error();
  if (defaults->sinkName.empty()) return pulseError("the audio server has no default output");
  return sinkFormatLocked(connection, defaults->sinkName, deadline);
}

Result<std::vector<PulseModule>> listModules(PulseConnection& connection, PulseDeadline deadline) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  Reply reply(connection);
  pa_operation* operation = pa_context_get_module_info_list(
      connection.context(),
      [](pa_context*, const pa_module_info* info, int eol, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        if (eol == 0 && info != nullptr) {
          PulseModule module;
          module.index = info->index;
          if (info->name != nullptr) module.name = info->name;
          if (info->argument != nullptr) module.arguments = info->argument;
          reply->modules.push_back(std::move(module));
        }
        if (eol != 0) {
          // A negative end marks a failed listing, not its end.
          reply->success = eol > 0;
          reply->connection->signal();
        }
      },
      &reply);
  const Outcome outcome = connection.waitFor(operation, deadline);
  if (outcome != Outcome::done || !reply.success) {
    return pulseError("the audio server did not list its modules: " +
                      failureText(connection, outcome));
  }
  return std::move(reply.modules);
}

Result<std::uint32_t> loadModule(PulseConnection& connection, const std::string& name,
                                 const std::string& arguments, PulseDeadline deadline) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  Reply reply(connection);
  pa_operation* operation = pa_context_load_module(
      connection.context(), name.c_str(), arguments.c_str(),
      [](pa_context*, std::uint32_t index, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        reply->index = index;
        reply->connection->signal();
      },
      &reply);
  const Outcome outcome = connection.waitFor(operation, deadline);
  if (outcome != Outcome::done || reply.index == PA_INVALID_INDEX) {
    return pulseError("the audio server cannot load " + name + ": " +
                      failureText(connection, outcome));
  }
  return reply.index;
}

MaybeError unloadModule(PulseConnection& connection, std::uint32_t index, PulseDeadline deadline) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  Reply reply(connection);
  pa_operation* operation = pa_context_unload_module(
      connection.context(), index,
      [](pa_context*, int success, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        reply->success = success != 0;
        reply->connection->signal();
      },
      &reply);
  const Outcome outcome = connection.waitFor(operation, deadline);
  if (outcome != Outcome::done || !reply.success) {
    return pulseError("the audio server cannot unload module " + std::to_string(index) + ": " +
                      failureText(connection, outcome));
  }
  return std::nullopt;
}

}  // namespace platform::linux_backend
