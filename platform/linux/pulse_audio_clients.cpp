#include "linux/pulse_audio_clients.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>

#include "linux/pulse_process_facts.h"
#include "platform/runtime.h"

namespace platform::linux_backend {
namespace {

// Far from the identifiers of the taps and devices this backend makes.
constexpr AudioObjectID kFirstProcessObject = 0x10000;
// While the server is away, a read tries to reach it at most this often, so that a scan does
// not wait for a connection every time.
constexpr std::chrono::seconds kConnectRetryInterval{2};

constexpr auto kWatchedFacilities = static_cast<pa_subscription_mask_t>(
    PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SOURCE);

}  // namespace

struct PulseAudioClients::State {
  explicit State(std::shared_ptr<PulseConnection> owner) : connection(std::move(owner)) {}

  struct Client {
    AudioObjectID object = kAudioObjectUnknown;
    PulseClientFacts facts;
    std::optional<std::int32_t> hostPid;
    std::string bundleId;
    bool runningInput = false;
  };
  struct Listener {
    AudioObjectID object;
    FourCharCode selector;
    Queue* queue;
    AudioObjectPropertyListenerBlock block;
  };
  using Notifications = std::vector<std::pair<Listener, AudioObjectPropertyAddress>>;

  const std::shared_ptr<PulseConnection> connection;

  // Guards the model and the listeners; taken by readers and by the server's callbacks.
  std::mutex mutex;
  std::map<std::uint32_t, Client> clients;  // by server index: oldest first
  std::map<AudioObjectID, std::uint32_t> clientByObject;
  std::map<std::uint32_t, PulseRecordStreamFacts> outputs;
  std::map<std::uint32_t, bool> sourceIsMonitor;
  AudioObjectID nextObject = kFirstProcessObject;
  std::vector<Listener> listeners;

  // Under the mainloop lock.
  pa_context* syncedContext = nullptr;
  std::uint64_t connectionListener = 0;
  std::vector<pa_operation*> pending;
  // Under connectMutex.
  std::mutex connectMutex;
  std::chrono::steady_clock::time_point nextConnectAttempt{};

  // --- on the mainloop thread, lock held

  void keep(pa_operation* operation) {
    std::erase_if(pending, [](pa_operation* op) {
      if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) return false;
      pa_operation_unref(op);
      return true;
    });
    if (operation != nullptr) pending.push_back(operation);
  }

  void cancelPending() {
    for (pa_operation* op : pending) {
      pa_operation_cancel(op);
      pa_operation_unref(op);
    }
    pending.clear();
  }

