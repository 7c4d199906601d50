#include "linux/pulse_connection.h"

#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include <vector>

namespace platform::linux_backend {
namespace {

constexpr const char* kClientName = "zuno-recorder";
// How often a lost server is looked for: twice a second notices a restart quickly and costs
// nothing while it is gone.
constexpr pa_usec_t kReconnectIntervalUsec = 500 * PA_USEC_PER_MSEC;
constexpr std::chrono::milliseconds kRefusedRetryTime{1000};
constexpr std::chrono::milliseconds kRefusedRetryInterval{100};

}  // namespace

Error pulseError(std::string description, long code) {
  return Error{"zuno.audio-server", code, std::move(description)};
}

std::shared_ptr<PulseConnection> PulseConnection::create(Diagnostics diagnostics) {
  return std::shared_ptr<PulseConnection>(new PulseConnection(std::move(diagnostics)));
}

PulseConnection::PulseConnection(Diagnostics diagnostics) : diagnostics_(std::move(diagnostics)) {}

PulseConnection::~PulseConnection() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_lock(mainloop_);
  listeners_.clear();
  cancelReconnectLocked();
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

pa_mainloop_api* PulseConnection::api() const {
  return pa_threaded_mainloop_get_api(mainloop_);
}

pa_time_event* PulseConnection::timerIn(pa_usec_t after, pa_time_event_cb_t callback,
                                        void* userdata) const {
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, after);
  return api()->time_new(api(), &when, callback, userdata);
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
  // The background owns the connection while it makes it again; waiting for it here would
  // hold up "stop" for as long as the server stays away.
  if (keepsConnected()) return pulseError("the audio server is gone; waiting for it to return");
  return connectLocked();
}

bool PulseConnection::isReady() const {
  return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseConnection::beginConnectLocked() {
  // A context that failed or was terminated cannot be reused; the server may be back now.
  disconnectLocked();
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kClientName);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "zuno-recorder");
  context_ = pa_context_new_with_proplist(api(), kClientName, properties);
  pa_proplist_free(properties);
  if (context_ == nullptr) return false;
  contextWasReady_ = false;
  pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);
  // Never spawn a server of our own: a recorder that silently starts one records nothing.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return false;
  }
  return true;
}

MaybeError PulseConnection::connectLocked() {
  const PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout);
  // A server busy with something else (loading a module, say) may refuse a connection for a
  // moment when its queue of waiting clients is full; one that is not there refuses every
  // time, and is reported after this long.
  const PulseDeadline refusalsUntil = pulseDeadlineIn(kRefusedRetryTime);
  for (;;) {
    bool settled = true;
    if (beginConnectLocked()) {
      pa_context* context = context_;
      settled = waitUntil(
          [context] {
            return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
                   pa_context_get_state(context) == PA_CONTEXT_READY;
          },
          deadline);
      if (isReady()) return std::nullopt;
    }
    const bool refused = settled && lastError() == PA_ERR_CONNECTIONREFUSED;
    if (refused && std::chrono::steady_clock::now() < refusalsUntil) {
      waitUntil([] { return false; }, pulseDeadlineIn(kRefusedRetryInterval));
      continue;
    }
    Error error = settled ? pulseError("cannot connect to the audio server: " + lastErrorText())
                          : pulseError("cannot connect to the audio server: no answer in time");
    disconnectLocked();
    return error;
  }
}

