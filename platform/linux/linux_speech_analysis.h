#pragma once

#include "platform/speech_analyzer.h"

namespace platform::linux_backend {

// Linux has no on-device speech analyzer, and this backend reports a release older than the
// one that brought it, so the logic never chooses it here. Should anything still ask, every
// step that can fail answers that it is unavailable.
class LinuxSpeechAnalysis final : public SpeechAnalysis {
 public:
  std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const SpeechTranscriberSettings& settings) override;
  void assetInstallationRequest(const SpeechModules& modules,
                                AssetInstallationRequestHandler handler) override;
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override;
};

}  // namespace platform::linux_backend
