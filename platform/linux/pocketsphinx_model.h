#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform::linux_backend {

// The three files a decoder needs for one language.
struct PocketsphinxModel {
  std::string acousticModel;  // a directory
  std::string dictionary;
  std::string languageModel;
  bool operator==(const PocketsphinxModel&) const = default;
};

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The installed model for a locale, if any. A model the user or the administrator installs
// under the XDG data directories comes first:
//   <data dir>/zuno-recorder/models/<locale>/acoustic-model/          (the acoustic model)
//   <data dir>/zuno-recorder/models/<locale>/dictionary.dict          (the pronunciations)
//   <data dir>/zuno-recorder/models/<locale>/language-model.lm.bin    (or language-model.lm)
// with the data directories $XDG_DATA_HOME (default ~/.local/share) then each of $XDG_DATA_DIRS
// (default /usr/local/share:/usr/share). English (en-US, en) falls back to the distribution's
// own model.
std::optional<PocketsphinxModel> findPocketsphinxModel(const std::string& locale,
                                                       const EnvironmentLookup& environment);

// The same, reading the process environment.
std::optional<PocketsphinxModel> findPocketsphinxModel(const std::string& locale);

}  // namespace platform::linux_backend
