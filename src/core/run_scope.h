#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace zuno {

// What a subcommand leaves to the one end of its run. The objects that own its threads, streams
// and files are kept here until the process ends, so returning from the subcommand, or a failure
// unwinding out of it, destroys none of them: nothing joins a thread or drains a queue on the way
// out. The cleanup is what a failure must still do before its error event (complete the files,
// give back what the run set up in the user's audio server).
class RunScope {
 public:
  template <typename Object>
  std::shared_ptr<Object> keep(std::shared_ptr<Object> object) {
    kept_.push_back(object);
    return object;
  }
  void setCleanupAfterFailure(std::function<void()> cleanup) { cleanup_ = std::move(cleanup); }
  void cleanUpAfterFailure() {
    if (auto cleanup = std::exchange(cleanup_, nullptr)) cleanup();
  }

 private:
  std::vector<std::shared_ptr<void>> kept_;
  std::function<void()> cleanup_;
};

}  // namespace zuno
