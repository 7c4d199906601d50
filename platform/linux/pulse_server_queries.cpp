#include "linux/pulse_server_queries.h"

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
  std::uint32_t index = PA_INVALID_INDEX;
  bool success = false;
};

// Every helper below runs under the mainloop lock and waits for its callback.
Result<ServerDefaults> serverDefaultsLocked(PulseConnection& connection) {
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
  if (!connection.waitFor(operation) || !reply.found) {
    return pulseError("the audio server did not describe itself: " + connection.lastErrorText());
  }
  return reply.defaults;
}

Result<PulseDeviceFormat> sourceFormatLocked(PulseConnection& connection, const std::string& name) {
  Reply reply(connection);
  pa_operation* operation = pa_context_get_source_info_by_name(
      connection.context(), name.c_str(),
      [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        if (eol == 0 && info != nullptr) {
          reply->found = true;
          reply->format.name = info->name;
          reply->format.sampleSpec = info->sample_spec;
        }
        if (eol != 0) reply->connection->signal();
      },
      &reply);
  connection.waitFor(operation);
  if (!reply.found) return pulseError("the audio input \"" + name + "\" does not exist");
  return reply.format;
}

Result<PulseDeviceFormat> sinkFormatLocked(PulseConnection& connection, const std::string& name) {
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
  connection.waitFor(operation);
  if (!reply.found) return pulseError("the audio output \"" + name + "\" does not exist");
  return reply.format;
}

}  // namespace

Result<PulseDeviceFormat> defaultSourceFormat(PulseConnection& connection) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  auto defaults = serverDefaultsLocked(connection);
  if (!defaults) return defaults.error();
  if (defaults->sourceName.empty()) return pulseError("the audio server has no default input");
  return sourceFormatLocked(connection, defaults->sourceName);
}

Result<PulseDeviceFormat> sourceFormat(PulseConnection& connection, const std::string& name) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  return sourceFormatLocked(connection, name);
}

Result<PulseDeviceFormat> defaultSinkFormat(PulseConnection& connection) {
  if (auto error = connection.ensureConnected()) return *error;
  PulseConnection::Lock lock(connection);
  auto defaults = serverDefaultsLocked(connection);
  if (!defaults) return defaults.error();
  if (defaults->sinkName.empty()) return pulseError("the audio server has no default output");
  return sinkFormatLocked(connection, defaults->sinkName);
}

Result<std::uint32_t> loadModule(PulseConnection& connection, const std::string& name,
                                 const std::string& arguments) {
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
  connection.waitFor(operation);
  if (reply.index == PA_INVALID_INDEX) {
    return pulseError("the audio server cannot load " + name + ": " + connection.lastErrorText());
  }
  return reply.index;
}

MaybeError unloadModule(PulseConnection& connection, std::uint32_t index) {
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
  connection.waitFor(operation);
  if (!reply.success) {
    return pulseError("the audio server cannot unload module " + std::to_string(index) + ": " +
                      connection.lastErrorText());
  }
  return std::nullopt;
}

}  // namespace platform::linux_backend
