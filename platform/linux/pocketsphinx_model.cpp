#include "linux/pocketsphinx_model.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace platform::linux_backend {
namespace {

namespace fs = std::filesystem;

// Where the distribution's English model lives.
const PocketsphinxModel kDistributionEnglish{
    "/usr/share/pocketsphinx/model/en-us/en-us",
    "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict",
    "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin"};

// The locale becomes a directory name, so anything that could leave the models directory is
// refused rather than looked up.
bool isPlainLocaleName(const std::string& locale) {
  if (locale.empty()) return false;
  for (const char c : locale) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!allowed) return false;
  }
  return true;
}

bool isEnglish(const std::string& locale) {
  return locale == "en-US" || locale == "en_US" || locale == "en";
}

bool isDirectory(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

bool isFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool isComplete(const PocketsphinxModel& model) {
  return isDirectory(model.acousticModel) && isFile(model.dictionary) &&
         isFile(model.languageModel);
}

// The XDG data directories, most personal first; unset or empty variables take their defaults.
std::vector<fs::path> dataDirectories(const EnvironmentLookup& environment) {
  std::vector<fs::path> directories;
  const auto dataHome = environment("XDG_DATA_HOME");
  if (dataHome && !dataHome->empty()) {
    directories.emplace_back(*dataHome);
  } else if (const auto home = environment("HOME"); home && !home->empty()) {
    directories.push_back(fs::path(*home) / ".local/share");
  }
  auto dataDirs = environment("XDG_DATA_DIRS");
  const std::string list =
      dataDirs && !dataDirs->empty() ? *dataDirs : "/usr/local/share:/usr/share";
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t colon = list.find(':', start);
    const std::string entry =
        list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!entry.empty()) directories.emplace_back(entry);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return directories;
}

std::optional<PocketsphinxModel> modelIn(const fs::path& directory) {
  PocketsphinxModel model{(directory / "acoustic-model").string(),
                          (directory / "dictionary.dict").string(),
                          (directory / "language-model.lm.bin").string()};
  if (!isFile(model.languageModel))
    model.languageModel = (directory / "language-model.lm").string();
  if (isComplete(model)) return model;
  return std::nullopt;
}

}  // namespace

std::optional<PocketsphinxModel> findPocketsphinxModel(const std::string& locale,
                                                       const EnvironmentLookup& environment) {
  if (!isPlainLocaleName(locale)) return std::nullopt;
  for (const fs::path& directory : dataDirectories(environment)) {
    if (auto model = modelIn(directory / "zuno-recorder" / "models" / locale)) return model;
  }
  if (isEnglish(locale) && isComplete(kDistributionEnglish)) return kDistributionEnglish;
  return std::nullopt;
}

std::optional<PocketsphinxModel> findPocketsphinxModel(const std::string& locale) {
  return findPocketsphinxModel(locale, [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
  });
}

}  // namespace platform::linux_backend
