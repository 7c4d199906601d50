#include "sim/sim_runtime_streams.h"

#include <stdexcept>
#include <utility>

namespace platform::sim {

bool SimOutputStream::writeAll(std::string_view bytes) {
  const bool ended = processEnded_();
  std::lock_guard lock(mutex_);
  if (broken_ || ended) {
    ++refused_;
    return false;
  }
  text_ += bytes;
  return true;
}

void SimOutputStream::setBroken(bool broken) {
  std::lock_guard lock(mutex_);
  broken_ = broken;
}

std::string SimOutputStream::text() const {
  std::lock_guard lock(mutex_);
  return text_;
}

std::vector<std::string> SimOutputStream::lines() const {
  const std::string all = text();
  std::vector<std::string> result;
  for (std::size_t begin = 0; begin < all.size();) {
    std::size_t end = all.find('\n', begin);
    if (end == std::string::npos) end = all.size();
    result.push_back(all.substr(begin, end - begin));
    begin = end + 1;
  }
  return result;
}

std::size_t SimOutputStream::refusedWrites() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

StandardInputRead SimStandardInput::readAvailable() {
  std::lock_guard lock(mutex_);
  return {std::exchange(pending_, std::string()), closed_};
}

void SimStandardInput::feed(std::string chunk) {
  std::lock_guard lock(mutex_);
  // Input after its end would be a broken test script, not a fault of the program.
  if (closed_) throw std::logic_error("feedStdin after closeStdin");
  pending_ += chunk;
}

void SimStandardInput::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

bool SimStandardInput::isReadable() const {
  std::lock_guard lock(mutex_);
  return !pending_.empty() || closed_;
}

}  // namespace platform::sim
