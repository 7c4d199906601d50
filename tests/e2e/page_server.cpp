#include "e2e/page_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zuno::e2e {
namespace {

// A request bigger than this is no page's.
constexpr std::size_t kMaxRequest = 1 << 20;

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string percentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

std::string contentTypeOf(const std::string& path) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".txt", "text/plain; charset=utf-8"},
      {".m4a", "audio/mp4"},
      {".mp4", "audio/mp4"},
      {".wav", "audio/wav"},
      {".ogg", "audio/ogg"},
  };
  for (const auto& [ending, type] : kTypes) {
    if (path.ends_with(ending)) return type;
  }
  return "application/octet-stream";
}

bool sendAll(int connection, const char* data, std::size_t size) {
  while (size > 0) {
    // No SIGPIPE when a browser closes first: it would end the whole test binary.
    const ssize_t sent = ::send(connection, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool sendAll(int connection, const std::string& text) {
  return sendAll(connection, text.data(), text.size());
}

std::string head(int status, const std::string& reason, const std::string& type,
                 std::uint64_t length, const std::string& extra = "") {
  std::ostringstream out;
  out << "HTTP/1.1 " << status << ' ' << reason << "\r\n"
      << "Content-Type: " << type << "\r\n"
      << "Content-Length: " << length << "\r\n"
      << "Cache-Control: no-store\r\n"
      << "Connection: close\r\n"
      << extra << "\r\n";
  return out.str();
}

struct Request {
  std::string method;
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // names lowered
  std::string body;
};

// Reads one request; nothing when the connection ends or breaks first.
std::optional<Request> readRequest(int connection) {
  std::string data;
  std::size_t headerEnd = std::string::npos;
  char chunk[8192];
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
    if (got <= 0 || data.size() > kMaxRequest) return std::nullopt;
    data.append(chunk, static_cast<std::size_t>(got));
  }
  Request request;
  std::istringstream lines(data.substr(0, headerEnd));
  std::string line;
  std::getline(lines, line);
  std::istringstream first(line);
  std::string target;
  first >> request.method >> target;
  const std::size_t question = target.find('?');
  request.path = percentDecoded(target.substr(0, question));
  if (question != std::string::npos) request.query = percentDecoded(target.substr(question + 1));
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    request.headers[lowered(line.substr(0, colon))] = value;
  }
  request.body = data.substr(headerEnd + 4);
  const auto length = request.headers.find("content-length");
  const std::size_t wanted =
      length == request.headers.end() ? 0 : std::strtoull(length->second.c_str(), nullptr, 10);
  if (wanted > kMaxRequest) return std::nullopt;
  while (request.body.size() < wanted) {
    const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
    if (got <= 0) return std::nullopt;
    request.body.append(chunk, static_cast<std::size_t>(got));
  }
  request.body.resize(wanted);
  return request;
}

// Sends the file at `path`, or the part of it a "Range: bytes=FIRST-[LAST]" header asks for;
// the status sent.
int sendFile(int connection, const std::string& path, const std::string& range) {
  std::error_code error;
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!std::filesystem::is_regular_file(path, error) || !file) {
    sendAll(connection, head(404, "Not Found", "text/plain", 0));
    return 404;
  }
  const auto size = static_cast<std::uint64_t>(file.tellg());
  std::uint64_t first = 0;
  std::uint64_t last = size == 0 ? 0 : size - 1;
  int status = 200;
  std::string extra = "Accept-Ranges: bytes\r\n";
  if (range.starts_with("bytes=")) {
    const std::string spec = range.substr(6);
    const std::size_t dash = spec.find('-');
    if (dash != std::string::npos && dash > 0) {
      first = std::strtoull(spec.substr(0, dash).c_str(), nullptr, 10);
      if (dash + 1 < spec.size()) {
        last = std::min<std::uint64_t>(last,
                                       std::strtoull(spec.substr(dash + 1).c_str(), nullptr, 10));
      }
      if (first >= size || first > last) {
        sendAll(connection, head(416, "Range Not Satisfiable", "text/plain", 0,
                                 "Content-Range: bytes */" + std::to_string(size) + "\r\n"));
        return 416;
      }
      status = 206;
      extra += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
               std::to_string(size) + "\r\n";
    }
  }
  const std::uint64_t length = size == 0 ? 0 : last - first + 1;
  if (!sendAll(connection, head(status, status == 206 ? "Partial Content" : "OK",
                                contentTypeOf(path), length, extra))) {
    return status;
  }
  file.seekg(static_cast<std::streamoff>(first));
  char chunk[65536];
  for (std::uint64_t left = length; left > 0 && file;) {
    file.read(chunk, static_cast<std::streamsize>(std::min<std::uint64_t>(left, sizeof chunk)));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got == 0 || !sendAll(connection, chunk, got)) break;
    left -= got;
  }
  return status;
}

}  // namespace

