#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "linux/pocketsphinx_model.h"

namespace platform::linux_backend {
namespace {

namespace fs = std::filesystem;

const PocketsphinxModel kDistributionEnglish{
    "/usr/share/pocketsphinx/model/en-us/en-us",
    "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict",
    "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin"};

// What a model directory holds, relative to it.
enum class Layout { complete, completeWithTextLanguageModel, withoutDictionary };

// A model for `locale` under `dataDir`; returns the directory it is in.
fs::path installModel(const fs::path& dataDir, const std::string& locale, Layout layout) {
  const fs::path directory = dataDir / "zuno-recorder" / "models" / locale;
  fs::create_directories(directory / "acoustic-model");
  if (layout != Layout::withoutDictionary) std::ofstream(directory / "dictionary.dict") << "a AH\n";
  const char* languageModel = layout == Layout::completeWithTextLanguageModel
                                  ? "language-model.lm"
                                  : "language-model.lm.bin";
  std::ofstream(directory / languageModel) << "x";
  return directory;
}

PocketsphinxModel modelIn(const fs::path& directory, const std::string& languageModel) {
  return {(directory / "acoustic-model").string(), (directory / "dictionary.dict").string(),
          (directory / languageModel).string()};
}

struct LookupCase {
  std::string name;
  std::string locale;
  // Where a model is installed: "home" ($XDG_DATA_HOME), "second" (the second of $XDG_DATA_DIRS).
  std::map<std::string, Layout> installed;
  // "home", "second", "distribution" or "" for none.
  std::string expected;
  std::string languageModel = "language-model.lm.bin";
};

void PrintTo(const LookupCase& lookup, std::ostream* out) {
  *out << lookup.name;
}

class ModelLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ModelLookup, FindsTheFirstCompleteModelForTheLocale) {
  const LookupCase& lookup = GetParam();
  const fs::path root = fs::path(::testing::TempDir()) / ("zuno-models-" + lookup.name);
  fs::remove_all(root);
  const std::map<std::string, fs::path> dataDirs{
      {"home", root / "home"}, {"first", root / "first"}, {"second", root / "second"}};
  for (const auto& [where, path] : dataDirs) fs::create_directories(path);
  std::map<std::string, fs::path> modelDirs;
  for (const auto& [where, layout] : lookup.installed) {
    modelDirs[where] = installModel(dataDirs.at(where), lookup.locale, layout);
  }
  const std::map<std::string, std::string> environment{
      {"XDG_DATA_HOME", dataDirs.at("home").string()},
      {"XDG_DATA_DIRS", dataDirs.at("first").string() + "::" + dataDirs.at("second").string()}};

  const auto found = findPocketsphinxModel(
      lookup.locale, [&](const std::string& name) -> std::optional<std::string> {
        const auto value = environment.find(name);
        if (value == environment.end()) return std::nullopt;
        return value->second;
      });

  if (lookup.expected.empty()) {
    EXPECT_EQ(found, std::nullopt);
  } else if (lookup.expected == "distribution") {
    EXPECT_EQ(found, kDistributionEnglish);
  } else {
    EXPECT_EQ(found, modelIn(modelDirs.at(lookup.expected), lookup.languageModel));
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryPlaceAModelCanBe, ModelLookup,
    ::testing::Values(
        LookupCase{"EnglishFromTheDistribution", "en-US", {}, "distribution"},
        LookupCase{"BareEnglishFromTheDistribution", "en", {}, "distribution"},
        LookupCase{"JapaneseNowhere", "ja-JP", {}, ""},
        LookupCase{"JapaneseInTheHomeDataDir", "ja-JP", {{"home", Layout::complete}}, "home"},
        LookupCase{"JapaneseInALaterDataDir", "ja-JP", {{"second", Layout::complete}}, "second"},
        LookupCase{"TextLanguageModel",
                   "ja-JP",
                   {{"home", Layout::completeWithTextLanguageModel}},
                   "home",
                   "language-model.lm"},
        LookupCase{"IncompleteModelIsSkipped",
                   "ja-JP",
                   {{"home", Layout::withoutDictionary}, {"second", Layout::complete}},
                   "second"},
        LookupCase{"IncompleteModelOnlyIsNone", "ja-JP", {{"home", Layout::withoutDictionary}}, ""},
        LookupCase{
            "UserModelComesBeforeTheDistributions", "en-US", {{"home", Layout::complete}}, "home"},
        LookupCase{
            "LocaleThatLeavesTheModelsDirIsNone", "../ja-JP", {{"home", Layout::complete}}, ""}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

}  // namespace
}  // namespace platform::linux_backend
