#include "tap/system_audio_tap.h"

#include <algorithm>
#include <cstring>

#include "core/system_releases.h"

namespace zuno {
namespace {

constexpr const char* kAggregateDeviceName = "zuno-recorder-tap";

platform::DescriptionDictionary aggregateDescription(const std::string& deviceUID,
                                                     const std::string& tapUID) {
  using platform::DescriptionDictionary;
  using platform::DescriptionValue;
  const DescriptionDictionary subTap{{"uid", DescriptionValue{tapUID}},
                                     {"drift", DescriptionValue{true}}};
  return {
      {"name", DescriptionValue{std::string(kAggregateDeviceName)}},
      {"uid", DescriptionValue{deviceUID}},
      {"private", DescriptionValue{true}},
      {"stacked", DescriptionValue{false}},
      {"tapautostart", DescriptionValue{true}},
      {"taps", DescriptionValue{std::vector<DescriptionDictionary>{subTap}}},
  };
}

}  // namespace

std::shared_ptr<SystemAudioTap> SystemAudioTap::create(platform::Platform& platform) {
  auto tap = std::make_shared<SystemAudioTap>(platform);
  tap->construct();
  return tap;
}

SystemAudioTap::SystemAudioTap(platform::Platform& platform)
    : hardware_(platform.audioHardware),
      audioFiles_(platform.audioFiles),
      process_(platform.process) {}

SystemAudioTap::~SystemAudioTap() {
  // The program stops the tap itself on every way out; this catches the owners that did not.
  stop();
}

void SystemAudioTap::construct() {
  if (!offersProcessTaps(process_.operatingSystemVersion())) {
    throw SystemAudioTapError::unsupportedOS();
  }

  auto description =
      platform::CATapDescription::stereoGlobalTapButExcludeProcesses({}, process_.makeUUIDString());
  description.isPrivate = true;
  description.muteBehavior = 0;

  platform::AudioObjectID tapID = 0;
  const platform::OSStatus tapStatus = hardware_.createProcessTap(description, tapID);
  if (tapStatus != 0 || tapID == 0) throw SystemAudioTapError::tapCreateFailed(tapStatus);
  tapID_ = tapID;

  // Each failure below must leave nothing behind: the tap is destroyed here and the fields are
  // cleared so the destructor of this half-built object does not destroy it again.
  const auto abandonTap = [this] {
    hardware_.destroyProcessTap(tapID_);
    tapID_ = 0;
  };

  platform::AudioStreamBasicDescription asbd{};
  std::uint32_t size = sizeof(asbd);
  const platform::AudioObjectPropertyAddress formatAddress{
      platform::kAudioTapPropertyFormat, platform::kAudioObjectPropertyScopeGlobal,
      platform::kAudioObjectPropertyElementMain};
  if (hardware_.getPropertyData(tapID_, formatAddress, 0, nullptr, size, &asbd) != 0) {
    abandonTap();
    throw SystemAudioTapError::formatUnavailable();
  }
  auto format = platform::AudioFormat::fromStreamDescription(asbd);
  if (!format) {
    abandonTap();
    throw SystemAudioTapError::formatUnavailable();
  }
  asbd_ = asbd;
  streamFormat_ = *format;

  platform::AudioObjectID aggregateID = 0;
  const platform::OSStatus aggregateStatus = hardware_.createAggregateDevice(
      aggregateDescription(process_.makeUUIDString(), description.uuid), aggregateID);
  if (aggregateStatus != 0 || aggregateID == 0) {
    abandonTap();
    throw SystemAudioTapError::aggregateCreateFailed(aggregateStatus);
  }
  aggregateID_ = aggregateID;
}

void SystemAudioTap::start(Handler handler) {
  handler_ = std::move(handler);
  std::weak_ptr<SystemAudioTap> weakSelf = weak_from_this();
  platform::AudioDeviceIOBlock block =
      [weakSelf](const platform::AudioTimeStamp&, const platform::ConstAudioBufferList& input,
                 const platform::AudioTimeStamp&, platform::AudioBufferList&,
                 const platform::AudioTimeStamp&) {
        auto self = weakSelf.lock();
        if (!self || !self->handler_) return;
        self->deliver(input, self->handler_);
      };

  platform::AudioDeviceIOProcID procID = 0;
  const platform::OSStatus registerStatus =
      hardware_.createIOProcIDWithBlock(procID, aggregateID_, nullptr, std::move(block));
  if (registerStatus != 0 || procID == 0) throw SystemAudioTapError::ioProcFailed(registerStatus);
  ioProcID_ = procID;

  const platform::OSStatus startStatus = hardware_.deviceStart(aggregateID_, *ioProcID_);
  if (startStatus != 0) throw SystemAudioTapError::ioProcFailed(startStatus);
}

void SystemAudioTap::stop() {
  if (ioProcID_) {
    hardware_.deviceStop(aggregateID_, *ioProcID_);
    hardware_.destroyIOProcID(aggregateID_, *ioProcID_);
    ioProcID_.reset();
  }
  if (aggregateID_ != 0) {
    hardware_.destroyAggregateDevice(aggregateID_);
    aggregateID_ = 0;
  }
  if (tapID_ != 0) {
    hardware_.destroyProcessTap(tapID_);
    tapID_ = 0;
  }
  handler_ = nullptr;
}

void SystemAudioTap::deliver(const platform::ConstAudioBufferList& inputData,
                             const Handler& handler) {
  if (inputData.buffers.empty()) return;
  const std::uint32_t bytes = inputData.buffers.front().mDataByteSize;
  const std::uint32_t frameSize = asbd_.mBytesPerFrame == 0 ? 1 : asbd_.mBytesPerFrame;
  if (bytes < frameSize) return;
  const std::uint32_t frames = bytes / frameSize;

  auto buffer = audioFiles_.makePCMBuffer(*streamFormat_, frames);
  if (!buffer) return;
  buffer->setFrameLength(frames);

  platform::AudioBufferList destination = buffer->mutableAudioBufferList();
  const std::size_t pairs = std::min(inputData.buffers.size(), destination.buffers.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    const platform::AudioBuffer& from = inputData.buffers[i];
    platform::AudioBuffer& to = destination.buffers[i];
    if (from.mData == nullptr || to.mData == nullptr) continue;
    std::memcpy(to.mData, from.mData, std::min(from.mDataByteSize, to.mDataByteSize));
  }
  handler(buffer);
}

}  // namespace zuno
