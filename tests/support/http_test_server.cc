#include "support/http_test_server.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

const char kContentType[] = "application/octet-stream";

bool HasDotDotSegment(const std::string& path) {
  std::stringstream segments(path);
  std::string segment;
  while (std::getline(segments, segment, '/')) {
    if (segment == "..") return true;
  }
  return false;
}

// Pieces in which a DroppedWhenStalled body goes out.
constexpr std::size_t kSendPiece = std::size_t{64} << 10;

// Resets the connection of socket `fd`, which the calling thread serves: the
// peer gets a reset and unsent bytes are dropped. `fd` stays open, on an
// unconnected socket, for the server to close as usual.
void ResetConnection(int fd) {
  linger abort_now{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
  const int spare = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (spare < 0) {
    shutdown(fd, SHUT_RDWR);
    return;
  }
  dup2(spare, fd);  // closes the connection's socket
  close(spare);
}

// Whether the client of the connection on socket `fd` still holds it open.
bool StillOpen(int fd) {
  char byte;
  const ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

}  // namespace

HttpReply HttpReply::Ok(std::string body) {
  HttpReply reply;
  reply.body = std::move(body);
  return reply;
}

HttpReply HttpReply::Status(int status, std::string body) {
  HttpReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

HttpReply HttpReply::Redirect(int status, const std::string& location) {
  HttpReply reply;
  reply.status = status;
  reply.body = "moved\n";
  reply.headers.emplace_back("Location", location);
  return reply;
}

HttpReply HttpReply::ShortBody(std::string body, std::size_t sent) {
  HttpReply reply = Ok(std::move(body));
  reply.fault = Fault::kShortBody;
  reply.cut_at = sent;
  return reply;
}

HttpReply HttpReply::CloseMidBody(std::string body, std::size_t sent) {
  HttpReply reply = Ok(std::move(body));
  reply.fault = Fault::kCloseMidBody;
  reply.cut_at = sent;
  return reply;
}

HttpReply HttpReply::SlowDrip(std::string body,
                              std::chrono::milliseconds interval) {
  HttpReply reply = Ok(std::move(body));
  reply.fault = Fault::kSlowDrip;
  reply.drip_interval = interval;
  return reply;
}

HttpReply HttpReply::DroppedWhenStalled(std::string body) {
  HttpReply reply = Ok(std::move(body));
  reply.fault = Fault::kDroppedWhenStalled;
  return reply;
}

HttpReply HttpReply::ResetMidBody(std::string body, std::size_t sent,
                                  int times) {
  HttpReply reply = Ok(std::move(body));
  reply.fault = Fault::kResetMidBody;
  reply.cut_at = sent;
  reply.resets = times;
  return reply;
}

HttpReply HttpReply::Endless() {
  HttpReply reply;
  reply.fault = Fault::kEndless;
  return reply;
}

HttpReply HttpReply::Oversized(std::size_t length) {
  HttpReply reply = Endless();
  reply.announced = length;
  return reply;
}

std::string HttpRecordedRequest::Header(const std::string& name) const {
  auto it = headers.find(name);  // httplib compares header names in any case
  return it == headers.end() ? std::string() : it->second;
}

HttpTestServer::HttpTestServer() {
  // A client that hangs up mid-answer must not kill the test binary.
  std::signal(SIGPIPE, SIG_IGN);
  auto answer = [this](const httplib::Request& request,
                       httplib::Response& response) {
    Answer(request, response);
  };
  server_.Get(".*", answer);
  server_.Post(".*", answer);
  // Small answers go out at once instead of waiting for the client's
  // delayed acknowledgement, and one client may fetch a whole release over
  // one connection.
  server_.set_tcp_nodelay(true);
  server_.set_keep_alive_max_count(100000);
  // A client that pauses a transfer (a download waiting for its turn) is
  // waited for, however loaded the machine.
  server_.set_write_timeout(300, 0);
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server: cannot bind");
  // The socket already listens; requests queue until the thread accepts.
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() only ends a server that is already running: wait for it, so that
  // destruction right after construction cannot hang.
  while (!server_.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string HttpTestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpTestServer::SetReply(const std::string& path, HttpReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[path] = std::move(reply);
  resets_done_.erase(path);
}

void HttpTestServer::ClearReply(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.erase(path);
  resets_done_.erase(path);
}

void HttpTestServer::SetHandler(const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_[path] = std::move(handler);
}

void HttpTestServer::ServeDirectory(const std::string& url_prefix,
                                    const std::string& root) {
  std::lock_guard<std::mutex> lock(mutex_);
  directory_prefix_ = url_prefix;
  directory_root_ = root;
}

void HttpTestServer::Hold(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_.insert(path);
}

void HttpTestServer::Release(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(path);
  }
  changed_.notify_all();
}

void HttpTestServer::WaitForRequests(const std::string& path, int count) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    auto it = counts_.find(path);
    return it != counts_.end() && it->second >= count;
  });
}