PageServer::PageServer(std::string directory) : directory_(std::move(directory)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // the kernel picks a free one, so parallel runs never collide
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

PageServer::~PageServer() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    // Unblocks handlers still reading or writing; each closes its own descriptor.
    for (int connection : connections_) ::shutdown(connection, SHUT_RDWR);
  }
  changed_.notify_all();
  if (wake_[1] >= 0) {
    [[maybe_unused]] const auto written = ::write(wake_[1], "x", 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& handler : handlers_) handler.join();
  for (int fd : {listener_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

std::string PageServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::optional<std::string> PageServer::waitForReport(const std::string& name, double seconds) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, std::chrono::duration<double>(seconds),
                    [&] { return reports_.contains(name); });
  const auto found = reports_.find(name);
  if (found == reports_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> PageServer::report(const std::string& name) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = reports_.find(name);
  if (found == reports_.end()) return std::nullopt;
  return found->second;
}

void PageServer::release(const std::string& name) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    released_.insert(name);
  }
  changed_.notify_all();
}

std::string PageServer::requestLog() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string log;
  for (const std::string& request : requests_) log += request + "\n";
  return log;
}

void PageServer::acceptLoop() {
  for (;;) {
    pollfd ready[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0) continue;
    if (ready[1].revents != 0) return;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopping_) {
      ::close(connection);
      return;
    }
    connections_.insert(connection);
    handlers_.emplace_back([this, connection] { serve(connection); });
  }
}

void PageServer::serve(int connection) {
  const std::optional<Request> request = readRequest(connection);
  if (!request) {
    finish(connection);
    return;
  }
  int status = 404;
  const std::string& path = request->path;
  if (path.starts_with("/report/") && path.size() > 8) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      reports_[path.substr(8)] = request->method == "POST" ? request->body : request->query;
    }
    changed_.notify_all();
    status = 204;
    sendAll(connection, head(204, "No Content", "text/plain", 0));
  } else if (path.starts_with("/await/") && path.size() > 7) {
    const std::string name = path.substr(7);
    bool released = false;
    {
      std::unique_lock<std::mutex> hold(mutex_);
      changed_.wait(hold, [&] { return stopping_ || released_.contains(name); });
      released = released_.contains(name);
    }
    status = released ? 200 : 503;
    sendAll(connection, released ? head(200, "OK", "text/plain", 2) + "go"
                                 : head(503, "Service Unavailable", "text/plain", 0));
  } else if (request->method == "GET" && path.find("..") == std::string::npos) {
    const auto range = request->headers.find("range");
    status = sendFile(connection, directory_ + path,
                      range == request->headers.end() ? "" : range->second);
  } else {
    sendAll(connection, head(404, "Not Found", "text/plain", 0));
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    requests_.push_back(request->method + " " + path + " " + std::to_string(status));
  }
  finish(connection);
}

void PageServer::finish(int connection) {
  std::lock_guard<std::mutex> hold(mutex_);
  connections_.erase(connection);
  ::close(connection);
}

}  // namespace zuno::e2e
