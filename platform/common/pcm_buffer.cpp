#include "platform/pcm_buffer.h"

#include <algorithm>

namespace platform {

std::shared_ptr<PCMBuffer> PCMBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
  if (format.bytesPerSample() == 0 || format.channelCount == 0) return nullptr;
  return std::make_shared<PCMBuffer>(format, frameCapacity);
}

PCMBuffer::PCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
  const std::size_t bufferBytes = std::size_t{frameCapacity} * format.bytesPerFrame();
  const std::uint32_t count = format.bufferCount();
  // Keep every channel block float-aligned inside one allocation.
  const std::size_t stride = (bufferBytes + 15) / 16 * 16;
  storage_.resize(std::max<std::size_t>(stride * count, 16));
  buffers_.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    buffers_[i].mNumberChannels = format.interleaved ? format.channelCount : 1;
    buffers_[i].mDataByteSize = 0;
    buffers_[i].mData = storage_.data() + stride * i;
    if (format.commonFormat == CommonFormat::pcmFloat32) {
      floatChannels_.push_back(static_cast<float*>(buffers_[i].mData));
    }
  }
}

void PCMBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = std::min(frames, frameCapacity_);
  for (auto& buffer : buffers_) buffer.mDataByteSize = frameLength_ * format_.bytesPerFrame();
}

std::span<float* const> PCMBuffer::floatChannelData() const {
  return floatChannels_;
}

}  // namespace platform
