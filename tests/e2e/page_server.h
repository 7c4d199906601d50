#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zuno::e2e {

// A web server on 127.0.0.1 for pages that browsers in a test show, in the test's own process:
// it serves the files of one directory, and is how a page and the test talk to each other.
//
//   GET  /<path>            a file of the directory (byte ranges too, as media elements ask)
//   POST /report/<name>     the page reports `name` with the request's body as its value
//   GET  /report/<name>?<v> the same with the (percent-decoded) query as the value
//   GET  /await/<name>      answered only once the test calls release(name)
//
// Every connection has a thread of its own, so a page held at /await never holds up its other
// requests. Each answer closes its connection.
class PageServer {
 public:
  explicit PageServer(std::string directory);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // Whether it listens.
  bool running() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // The address of `path` (no leading slash) on this server.
  std::string url(const std::string& path) const;

  // The value a page reported under `name`, waiting up to `seconds` for it; the latest when
  // reported more than once.
  std::optional<std::string> waitForReport(const std::string& name, double seconds);
  std::optional<std::string> report(const std::string& name) const;
  // Answers the requests held at /await/<name>, and those that come later.
  void release(const std::string& name);
  // Every request so far, one "METHOD target status" a line: what a failed test shows.
  std::string requestLog() const;

 private:
  void acceptLoop();
  void serve(int connection);
  void finish(int connection);

  std::string directory_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread acceptor_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, std::string> reports_;
  std::set<std::string> released_;
  std::vector<std::string> requests_;
  std::set<int> connections_;
  std::vector<std::thread> handlers_;
};

}  // namespace zuno::e2e
