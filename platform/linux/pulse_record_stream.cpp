#include "linux/pulse_record_stream.h"

#include <cstring>

namespace platform::linux_backend {
namespace {

// About 20 ms per fragment: small enough for steady meters, large enough to keep the wakeups
// of two streams cheap.
constexpr std::uint32_t kFragmentMilliseconds = 20;
// A stream the server dropped while the connection stayed up is asked for again this often.
constexpr pa_usec_t kRetryIntervalUsec = 500 * PA_USEC_PER_MSEC;

}  // namespace

PulseRecordStream::PulseRecordStream(std::shared_ptr<PulseConnection> connection,
                                     PulseRecordStreamOptions options,
                                     PulseDeliveryThread::Handler handler)
    : connection_(std::move(connection)),
      options_(std::move(options)),
      handler_(std::move(handler)) {}

PulseRecordStream::~PulseRecordStream() {
  stop();
}

MaybeError PulseRecordStream::start() {
  if (delivery_) {
    PulseConnection::Lock lock(*connection_);
    wanted_ = Wanted::running;
    // The clock starts again once the server has been asked and answered (or given up on):
    // the program counts recorded time from when this call returns, and a track that counted
    // the round trip too would gain it on every pause.
    struct OpenOnReturn {
      PulseDeliveryThread& delivery;
      ~OpenOnReturn() { delivery.open(); }
    } openOnReturn{*delivery_};
    // Without a stream now, the one made when the server is back starts uncorked.
    if (stream_ == nullptr || !ready_) return std::nullopt;
    // What was buffered before the pause belongs to the pause; drop it.
    if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr)) {
      pa_operation_unref(flush);
    }
    // A server that does not answer in time uncorks when it does; recording goes on meanwhile
    // as silence on the clock.
    if (corkLocked(false) == PulseConnection::Outcome::failed) {
      return pulseError("the audio server did not resume recording: " +
                        connection_->lastErrorText());
    }
    return std::nullopt;
  }

  if (auto error = connection_->ensureConnected()) return error;
  delivery_ = std::make_unique<PulseDeliveryThread>(options_.channels, options_.sampleRate,
                                                    handler_, options_.pacing);
  std::optional<Error> failure;
  {
    PulseConnection::Lock lock(*connection_);
    wanted_ = Wanted::running;
    PulseConnection::Listener listener;
    listener.reconnected = [this] { reconnectLocked(); };
    // Also for a named device: recordSource() may make the stream follow the default later.
    listener.serverChanged = [this] { followDefaultLocked(); };
    listener_ = connection_->addListener(std::move(listener));
    beginConnectLocked();
    connection_->waitUntil([this] { return ready_ || connectFailure_.has_value(); },
                           pulseDeadlineIn(kPulseQueryTimeout));
    if (ready_) {
      established_ = true;
      return std::nullopt;
    }
    failure =
        pulseError(connectFailure_.value_or("the audio server did not start recording in time"));
    wanted_ = Wanted::stopped;
    teardownLocked();
  }
  delivery_.reset();
  return failure;
}

void PulseRecordStream::beginConnectLocked() {
  // Whatever an earlier attempt still waits for is of no use now.
  for (pa_operation* operation : pending_) {
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  pending_.clear();
  releaseStreamLocked();
  if (options_.follow != PulseFollow::defaultSinkMonitor || !options_.device.empty()) {
    connectToLocked(options_.device);
    return;
  }
  // The monitor is asked for by its own name: a session manager may not resolve the server's
  // special names for monitors and hand out the default source instead.
  trackLocked(pa_context_get_server_info(
      connection_->context(),
      [](pa_context* context, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<PulseRecordStream*>(userdata);
        if (self->wanted_ == Wanted::stopped) return;
        if (info == nullptr || info->default_sink_name == nullptr) {
          self->failConnectLocked("the audio server has no default output");
          return;
        }
        self->trackLocked(pa_context_get_sink_info_by_name(
            context, info->default_sink_name,
            [](pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
              auto* self = static_cast<PulseRecordStream*>(userdata);
              if (self->wanted_ == Wanted::stopped || self->stream_ != nullptr) return;
              if (eol == 0 && sink != nullptr && sink->monitor_source_name != nullptr) {
                self->connectToLocked(sink->monitor_source_name);
              } else if (eol != 0) {
                self->failConnectLocked("the audio server did not describe its default output");
              }
            },
            self));
      },
      this));
}

void PulseRecordStream::connectToLocked(const std::string& device) {
  releaseStreamLocked();
  deviceNamedDuringAttempt_ = false;
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, options_.sampleRate,
                            static_cast<std::uint8_t>(options_.channels)};
  if (!pa_sample_spec_valid(&spec)) {
    failConnectLocked("the audio format is not supported");
    return;
  }
  stream_ = pa_stream_new(connection_->context(), options_.streamName.c_str(), &spec, nullptr);
  if (stream_ == nullptr) {
    failConnectLocked("the audio server refused a record stream: " + connection_->lastErrorText());
    return;
  }
  intendedDevice_ = device;
  pa_stream_set_state_callback(stream_, &PulseRecordStream::onState, this);

  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof(attributes));
  attributes.fragsize =
      static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentMilliseconds * PA_USEC_PER_MSEC, &spec));
  // No PA_STREAM_DONT_MOVE: the stream must be free to move to a new default device.
  int flags = PA_STREAM_ADJUST_LATENCY;
  if (wanted_ == Wanted::paused) flags |= PA_STREAM_START_CORKED;
  if (pa_stream_connect_record(stream_, device.empty() ? nullptr : device.c_str(), &attributes,
                               static_cast<pa_stream_flags_t>(flags)) < 0) {
    const std::string reason =
        "the audio server refused to record: " + connection_->lastErrorText();
    releaseStreamLocked();
    failConnectLocked(reason);
  }
}

