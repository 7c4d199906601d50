#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace platform::linux_backend {

// When a wait for the server gives up. A server that stopped answering (frozen, swapped out,
// stopped in a debugger) must not hang the program, least of all on its way out.
using PulseDeadline = std::chrono::steady_clock::time_point;
inline PulseDeadline pulseDeadlineIn(std::chrono::milliseconds timeout) {
  return std::chrono::steady_clock::now() + timeout;
}
// Long enough for a loaded server to answer a question, or to set up an echo canceller; used
// while a run is being set up.
inline constexpr std::chrono::milliseconds kPulseQueryTimeout{3000};
// What a call made while recording (pause, resume, stop) may wait for the server at most, so
// the program keeps answering its parent whatever the server does.
inline constexpr std::chrono::milliseconds kPulseRunningCallTimeout{1000};

// The process's one client connection to the audio server. Nothing touches the server until
// the first call that needs it, because most subcommands never record; the connection is then
// made with a bounded wait, so a missing server is reported in seconds instead of hanging.
//
// While something records (a listener with `reconnected` is registered), a lost connection is
// made again in the background, twice a second, for as long as it takes: an audio server
// restarts after a crash or a change of session, and the recording carries on across it. One
// line goes to the diagnostics when the connection is lost and one when it is back.
class PulseConnection {
 public:
  using Diagnostics = std::function<void(std::string_view line)>;

  static std::shared_ptr<PulseConnection> create(Diagnostics diagnostics = {});
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects when not yet connected; the reason when the server cannot be reached. Never
  // waits for a connection the background is already making again.
  MaybeError ensureConnected();

  // Holds the mainloop lock: every libpulse call outside a libpulse callback needs it. Never
  // take it on the mainloop thread itself (inside a callback it is already held).
  class Lock {
   public:
    explicit Lock(PulseConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* mainloop_;
  };

  // Valid while connected; use under Lock.
  pa_context* context() const { return context_; }
  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_mainloop_api* api() const;
  // A one-shot timer on the mainloop itself (so it works while the context is gone), firing
  // `after` microseconds from now; the callback frees it. Use under Lock.
  pa_time_event* timerIn(pa_usec_t after, pa_time_event_cb_t callback, void* userdata) const;
  bool isReady() const;

  enum class Outcome { done, failed, timedOut };
  // Waits (under Lock) until the operation ends, at most until `deadline`, then releases it.
  // One still running then is cancelled, so its callback never writes into a reply that is
  // gone; the request itself may still reach the server.
  Outcome waitFor(pa_operation* operation, PulseDeadline deadline);
  // Waits (under Lock) until `done` holds, at most until `deadline`; whether it holds. Whoever
  // makes it hold must call signal().
  bool waitUntil(const std::function<bool()>& done, PulseDeadline deadline);
  // Wakes every waiter; libpulse callbacks call it when the state they wait for changes.
  void signal();
  // The last error libpulse reported on the context, as text, and as its code.
  std::string lastErrorText() const;
  int lastError() const;

  // Both run on the mainloop thread with the lock held. `serverChanged`: the server's defaults
  // may have changed, so streams can follow a new default device. `reconnected`: the
  // connection was lost and is back, so streams can be made again. Add and remove under Lock.
  // `objectChanged`: a subscription event of a facility that `subscribeAlso` asked for.
  struct Listener {
    std::function<void()> serverChanged;
    std::function<void()> reconnected;
    std::function<void(pa_subscription_event_type_t type, std::uint32_t index)> objectChanged;
  };
  std::uint64_t addListener(Listener listener);
  void removeListener(std::uint64_t id);
  // One line to the diagnostics (standard error in the program); any thread.
  void report(std::string_view line) const;
  // Widens the server's change events to `mask` as well, now and on every later connection.
  // Use under Lock.
  void subscribeAlso(pa_subscription_mask_t mask);

 private:
  explicit PulseConnection(Diagnostics diagnostics);
  MaybeError connectLocked();
  // Makes a new context and starts connecting it; false when that failed at once.
  bool beginConnectLocked();
  void disconnectLocked();
  void subscribeLocked();
  bool keepsConnected() const;
  void scheduleReconnectLocked();
  void cancelReconnectLocked();
  void contextStateChangedLocked();
  static void onContextState(pa_context* context, void* self);
  static void onSubscriptionEvent(pa_context* context, pa_subscription_event_type_t type,
                                  std::uint32_t index, void* self);

  const Diagnostics diagnostics_;
  std::mutex connectMutex_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  // The context was ready once: a failure after that is a lost connection, not a refused one.
  bool contextWasReady_ = false;
  // Between a lost connection and its return; the lost line was written.
  bool lost_ = false;
  pa_time_event* reconnectTimer_ = nullptr;
  std::map<std::uint64_t, Listener> listeners_;
  std::uint64_t nextListenerID_ = 1;
  pa_subscription_mask_t subscriptionMask_ = PA_SUBSCRIPTION_MASK_SERVER;
};

// The Error every audio-server failure is reported with.
Error pulseError(std::string description, long code = 1);

}  // namespace platform::linux_backend