void HttpTestServer::WaitForTotalRequests(int count) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    return requests_.size() >= static_cast<std::size_t>(count);
  });
}

void HttpTestServer::AllowOneConnectionPerClient(OtherConnection other) {
  std::lock_guard<std::mutex> lock(mutex_);
  other_connection_ = other;
}

int HttpTestServer::TurnedAwayCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return turned_away_;
}

int HttpTestServer::DropStalledSends() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<std::uint64_t> dropped;
  for (auto& [id, send] : stalling_) {
    if (send.dropped) continue;
    send.dropped = true;
    // Wakes the thread that waits to send; it resets the connection.
    shutdown(send.fd, SHUT_RDWR);
    dropped.push_back(id);
  }
  changed_.wait(lock, [&] {
    return stopping_ ||
           std::none_of(dropped.begin(), dropped.end(),
                        [&](std::uint64_t id) { return stalling_.count(id); });
  });
  return static_cast<int>(dropped.size());
}

int HttpTestServer::RequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(path);
  return it == counts_.end() ? 0 : it->second;
}

int HttpTestServer::TotalRequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(requests_.size());
}

std::vector<HttpRecordedRequest> HttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void HttpTestServer::Answer(const httplib::Request& request,
                            httplib::Response& response) {
  Handler handler;
  HttpReply reply;
  bool has_reply = false;
  int answering = -1;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ++counts_[request.path];
    requests_.push_back(HttpRecordedRequest{request.method, request.path,
                                            request.body, request.headers});
    changed_.notify_all();
    const int fd = ConnectionOf(request);
    if (TurnsAway(request, fd)) {
      ++turned_away_;
      if (other_connection_ == OtherConnection::kReset) ResetConnection(fd);
      lock.unlock();
      SendReply(HttpReply::Status(503, "too many connections\n"), request,
                response);
      response.set_header("Connection", "close");
      return;
    }
    if (fd >= 0) {
      answering_[fd] = request.remote_addr;
      answering = fd;
    }
    changed_.wait(lock,
                  [&] { return stopping_ || held_.count(request.path) == 0; });
    if (auto it = handlers_.find(request.path); it != handlers_.end()) {
      handler = it->second;
    } else if (auto found = replies_.find(request.path);
               found != replies_.end()) {
      reply = found->second;
      has_reply = true;
      if (reply.fault == HttpReply::Fault::kResetMidBody) {
        int& done = resets_done_[request.path];
        if (reply.resets >= 0 && done >= reply.resets) {
          reply.fault = HttpReply::Fault::kNone;
        } else {
          ++done;
        }
      }
    }
  }
  if (handler) {
    handler(request, response);
  } else if (has_reply) {
    SendReply(reply, request, response);
  } else if (!AnswerFromDirectory(request.path, response)) {
    SendReply(HttpReply::Status(404, "not found\n"), request, response);
  }
  if (answering >= 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    answering_.erase(answering);
  }
}

bool HttpTestServer::TurnsAway(const httplib::Request& request, int fd) const {
  if (other_connection_ == OtherConnection::kServed || fd < 0) return false;
  for (const auto& [other, client] : answering_) {
    if (client == request.remote_addr && StillOpen(other)) return true;
  }
  return false;
}

int HttpTestServer::ConnectionOf(const httplib::Request& request) const {
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(fds)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const int fd = std::atoi(entry->d_name);
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != port_) {
      continue;
    }
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        ntohs(peer.sin_port) == request.remote_port) {
      found = fd;
      break;
    }
  }
  closedir(fds);
  return found;
}

bool HttpTestServer::AnswerFromDirectory(const std::string& path,
                                         httplib::Response& response) const {
  std::string file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (directory_root_.empty() || path.rfind(directory_prefix_, 0) != 0) {
      return false;
    }
    file = directory_root_ + "/" + path.substr(directory_prefix_.size());
  }
  std::error_code error;
  if (HasDotDotSegment(path) ||
      !std::filesystem::is_regular_file(file, error)) {
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  response.status = 200;
  response.set_content(content.str(), kContentType);
  return true;
}

