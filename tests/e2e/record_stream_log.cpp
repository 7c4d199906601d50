#include "e2e/record_stream_log.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zuno::e2e {
namespace {

RecordStreamLog* logOf(void* self) {
  return static_cast<RecordStreamLog*>(self);
}

std::string propertiesOf(const pa_proplist* properties) {
  if (properties == nullptr) return {};
  char* text = pa_proplist_to_string_sep(properties, "\n");
  std::string out = text == nullptr ? "" : text;
  pa_xfree(text);
  return out;
}

std::optional<int> processIdOf(const pa_proplist* properties) {
  const char* value = properties == nullptr
                          ? nullptr
                          : pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
  if (value == nullptr || *value == '\0') return std::nullopt;
  char* end = nullptr;
  const long pid = std::strtol(value, &end, 10);
  if (*end != '\0' || pid <= 0) return std::nullopt;
  return static_cast<int>(pid);
}

// The session of process `pid`, from the fields after its name in /proc/PID/stat (the name may
// hold spaces and parentheses, so the last ')' ends it): state, parent, group, session.
std::optional<int> sessionOf(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(nameEnd + 1));
  std::string state;
  int parent = 0, group = 0, session = 0;
  if (!(fields >> state >> parent >> group >> session)) return std::nullopt;
  return session;
}

std::string secondsSince(RecordStreamLog::Clock::time_point origin,
                         RecordStreamLog::Clock::time_point at) {
  std::ostringstream out;
  out.precision(3);
  out << std::fixed << std::chrono::duration<double>(at - origin).count() << " s";
  return out.str();
}

}  // namespace

RecordStreamLog::RecordStreamLog() {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) return;
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "zuno e2e stream log");
  if (context_ == nullptr) return;
  pa_context_set_state_callback(context_, onContextState, this);
  pa_context_set_subscribe_callback(context_, onEvent, this);
  pa_threaded_mainloop_lock(loop_);
  const bool connecting =
      pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
  pa_threaded_mainloop_unlock(loop_);
  if (!connecting || pa_threaded_mainloop_start(loop_) < 0) return;
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, std::chrono::seconds(10), [this] { return ready_ || failed_; });
}

RecordStreamLog::~RecordStreamLog() {
  if (loop_ == nullptr) return;
  pa_threaded_mainloop_lock(loop_);
  if (context_ != nullptr) pa_context_disconnect(context_);
  pa_threaded_mainloop_unlock(loop_);
  pa_threaded_mainloop_stop(loop_);
  if (context_ != nullptr) pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
}

bool RecordStreamLog::ready() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return ready_ && !failed_;
}

void RecordStreamLog::onContextState(pa_context* context, void* self) {
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_CLIENT |
                                                          PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
    if (pa_operation* operation = pa_context_subscribe(context, mask, onSubscribed, self)) {
      pa_operation_unref(operation);
    }
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    RecordStreamLog* log = logOf(self);
    {
      std::lock_guard<std::mutex> hold(log->mutex_);
      log->failed_ = true;
    }
    log->changed_.notify_all();
  }
}

void RecordStreamLog::onSubscribed(pa_context*, int success, void* self) {
  RecordStreamLog* log = logOf(self);
  {
    std::lock_guard<std::mutex> hold(log->mutex_);
    if (success) {
      log->ready_ = true;
    } else {
      log->failed_ = true;
    }
  }
  log->changed_.notify_all();
}

// Stamped here, as the event arrives: the answers to the info requests it makes come later.
void RecordStreamLog::onEvent(pa_context* context, pa_subscription_event_type_t type,
                              std::uint32_t index, void* self) {
  RecordStreamLog* log = logOf(self);
  const auto now = Clock::now();
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  pa_operation* operation = nullptr;
  {
    std::lock_guard<std::mutex> hold(log->mutex_);
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
      if (kind == PA_SUBSCRIPTION_EVENT_NEW) {
        Stream& stream = log->streams_[index];
        stream.index = index;
        stream.createdAt = now;
      } else if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        const auto found = log->streams_.find(index);
        if (found != log->streams_.end()) found->second.removedAt = now;
      }
      log->lastEventAt_[index] = now;
    } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT && kind == PA_SUBSCRIPTION_EVENT_NEW) {
      log->clients_[index].index = index;
    }
  }
  log->changed_.notify_all();
  if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) return;
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
    operation = pa_context_get_source_output_info(context, index, onStreamInfo, self);
  } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
    operation = pa_context_get_client_info(context, index, onClientInfo, self);
  }
  if (operation != nullptr) pa_operation_unref(operation);
}