void PulseConnection::disconnectLocked() {
  if (context_ == nullptr) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

void PulseConnection::subscribeLocked() {
  pa_context_set_subscribe_callback(context_, &PulseConnection::onSubscriptionEvent, this);
  if (pa_operation* operation =
          pa_context_subscribe(context_, subscriptionMask_, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

void PulseConnection::subscribeAlso(pa_subscription_mask_t mask) {
  const auto wider = static_cast<pa_subscription_mask_t>(subscriptionMask_ | mask);
  if (wider == subscriptionMask_) return;
  subscriptionMask_ = wider;
  if (isReady()) subscribeLocked();
}

bool PulseConnection::keepsConnected() const {
  for (const auto& [id, listener] : listeners_) {
    if (listener.reconnected) return true;
  }
  return false;
}

void PulseConnection::onContextState(pa_context*, void* self) {
  static_cast<PulseConnection*>(self)->contextStateChangedLocked();
}

void PulseConnection::contextStateChangedLocked() {
  signal();
  const pa_context_state_t state = pa_context_get_state(context_);
  if (state == PA_CONTEXT_READY) {
    contextWasReady_ = true;
    subscribeLocked();
    if (!lost_) return;
    lost_ = false;
    report("audio server connection is back; recording again");
    // A copy: a listener may add or remove listeners.
    std::vector<std::function<void()>> reconnected;
    for (const auto& [id, listener] : listeners_) {
      if (listener.reconnected) reconnected.push_back(listener.reconnected);
    }
    for (const auto& listener : reconnected) listener();
    return;
  }
  if (PA_CONTEXT_IS_GOOD(state) || !keepsConnected()) return;
  if (!lost_) {
    // A first connection that was refused is reported by whoever asked for it.
    if (!contextWasReady_) return;
    lost_ = true;
    report("audio server connection lost (" + lastErrorText() +
           "); recording silence until it is back");
  }
  scheduleReconnectLocked();
}

void PulseConnection::scheduleReconnectLocked() {
  if (reconnectTimer_ != nullptr) return;
  reconnectTimer_ = timerIn(
      kReconnectIntervalUsec,
      [](pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata) {
        auto* self = static_cast<PulseConnection*>(userdata);
        api->time_free(event);
        self->reconnectTimer_ = nullptr;
        if (!self->keepsConnected()) return;
        if (!self->beginConnectLocked()) self->scheduleReconnectLocked();
      },
      this);
}

void PulseConnection::cancelReconnectLocked() {
  if (reconnectTimer_ == nullptr) return;
  api()->time_free(reconnectTimer_);
  reconnectTimer_ = nullptr;
}

void PulseConnection::onSubscriptionEvent(pa_context*, pa_subscription_event_type_t type,
                                          std::uint32_t index, void* self) {
  const auto& listeners = static_cast<PulseConnection*>(self)->listeners_;
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) {
    std::vector<std::function<void(pa_subscription_event_type_t, std::uint32_t)>> objectChanged;
    for (const auto& [id, listener] : listeners) {
      if (listener.objectChanged) objectChanged.push_back(listener.objectChanged);
    }
    for (const auto& listener : objectChanged) listener(type, index);
    return;
  }
  std::vector<std::function<void()>> serverChanged;
  for (const auto& [id, listener] : listeners) {
    if (listener.serverChanged) serverChanged.push_back(listener.serverChanged);
  }
  for (const auto& listener : serverChanged) listener();
}

std::uint64_t PulseConnection::addListener(Listener listener) {
  const std::uint64_t id = nextListenerID_++;
  listeners_.emplace(id, std::move(listener));
  return id;
}

void PulseConnection::removeListener(std::uint64_t id) {
  listeners_.erase(id);
  if (keepsConnected()) return;
  // Nobody records any more: the next user connects in the foreground, as at start.
  cancelReconnectLocked();
  lost_ = false;
}

PulseConnection::Outcome PulseConnection::waitFor(pa_operation* operation, PulseDeadline deadline) {
  if (operation == nullptr) return Outcome::failed;
  waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
            deadline);
  Outcome outcome = Outcome::failed;
  switch (pa_operation_get_state(operation)) {
    case PA_OPERATION_DONE:
      outcome = Outcome::done;
      break;
    case PA_OPERATION_RUNNING:
      pa_operation_cancel(operation);
      outcome = Outcome::timedOut;
      break;
    case PA_OPERATION_CANCELLED:
      break;
  }
  pa_operation_unref(operation);
  return outcome;
}

bool PulseConnection::waitUntil(const std::function<bool()>& done, PulseDeadline deadline) {
  if (done()) return true;
  struct Timer {
    PulseConnection* connection;
    bool expired = false;
  } timer{this};
  const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  if (remaining.count() <= 0) return false;
  pa_time_event* event = timerIn(
      static_cast<pa_usec_t>(remaining.count()),
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* timer = static_cast<Timer*>(userdata);
        timer->expired = true;
        timer->connection->signal();
      },
      &timer);
  if (event == nullptr) return done();
  bool held = done();
  while (!held && !timer.expired) {
    pa_threaded_mainloop_wait(mainloop_);
    held = done();
  }
  if (event != nullptr) api()->time_free(event);
  return held;
}

void PulseConnection::signal() {
  pa_threaded_mainloop_signal(mainloop_, 0);
}

std::string PulseConnection::lastErrorText() const {
  if (context_ == nullptr) return "no connection";
  return pa_strerror(pa_context_errno(context_));
}

int PulseConnection::lastError() const {
  return context_ == nullptr ? PA_ERR_CONNECTIONTERMINATED : pa_context_errno(context_);
}

void PulseConnection::report(std::string_view line) const {
  if (diagnostics_) diagnostics_(line);
}

}  // namespace platform::linux_backend
