#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/error.h"

namespace platform::linux_backend {

// The process's one client connection to the audio server. Nothing touches the server until
// the first call that needs it, because most subcommands never record; the connection is then
// made once (and made again if the server went away) with a bounded wait, so a missing server
// is reported in seconds instead of hanging.
class PulseConnection {
 public:
  static std::shared_ptr<PulseConnection> create();
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects when not yet connected; the reason when the server cannot be reached.
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
  bool isReady() const;
  // Waits (under Lock) until the operation is done or cancelled, then releases it. False when
  // it was cancelled, e.g. because the connection died.
  bool waitFor(pa_operation* operation);
  // Wakes every waiter; libpulse callbacks call it when the state they wait for changes.
  void signal();
  // The last error libpulse reported on the context, as text.
  std::string lastErrorText() const;

  // Runs on the mainloop thread (lock held) whenever the server's defaults may have changed,
  // so streams can follow a new default device. Add and remove under Lock.
  using ServerChangeListener = std::function<void()>;
  std::uint64_t addServerChangeListener(ServerChangeListener listener);
  void removeServerChangeListener(std::uint64_t id);

 private:
  PulseConnection() = default;
  MaybeError connectLocked();
  void disconnectLocked();
  static void onContextState(pa_context* context, void* self);
  static void onSubscriptionEvent(pa_context* context, pa_subscription_event_type_t type,
                                  std::uint32_t index, void* self);

  std::mutex connectMutex_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  std::map<std::uint64_t, ServerChangeListener> serverChangeListeners_;
  std::uint64_t nextListenerID_ = 1;
};

// The Error every audio-server failure is reported with.
Error pulseError(std::string description, long code = 1);

}  // namespace platform::linux_backend
