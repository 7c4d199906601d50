#include "linux/pulse_connection.h"

#include <pulse/rtclock.h>

namespace platform::linux_backend {
namespace {

constexpr const char* kClientName = "zuno-recorder";
// Long enough for a busy server to answer, short enough that a missing one is reported while
// the user still watches.
constexpr pa_usec_t kConnectTimeoutUsec = 3 * PA_USEC_PER_SEC;

struct ConnectWait {
  PulseConnection* connection = nullptr;
  bool timedOut = false;
};

}  // namespace

Error pulseError(std::string description, long code) {
  return Error{"zuno.audio-server", code, std::move(description)};
}

std::shared_ptr<PulseConnection> PulseConnection::create() {
  return std::shared_ptr<PulseConnection>(new PulseConnection());
}

PulseConnection::~PulseConnection() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_lock(mainloop_);
  disconnectLocked();
  pa_threaded_mainloop_unlock(mainloop_);
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
}

PulseConnection::Lock::Lock(PulseConnection& connection) : mainloop_(connection.mainloop_) {
  pa_threaded_mainloop_lock(mainloop_);
}

PulseConnection::Lock::~Lock() {
  pa_threaded_mainloop_unlock(mainloop_);
}

MaybeError PulseConnection::ensureConnected() {
  std::lock_guard guard(connectMutex_);
  if (mainloop_ == nullptr) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) return pulseError("cannot start the audio client thread");
    pa_threaded_mainloop_set_name(mainloop_, "zuno-pulse");
    if (pa_threaded_mainloop_start(mainloop_) < 0) {
      pa_threaded_mainloop_free(mainloop_);
      mainloop_ = nullptr;
      return pulseError("cannot start the audio client thread");
    }
  }
  Lock lock(*this);
  if (isReady()) return std::nullopt;
  return connectLocked();
}

bool PulseConnection::isReady() const {
  return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

MaybeError PulseConnection::connectLocked() {
  // A context that failed or was terminated cannot be reused; the server may be back now.
  disconnectLocked();
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kClientName);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "zuno-recorder");
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), kClientName,
                                          properties);
  pa_proplist_free(properties);
  if (context_ == nullptr) return pulseError("cannot create an audio server client");
  pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);

  // Never spawn a server of our own: a recorder that silently starts one records nothing.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    Error error = pulseError("cannot connect to the audio server: " + lastErrorText());
    disconnectLocked();
    return error;
  }

  ConnectWait wait{this, false};
  pa_time_event* timer = pa_context_rttime_new(
      context_, pa_rtclock_now() + kConnectTimeoutUsec,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* state = static_cast<ConnectWait*>(userdata);
        state->timedOut = true;
        state->connection->signal();
      },
      &wait);
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state) || wait.timedOut) break;
    pa_threaded_mainloop_wait(mainloop_);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);

  if (pa_context_get_state(context_) == PA_CONTEXT_READY) {
    pa_context_set_subscribe_callback(context_, &PulseConnection::onSubscriptionEvent, this);
    if (pa_operation* operation =
            pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
      pa_operation_unref(operation);
    }
    return std::nullopt;
  }
  Error error = wait.timedOut
                    ? pulseError("cannot connect to the audio server: no answer in time")
                    : pulseError("cannot connect to the audio server: " + lastErrorText());
  disconnectLocked();
  return error;
}

void PulseConnection::disconnectLocked() {
  if (context_ == nullptr) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

void PulseConnection::onContextState(pa_context*, void* self) {
  static_cast<PulseConnection*>(self)->signal();
}

void PulseConnection::onSubscriptionEvent(pa_context*, pa_subscription_event_type_t type,
                                          std::uint32_t, void* self) {
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
  for (auto& [id, listener] : static_cast<PulseConnection*>(self)->serverChangeListeners_) {
    listener();
  }
}

std::uint64_t PulseConnection::addServerChangeListener(ServerChangeListener listener) {
  const std::uint64_t id = nextListenerID_++;
  serverChangeListeners_.emplace(id, std::move(listener));
  return id;
}

void PulseConnection::removeServerChangeListener(std::uint64_t id) {
  serverChangeListeners_.erase(id);
}

bool PulseConnection::waitFor(pa_operation* operation) {
  if (operation == nullptr) return false;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    pa_threaded_mainloop_wait(mainloop_);
  }
  const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
  pa_operation_unref(operation);
  return done;
}

void PulseConnection::signal() {
  pa_threaded_mainloop_signal(mainloop_, 0);
}

std::string PulseConnection::lastErrorText() const {
  if (context_ == nullptr) return "no connection";
  return pa_strerror(pa_context_errno(context_));
}

}  // namespace platform::linux_backend
