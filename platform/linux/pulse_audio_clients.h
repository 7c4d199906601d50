#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "linux/pulse_connection.h"
#include "platform/audio_hardware.h"

namespace platform::linux_backend {

// The audio process objects on the audio server: one per client, kept current from the
// server's change events, so that reading them costs no round trip. A process captures input
// while one of its record streams runs (uncorked) from a real source (no playback device's
// monitor) and is not a level meter.
//
// Object identifiers are handed out here, never 0 or 1, and are never reused: a server may
// give a new client the index of one that has gone, and the watcher must see a new object.
class PulseAudioClients {
 public:
  explicit PulseAudioClients(std::shared_ptr<PulseConnection> connection);
  ~PulseAudioClients();
  PulseAudioClients(const PulseAudioClients&) = delete;
  PulseAudioClients& operator=(const PulseAudioClients&) = delete;

  struct Process {
    std::string bundleId;             // the build's identity; empty when nothing names the client
    std::optional<std::int32_t> pid;  // on the host, vouched for by the server where it can
    bool runningInput = false;
  };

  // Oldest client first; none when the server cannot be reached. The first call connects and
  // loads the server's clients and streams.
  std::optional<std::vector<AudioObjectID>> processObjects();
  std::optional<Process> process(AudioObjectID object);

  // `selector`: the process list (on the system object) or a process's input state. False when
  // there is no such object or property.
  bool addListener(AudioObjectID object, FourCharCode selector, Queue& queue,
                   AudioObjectPropertyListenerBlock listener);
  bool removeListener(AudioObjectID object, FourCharCode selector, Queue& queue,
                      const AudioObjectPropertyListenerBlock& listener);

  struct State;

 private:
  bool ensureSynced();

  std::shared_ptr<State> state_;
};

}  // namespace platform::linux_backend