  static void onClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    auto* self = static_cast<State*>(userdata);
    if (eol != 0 || info == nullptr) {
      self->connection->signal();
      return;
    }
    PulseClientFacts facts = clientFactsOf(*info);
    const std::optional<std::int32_t> hostPid = hostPidOf(facts, &commandNameOf);
    // Where PipeWire found the sandbox already, the host's records would only repeat it.
    ProcessSandbox sandbox;
    if (facts.portalAppId.empty() && hostPid) sandbox = sandboxOf(*hostPid);
    std::string bundleId = identityOf(facts, sandbox);
    self->changeModel([&](Notifications& notify) {
      auto [entry, added] = self->clients.try_emplace(info->index);
      if (added) {
        entry->second.object = self->nextObject++;
        self->clientByObject[entry->second.object] = info->index;
      }
      entry->second.facts = std::move(facts);
      entry->second.hostPid = hostPid;
      entry->second.bundleId = std::move(bundleId);
      self->processListChangedLocked(notify);
    });
  }

  static void onOutput(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
    auto* self = static_cast<State*>(userdata);
    if (eol != 0 || info == nullptr) {
      self->connection->signal();
      return;
    }
    self->changeModel([&](Notifications& notify) {
      self->outputs[info->index] = recordStreamFactsOf(*info);
      self->processListChangedLocked(notify);
    });
  }

  static void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* self = static_cast<State*>(userdata);
    if (eol != 0 || info == nullptr) {
      self->connection->signal();
      return;
    }
    self->changeModel([&](Notifications&) {
      self->sourceIsMonitor[info->index] = info->monitor_of_sink != PA_INVALID_INDEX;
    });
  }

  // Applies one reply to the model under the lock, works out whose input state that changed,
  // and notifies after the lock is released, so a listener may read the model at once.
  template <typename Change>
  void changeModel(Change&& change) {
    Notifications notify;
    {
      std::lock_guard guard(mutex);
      change(notify);
      recomputeLocked(notify);
    }
    post(notify);
  }

  void onObjectChanged(pa_subscription_event_type_t type, std::uint32_t index) {
    // Events of an earlier connection's model change nothing.
    if (syncedContext == nullptr || syncedContext != connection->context()) return;
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    pa_context* context = connection->context();
    if (kind != PA_SUBSCRIPTION_EVENT_REMOVE) {
      if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
        keep(pa_context_get_client_info(context, index, &State::onClient, this));
      } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
        keep(pa_context_get_source_output_info(context, index, &State::onOutput, this));
      } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        keep(pa_context_get_source_info_by_index(context, index, &State::onSource, this));
      }
      return;
    }
    changeModel([&](Notifications& notify) {
      if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
        if (auto found = clients.find(index); found != clients.end()) {
          clientByObject.erase(found->second.object);
          clients.erase(found);
        }
        processListChangedLocked(notify);
      } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
        outputs.erase(index);
        processListChangedLocked(notify);
      } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        sourceIsMonitor.erase(index);
      }
    });
  }

  // --- model, mutex held

  bool capturesInput(const PulseRecordStreamFacts& output, const Client& client) const {
    if (output.corked || output.levelMeter || output.capturesSink || client.facts.isMixer) {
      return false;
    }
    const auto source = sourceIsMonitor.find(output.source);
    return source != sourceIsMonitor.end() && !source->second;
  }

  void recomputeLocked(Notifications& notify) {
    for (auto& [index, client] : clients) {
      bool running = false;
      for (const auto& [outputIndex, output] : outputs) {
        if (output.client == index && capturesInput(output, client)) {
          running = true;
          break;
        }
      }
      if (running == client.runningInput) continue;
      client.runningInput = running;
      for (const Listener& listener : listeners) {
        if (listener.object == client.object &&
            listener.selector == kAudioProcessPropertyIsRunningInput) {
          notify.emplace_back(listener, addressOf(kAudioProcessPropertyIsRunningInput));
        }
      }
    }
  }

  void processListChangedLocked(Notifications& notify) {
    for (const Listener& listener : listeners) {
      if (listener.object == kAudioObjectSystemObject) {
        notify.emplace_back(listener, addressOf(kAudioHardwarePropertyProcessObjectList));
      }
    }
  }

  void clearLocked() {
    clients.clear();
    clientByObject.clear();
    outputs.clear();
    sourceIsMonitor.clear();
  }

  static AudioObjectPropertyAddress addressOf(FourCharCode selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
  }

  // Outside the mutex: a queue may run the task at once, and the listener reads the model.
  static void post(const Notifications& notify) {
    for (const auto& [listener, address] : notify) {
      listener.queue->async([block = listener.block, address] { (*block)({&address, 1}); });
    }
  }
};

PulseAudioClients::PulseAudioClients(std::shared_ptr<PulseConnection> connection)
    : state_(std::make_shared<State>(std::move(connection))) {}

PulseAudioClients::~PulseAudioClients() {
  if (state_->connection->mainloop() == nullptr) return;
  PulseConnection::Lock lock(*state_->connection);
  if (state_->connectionListener != 0)
    state_->connection->removeListener(state_->connectionListener);
  state_->cancelPending();
}