void RecordStreamLog::onClientInfo(pa_context*, const pa_client_info* info, int eol, void* self) {
  if (eol != 0 || info == nullptr) return;
  RecordStreamLog* log = logOf(self);
  const std::optional<int> pid = processIdOf(info->proplist);
  // Read at once: the process may be gone by the time its streams are looked at.
  const std::optional<int> session = pid ? sessionOf(*pid) : std::nullopt;
  {
    std::lock_guard<std::mutex> hold(log->mutex_);
    Client& client = log->clients_[info->index];
    client.index = info->index;
    client.properties = propertiesOf(info->proplist);
    if (pid && !client.pid) {
      client.pid = pid;
      client.session = session;
    }
  }
  log->changed_.notify_all();
}

void RecordStreamLog::onStreamInfo(pa_context*, const pa_source_output_info* info, int eol,
                                   void* self) {
  if (eol != 0 || info == nullptr) return;
  RecordStreamLog* log = logOf(self);
  {
    std::lock_guard<std::mutex> hold(log->mutex_);
    const auto found = log->streams_.find(info->index);
    if (found == log->streams_.end()) return;  // there before this log was
    Stream& stream = found->second;
    stream.client = info->client;
    stream.properties = propertiesOf(info->proplist);
    if (!info->corked && !stream.runningAt) stream.runningAt = log->lastEventAt_[info->index];
  }
  log->changed_.notify_all();
}

std::vector<RecordStreamLog::Stream> RecordStreamLog::streamsOfSessionLocked(int session) const {
  std::vector<Stream> owned;
  for (const auto& [index, stream] : streams_) {
    const auto client = clients_.find(stream.client);
    if (client != clients_.end() && client->second.session == session) owned.push_back(stream);
  }
  std::sort(owned.begin(), owned.end(),
            [](const Stream& a, const Stream& b) { return a.createdAt < b.createdAt; });
  return owned;
}

std::vector<RecordStreamLog::Stream> RecordStreamLog::streamsOfSession(int session) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return streamsOfSessionLocked(session);
}

std::vector<RecordStreamLog::Client> RecordStreamLog::clientsOfSession(int session) const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<Client> owned;
  for (const auto& [index, client] : clients_) {
    if (client.session == session) owned.push_back(client);
  }
  return owned;
}

bool RecordStreamLog::waitUntil(int session,
                                const std::function<bool(const std::vector<Stream>&)>& done,
                                double seconds) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::duration<double>(seconds),
                           [&] { return done(streamsOfSessionLocked(session)); });
}

std::string RecordStreamLog::describe() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::ostringstream out;
  const Clock::time_point origin =
      streams_.empty() ? Clock::now() : streams_.begin()->second.createdAt;
  out << "record streams (times from the first):\n";
  for (const auto& [index, stream] : streams_) {
    out << "  #" << index << " client " << static_cast<int>(stream.client) << ": created "
        << secondsSince(origin, stream.createdAt);
    if (stream.runningAt) out << ", running " << secondsSince(origin, *stream.runningAt);
    if (stream.removedAt) out << ", removed " << secondsSince(origin, *stream.removedAt);
    out << "\n";
  }
  out << "clients:\n";
  for (const auto& [index, client] : clients_) {
    out << "  #" << index << " pid " << client.pid.value_or(-1) << " session "
        << client.session.value_or(-1) << "\n";
  }
  return out.str();
}

}  // namespace zuno::e2e
