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
// piece. While broken (the reader has gone) requests are refused and not captured.
class SimOutputStream : public OutputStream {
 public:
  bool writeAll(std::string_view bytes) override;

  void setBroken(bool broken);
  // Runs before a refused write returns false; the runtime uses it to deliver SIGPIPE.
  void setOnRefusedWrite(std::function<void()> hook);

  std::vector<std::string> writes() const;
  std::string text() const;
  // Split on '\n' without it; a final unterminated piece counts as a line.
  std::vector<std::string> lines() const;
  std::size_t refusedWrites() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> writes_;
  bool broken_ = false;
  std::size_t refused_ = 0;
  std::function<void()> onRefusedWrite_;
};

// Scripted standard input: what was fed and not yet read, and whether end of file was reached.
class SimStandardInput : public StandardInput {
 public:
  StandardInputRead readAvailable() override;

  void feed(std::string chunk);
  void close();
  bool hasPendingInput() const;
  bool isClosed() const;
  bool isReadable() const { return hasPendingInput() || isClosed(); }

 private:
  mutable std::mutex mutex_;
  std::string pending_;
  bool closed_ = false;
};

}  // namespace platform::sim
