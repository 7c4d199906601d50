#include "linux/pulse_record_stream.h"

#include <cstring>

namespace platform::linux_backend {
namespace {

// About 20 ms per fragment: small enough for steady meters, large enough to keep the wakeups
// of two streams cheap.
constexpr std::uint32_t kFragmentMilliseconds = 20;

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
  if (auto error = connection_->ensureConnected()) return error;
  if (stream_ != nullptr && !paused_) return std::nullopt;
  if (stream_ != nullptr) {
    delivery_->open();
    PulseConnection::Lock lock(*connection_);
    // What was buffered before the pause belongs to the pause; drop it.
    if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr)) {
      pa_operation_unref(flush);
    }
    if (!corkLocked(false)) {
      return pulseError("the audio server did not resume recording: " +
                        connection_->lastErrorText());
    }
    paused_ = false;
    return std::nullopt;
  }
  delivery_ = std::make_unique<PulseDeliveryThread>(options_.channels, handler_);
  PulseConnection::Lock lock(*connection_);
  if (auto error = connectLocked()) {
    disconnectLocked();
    delivery_.reset();
    return error;
  }
  return std::nullopt;
}

MaybeError PulseRecordStream::connectLocked() {
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, options_.sampleRate,
                            static_cast<std::uint8_t>(options_.channels)};
  if (!pa_sample_spec_valid(&spec)) return pulseError("the audio format is not supported");
  stream_ = pa_stream_new(connection_->context(), options_.streamName.c_str(), &spec, nullptr);
  if (stream_ == nullptr) {
    return pulseError("the audio server refused a record stream: " + connection_->lastErrorText());
  }
  pa_stream_set_state_callback(stream_, &PulseRecordStream::onState, this);
  pa_stream_set_read_callback(stream_, &PulseRecordStream::onRead, this);

  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof(attributes));
  attributes.fragsize =
      static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentMilliseconds * PA_USEC_PER_MSEC, &spec));
  // No PA_STREAM_DONT_MOVE: the stream must be free to move to a new default device.
  const char* device = options_.device.empty() ? nullptr : options_.device.c_str();
  if (pa_stream_connect_record(stream_, device, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
    return pulseError("the audio server refused to record: " + connection_->lastErrorText());
  }
  for (;;) {
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(state)) {
      return pulseError("the audio server could not start recording: " +
                        connection_->lastErrorText());
    }
    pa_threaded_mainloop_wait(connection_->mainloop());
  }
  if (options_.follow != PulseFollow::nothing) {
    serverListener_ = connection_->addServerChangeListener([this] { followDefaultLocked(); });
  }
  return std::nullopt;
}

void PulseRecordStream::pause() {
  if (stream_ == nullptr || paused_) return;
  delivery_->close();
  PulseConnection::Lock lock(*connection_);
  corkLocked(true);
  paused_ = true;
}

void PulseRecordStream::stop() {
  if (stream_ == nullptr) return;
  delivery_->close();
  {
    PulseConnection::Lock lock(*connection_);
    disconnectLocked();
  }
  // Joins the thread; nothing can push any more since the stream is gone.
  delivery_.reset();
  paused_ = false;
}

void PulseRecordStream::disconnectLocked() {
  if (serverListener_ != 0) {
    connection_->removeServerChangeListener(serverListener_);
    serverListener_ = 0;
  }
  for (pa_operation* operation : pending_) {
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  pending_.clear();
  if (stream_ == nullptr) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

bool PulseRecordStream::isRunning() {
  if (stream_ == nullptr || paused_) return false;
  PulseConnection::Lock lock(*connection_);
  return pa_stream_get_state(stream_) == PA_STREAM_READY;
}

std::string PulseRecordStream::deviceName() {
  if (stream_ == nullptr) return {};
  PulseConnection::Lock lock(*connection_);
  const char* name = pa_stream_get_device_name(stream_);
  return name == nullptr ? std::string() : std::string(name);
}

bool PulseRecordStream::corkLocked(bool cork) {
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
  return connection_->waitFor(operation) && reply.success;
}

void PulseRecordStream::followDefaultLocked() {
  forgetFinishedOperationsLocked();
  pa_operation* operation = pa_context_get_server_info(
      connection_->context(),
      [](pa_context* context, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<PulseRecordStream*>(userdata);
        if (info == nullptr || self->stream_ == nullptr) return;
        if (self->options_.follow == PulseFollow::defaultSource) {
          self->moveToLocked(info->default_source_name);
          return;
        }
        if (info->default_sink_name == nullptr) return;
        pa_operation* sinkQuery = pa_context_get_sink_info_by_name(
            context, info->default_sink_name,
            [](pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
              if (eol != 0 || sink == nullptr) return;
              static_cast<PulseRecordStream*>(userdata)->moveToLocked(sink->monitor_source_name);
            },
            self);
        if (sinkQuery != nullptr) self->pending_.push_back(sinkQuery);
      },
      this);
  if (operation != nullptr) pending_.push_back(operation);
}

void PulseRecordStream::moveToLocked(const char* sourceName) {
  if (sourceName == nullptr || stream_ == nullptr) return;
  const char* current = pa_stream_get_device_name(stream_);
  // The server may already have moved a stream that was connected without a device.
  if (current != nullptr && std::strcmp(current, sourceName) == 0) return;
  pa_operation* move = pa_context_move_source_output_by_name(
      connection_->context(), pa_stream_get_index(stream_), sourceName, nullptr, nullptr);
  if (move != nullptr) pending_.push_back(move);
}

void PulseRecordStream::forgetFinishedOperationsLocked() {
  std::erase_if(pending_, [](pa_operation* operation) {
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) return false;
    pa_operation_unref(operation);
    return true;
  });
}

void PulseRecordStream::onState(pa_stream*, void* self) {
  static_cast<PulseRecordStream*>(self)->connection_->signal();
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