void PulseRecordStream::failConnectLocked(std::string reason) {
  if (!established_) {
    // start() waits for this and reports it.
    connectFailure_ = std::move(reason);
    connection_->signal();
    return;
  }
  retryLaterLocked();
}

void PulseRecordStream::onState(pa_stream*, void* self) {
  static_cast<PulseRecordStream*>(self)->onStateLocked();
}

void PulseRecordStream::onStateLocked() {
  connection_->signal();
  const pa_stream_state_t state = pa_stream_get_state(stream_);
  if (state == PA_STREAM_READY) {
    const char* device = pa_stream_get_device_name(stream_);
    if (!intendedDevice_.empty() && (device == nullptr || intendedDevice_ != device)) {
      if (!established_) {
        // Recording something else under this track's name would be worse than no track.
        // Appended rather than `"\"" + std::string(device)`, which GCC 12 at -O3 takes for an
        // overlapping copy (a false -Wrestrict).
        std::string landed = "no device";
        if (device != nullptr) landed.assign("\"").append(device).append("\"");
        const std::string intended = intendedDevice_;
        releaseStreamLocked();
        failConnectLocked("the audio server records " + landed + " instead of \"" + intended +
                          "\"");
        return;
      }
      moveToLocked(intendedDevice_.c_str());
    }
    ready_ = true;
    // Only now: nothing is delivered from a stream that might have landed on the wrong device.
    pa_stream_set_read_callback(stream_, &PulseRecordStream::onRead, this);
    delivery_->setSourceLost(false);
    return;
  }
  if (PA_STREAM_IS_GOOD(state)) return;

  const int error = connection_->lastError();
  const std::string reason = connection_->lastErrorText();
  releaseStreamLocked();
  delivery_->setSourceLost(true);
  if (!established_) {
    failConnectLocked("the audio server could not start recording: " + reason);
    return;
  }
  // A named device that is gone (an echo canceller the server lost in a restart) is not
  // coming back: the default source is the closest thing to it. Unless it was named while this
  // attempt was under way (the canceller loaded again after the restart): the next attempt
  // asks for it as it is now.
  if (error == PA_ERR_NOENTITY && !options_.device.empty() && !deviceNamedDuringAttempt_ &&
      options_.follow != PulseFollow::defaultSinkMonitor) {
    options_.device.clear();
    options_.follow = PulseFollow::defaultSource;
  }
  // With the connection gone too, its return brings the stream back.
  if (connection_->isReady()) retryLaterLocked();
}

void PulseRecordStream::releaseStreamLocked() {
  ready_ = false;
  if (stream_ == nullptr) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

void PulseRecordStream::teardownLocked() {
  if (listener_ != 0) {
    connection_->removeListener(listener_);
    listener_ = 0;
  }
  if (retryTimer_ != nullptr) {
    connection_->api()->time_free(retryTimer_);
    retryTimer_ = nullptr;
  }
  for (pa_operation* operation : pending_) {
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  pending_.clear();
  releaseStreamLocked();
}

void PulseRecordStream::retryLaterLocked() {
  if (retryTimer_ != nullptr) return;
  retryTimer_ = connection_->timerIn(
      kRetryIntervalUsec,
      [](pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata) {
        auto* self = static_cast<PulseRecordStream*>(userdata);
        api->time_free(event);
        self->retryTimer_ = nullptr;
        if (self->connection_->isReady()) self->reconnectLocked();
      },
      this);
}

void PulseRecordStream::reconnectLocked() {
  if (wanted_ == Wanted::stopped || stream_ != nullptr) return;
  beginConnectLocked();
}

void PulseRecordStream::pause() {
  if (!delivery_) return;
  delivery_->close();
  PulseConnection::Lock lock(*connection_);
  if (wanted_ == Wanted::stopped) return;
  wanted_ = Wanted::paused;
  // A server that does not answer in time corks the stream when it does; nothing it delivers
  // meanwhile is handed out.
  if (stream_ != nullptr && ready_) corkLocked(true);
}

void PulseRecordStream::stop(PulseDeadline confirmedBy) {
  if (!delivery_) return;
  delivery_->close();
  {
    PulseConnection::Lock lock(*connection_);
    wanted_ = Wanted::stopped;
    if (stream_ != nullptr && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
      // The server's answer to the disconnect ends the stream; nothing else of it matters now.
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_set_state_callback(
          stream_,
          [](pa_stream*, void* self) {
            static_cast<PulseRecordStream*>(self)->connection_->signal();
          },
          this);
      pa_stream_disconnect(stream_);
      pa_stream* stream = stream_;
      connection_->waitUntil([stream] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); },
                             confirmedBy);
    }
    teardownLocked();
  }
  // Joins the thread; nothing can push any more since the stream is gone.
  delivery_.reset();
}