bool PulseAudioClients::ensureSynced() {
  State& state = *state_;
  {
    std::lock_guard guard(state.connectMutex);
    const auto now = std::chrono::steady_clock::now();
    const bool ready = state.connection->mainloop() != nullptr && [&] {
      PulseConnection::Lock lock(*state.connection);
      return state.connection->isReady();
    }();
    if (!ready) {
      if (now < state.nextConnectAttempt) return false;
      if (state.connection->ensureConnected()) {
        state.nextConnectAttempt = now + kConnectRetryInterval;
        return false;
      }
    }
  }
  PulseConnection::Lock lock(*state.connection);
  pa_context* context = state.connection->context();
  if (!state.connection->isReady()) return false;
  if (state.syncedContext == context) return true;
  // A new connection (the first, or the server came back): load everything afresh.
  state.syncedContext = nullptr;
  state.cancelPending();
  {
    std::lock_guard guard(state.mutex);
    state.clearLocked();
  }
  if (state.connectionListener == 0) {
    PulseConnection::Listener listener;
    listener.objectChanged = [raw = &state](pa_subscription_event_type_t type,
                                            std::uint32_t index) {
      raw->onObjectChanged(type, index);
    };
    state.connectionListener = state.connection->addListener(std::move(listener));
  }
  state.connection->subscribeAlso(kWatchedFacilities);
  // Marked as this connection's model already, so that changes during the load are applied.
  state.syncedContext = context;
  const PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout);
  // Sources first, so that the streams' sources are known when the streams arrive.
  const bool loaded =
      state.connection->waitFor(pa_context_get_source_info_list(context, &State::onSource, &state),
                                deadline) == PulseConnection::Outcome::done &&
      state.connection->waitFor(pa_context_get_client_info_list(context, &State::onClient, &state),
                                deadline) == PulseConnection::Outcome::done &&
      state.connection->waitFor(
          pa_context_get_source_output_info_list(context, &State::onOutput, &state), deadline) ==
          PulseConnection::Outcome::done;
  if (!loaded) state.syncedContext = nullptr;
  return loaded;
}

std::optional<std::vector<AudioObjectID>> PulseAudioClients::processObjects() {
  if (!ensureSynced()) return std::nullopt;
  std::lock_guard guard(state_->mutex);
  std::vector<AudioObjectID> objects;
  objects.reserve(state_->clients.size());
  for (const auto& [index, client] : state_->clients) objects.push_back(client.object);
  return objects;
}

std::optional<PulseAudioClients::Process> PulseAudioClients::process(AudioObjectID object) {
  std::lock_guard guard(state_->mutex);
  const auto index = state_->clientByObject.find(object);
  if (index == state_->clientByObject.end()) return std::nullopt;
  const State::Client& client = state_->clients.at(index->second);
  return Process{client.bundleId, client.hostPid, client.runningInput};
}

bool PulseAudioClients::addListener(AudioObjectID object, FourCharCode selector, Queue& queue,
                                    AudioObjectPropertyListenerBlock listener) {
  const bool processList =
      object == kAudioObjectSystemObject && selector == kAudioHardwarePropertyProcessObjectList;
  const bool inputState = selector == kAudioProcessPropertyIsRunningInput;
  if (!listener || (!processList && !inputState)) return false;
  // The model must be loaded for its change events to flow.
  if (processList) ensureSynced();
  std::lock_guard guard(state_->mutex);
  if (inputState && !state_->clientByObject.contains(object)) return false;
  state_->listeners.push_back({object, selector, &queue, std::move(listener)});
  return true;
}

bool PulseAudioClients::removeListener(AudioObjectID object, FourCharCode selector, Queue& queue,
                                       const AudioObjectPropertyListenerBlock& listener) {
  std::lock_guard guard(state_->mutex);
  const auto found = std::find_if(state_->listeners.begin(), state_->listeners.end(),
                                  [&](const State::Listener& entry) {
                                    return entry.object == object && entry.selector == selector &&
                                           entry.queue == &queue && entry.block == listener;
                                  });
  if (found == state_->listeners.end()) return false;
  state_->listeners.erase(found);
  return true;
}

}  // namespace platform::linux_backend