void HttpTestServer::SendReply(const HttpReply& reply,
                               const httplib::Request& request,
                               httplib::Response& response) {
  response.status = reply.status;
  for (const auto& [name, value] : reply.headers) {
    response.set_header(name, value);
  }
  auto body = std::make_shared<std::string>(reply.body);
  const std::size_t cut_at = std::min(reply.cut_at, body->size());
  switch (reply.fault) {
    case HttpReply::Fault::kNone:
      response.set_content(*body, kContentType);
      break;
    case HttpReply::Fault::kShortBody:
      response.set_content_provider(body->size(), kContentType,
                                    [body, cut_at](size_t offset, size_t length,
                                                   httplib::DataSink& sink) {
                                      if (offset >= cut_at)
                                        return false;  // closes the connection
                                      return sink.write(
                                          body->data() + offset,
                                          std::min(length, cut_at - offset));
                                    });
      break;
    case HttpReply::Fault::kCloseMidBody:
      response.set_chunked_content_provider(
          kContentType, [body, cut_at](size_t offset, httplib::DataSink& sink) {
            if (offset >= cut_at) return false;  // no closing chunk
            return sink.write(body->data() + offset, cut_at - offset);
          });
      break;
    case HttpReply::Fault::kSlowDrip: {
      const auto interval = reply.drip_interval;
      response.set_content_provider(
          body->size(), kContentType,
          [this, body, interval](size_t offset, size_t,
                                 httplib::DataSink& sink) {
            const auto until = std::chrono::steady_clock::now() + interval;
            while (std::chrono::steady_clock::now() < until) {
              if (stopping_) return false;
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return sink.write(body->data() + offset, 1);
          });
      break;
    }
    case HttpReply::Fault::kDroppedWhenStalled:
      SendDroppable(body, request, response);
      break;
    case HttpReply::Fault::kResetMidBody: {
      const int fd = ConnectionOf(request);
      response.set_content_provider(
          body->size(), kContentType,
          [body, cut_at, fd](size_t offset, size_t length,
                             httplib::DataSink& sink) {
            if (offset < cut_at &&
                !sink.write(body->data() + offset,
                            std::min(length, cut_at - offset))) {
              return false;
            }
            if (offset + length < cut_at) return true;
            ResetConnection(fd);
            return false;
          });
      break;
    }
    case HttpReply::Fault::kEndless:
      SendEndless(reply.announced, response);
      break;
  }
}

void HttpTestServer::SendDroppable(std::shared_ptr<const std::string> body,
                                   const httplib::Request& request,
                                   httplib::Response& response) {
  const int fd = ConnectionOf(request);
  // A fixed send buffer: what the server holds ahead of its client does not
  // grow with the transfer.
  const int send_buffer = static_cast<int>(kSendPiece) * 4;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  std::uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = next_send_++;
    stalling_[id] = {fd};
  }
  const auto dropped = [this, id] {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = stalling_.find(id);
    return it != stalling_.end() && it->second.dropped;
  };
  response.set_content_provider(
      body->size(), kContentType,
      [this, body, id, dropped](size_t offset, size_t length,
                                httplib::DataSink& sink) {
        const std::size_t piece = std::min(length, kSendPiece);
        if (!dropped() && sink.write(body->data() + offset, piece) &&
            !dropped()) {
          if (offset + piece == body->size()) EndSend(id);
          return true;
        }
        EndSend(id);
        return false;  // closes the connection
      },
      [this, id](bool) { EndSend(id); });
}

void HttpTestServer::SendEndless(std::size_t announced,
                                 httplib::Response& response) {
  auto piece = std::make_shared<const std::string>(kSendPiece, 'x');
  const auto provide = [this, piece](size_t, httplib::DataSink& sink) {
    return !stopping_ && sink.write(piece->data(), piece->size());
  };
  if (announced == 0) {
    response.set_chunked_content_provider(kContentType, provide);
    return;
  }
  response.set_content_provider(
      announced, kContentType,
      [this, piece](size_t, size_t length, httplib::DataSink& sink) {
        return !stopping_ &&
               sink.write(piece->data(), std::min(length, piece->size()));
      });
}

void HttpTestServer::EndSend(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stalling_.find(id);
  if (it == stalling_.end()) return;
  if (it->second.dropped) ResetConnection(it->second.fd);
  stalling_.erase(it);
  changed_.notify_all();
}
