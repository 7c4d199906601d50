#include "sim/sim_runtime_streams.h"

#include <stdexcept>
#include <utility>

namespace platform::sim {

bool SimOutputStream::writeAll(std::string_view bytes) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    if (!broken_) {
      writes_.emplace_back(bytes);
      return true;
    }
    ++refused_;
    hook = onRefusedWrite_;
  }
  if (hook) hook();
  return false;
}

void SimOutputStream::setBroken(bool broken) {
  std::lock_guard lock(mutex_);
  broken_ = broken;
}

void SimOutputStream::setOnRefusedWrite(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  onRefusedWrite_ = std::move(hook);
}

std::vector<std::string> SimOutputStream::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::string SimOutputStream::text() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const auto& write : writes_) all += write;
  return all;
}

std::vector<std::string> SimOutputStream::lines() const {
  const std::string all = text();
  std::vector<std::string> result;
  std::size_t begin = 0;
  while (begin < all.size()) {
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
  // Writing after the end of file would be a broken test script, not a recorder fault.
  if (closed_) throw std::logic_error("feedStdin after closeStdin");
  pending_ += chunk;
}

void SimStandardInput::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

bool SimStandardInput::hasPendingInput() const {
  std::lock_guard lock(mutex_);
  return !pending_.empty();
}

bool SimStandardInput::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace platform::sim
