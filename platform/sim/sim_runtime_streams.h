#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/output_stream.h"
#include "platform/runtime.h"

namespace platform::sim {

// Captures each write request whole, so a test can check that a line was handed over in one
// piece. Writes are refused while broken (the reader has gone) and once the process has ended.
class SimOutputStream final : public OutputStream {
 public:
  explicit SimOutputStream(std::function<bool()> processEnded)
      : processEnded_(std::move(processEnded)) {}
  bool writeAll(std::string_view bytes) override;

  void setBroken(bool broken);
  std::string text() const;
  // Split on '\n' without it; a final unterminated piece counts as a line.
  std::vector<std::string> lines() const;
  std::size_t refusedWrites() const;

 private:
  const std::function<bool()> processEnded_;
  mutable std::mutex mutex_;
  std::string text_;
  bool broken_ = false;
  std::size_t refused_ = 0;
};

// Scripted standard input: what was fed and not yet read, and whether it has ended.
class SimStandardInput final : public StandardInput {
 public:
  StandardInputRead readAvailable() override;

  void feed(std::string chunk);
  void close();
  bool isReadable() const;

 private:
  mutable std::mutex mutex_;
  std::string pending_;
  bool closed_ = false;
};

}  // namespace platform::sim