void PulseRecordStream::recordSource(const std::string& device) {
  if (!delivery_) return;
  PulseConnection::Lock lock(*connection_);
  options_.device = device;
  options_.follow = device.empty() ? PulseFollow::defaultSource : PulseFollow::nothing;
  // Without a stream now, the next one is made for this device.
  if (stream_ == nullptr) return;
  intendedDevice_ = device;
  // A stream still being made is moved once ready, like any stream that lands elsewhere.
  if (!ready_) {
    deviceNamedDuringAttempt_ = true;
    return;
  }
  if (device.empty()) {
    followDefaultLocked();
  } else {
    moveToLocked(device.c_str());
  }
}

bool PulseRecordStream::isRunning() {
  if (!delivery_) return false;
  PulseConnection::Lock lock(*connection_);
  return wanted_ == Wanted::running;
}

std::string PulseRecordStream::deviceName() {
  if (!delivery_) return {};
  PulseConnection::Lock lock(*connection_);
  if (stream_ == nullptr || !ready_) return {};
  const char* name = pa_stream_get_device_name(stream_);
  return name == nullptr ? std::string() : std::string(name);
}

PulseConnection::Outcome PulseRecordStream::corkLocked(bool cork) {
  struct Reply {
    PulseConnection* connection;
    bool success = false;
  } reply{connection_.get()};
  pa_operation* operation = pa_stream_cork(
      stream_, cork ? 1 : 0,
      [](pa_stream*, int success, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        reply->success = success != 0;
        reply->connection->signal();
      },
      &reply);
  const auto outcome = connection_->waitFor(operation, pulseDeadlineIn(kPulseRunningCallTimeout));
  if (outcome == PulseConnection::Outcome::done && !reply.success) {
    return PulseConnection::Outcome::failed;
  }
  return outcome;
}

void PulseRecordStream::followDefaultLocked() {
  if (options_.follow == PulseFollow::nothing || stream_ == nullptr || !ready_) return;
  trackLocked(pa_context_get_server_info(
      connection_->context(),
      [](pa_context* context, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<PulseRecordStream*>(userdata);
        if (info == nullptr || self->stream_ == nullptr) return;
        if (self->options_.follow == PulseFollow::nothing) return;
        if (self->options_.follow == PulseFollow::defaultSource) {
          self->moveToLocked(info->default_source_name);
          return;
        }
        if (info->default_sink_name == nullptr) return;
        self->trackLocked(pa_context_get_sink_info_by_name(
            context, info->default_sink_name,
            [](pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
              if (eol != 0 || sink == nullptr) return;
              auto* self = static_cast<PulseRecordStream*>(userdata);
              if (self->stream_ == nullptr || sink->monitor_source_name == nullptr) return;
              self->intendedDevice_ = sink->monitor_source_name;
              self->moveToLocked(sink->monitor_source_name);
            },
            self));
      },
      this));
}

void PulseRecordStream::moveToLocked(const char* sourceName) {
  if (sourceName == nullptr || stream_ == nullptr) return;
  const char* current = pa_stream_get_device_name(stream_);
  // The server may already have moved a stream that was connected without a device.
  if (current != nullptr && std::strcmp(current, sourceName) == 0) return;
  trackLocked(pa_context_move_source_output_by_name(
      connection_->context(), pa_stream_get_index(stream_), sourceName, nullptr, nullptr));
}

void PulseRecordStream::trackLocked(pa_operation* operation) {
  std::erase_if(pending_, [](pa_operation* pending) {
    if (pa_operation_get_state(pending) == PA_OPERATION_RUNNING) return false;
    pa_operation_unref(pending);
    return true;
  });
  if (operation != nullptr) pending_.push_back(operation);
}

void PulseRecordStream::onRead(pa_stream* stream, std::size_t, void* self) {
  auto* record = static_cast<PulseRecordStream*>(self);
  for (;;) {
    const void* samples = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &samples, &bytes) < 0 || bytes == 0) return;
    // A hole (no samples, only a length) is delivered as silence to keep the timeline.
    record->delivery_->push(samples, bytes);
    pa_stream_drop(stream);
  }
}

}  // namespace platform::linux_backend
