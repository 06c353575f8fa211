#include "support/raw_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

namespace {

// Reads until the end of the request head; returns the request path, or ""
// when the client sent no complete request line.
std::string ReadRequestPath(int fd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<std::size_t>(got));
  }
  std::size_t start = head.find(' ');
  if (start == std::string::npos) return "";
  std::size_t end = head.find(' ', start + 1);
  if (end == std::string::npos) return "";
  return head.substr(start + 1, end - start - 1);
}

}  // namespace

RawHttpServer::RawHttpServer(Answer answer) : answer_(std::move(answer)) {
  // A client that hangs up mid-answer must not kill the test binary.
  std::signal(SIGPIPE, SIG_IGN);
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listen_fd_ < 0 ||
      bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) !=
          0) {
    if (listen_fd_ >= 0) close(listen_fd_);
    throw std::runtime_error("raw test server: cannot bind");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

RawHttpServer::~RawHttpServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

std::string RawHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string RawHttpServer::Head(int status, std::size_t content_length) {
  return "HTTP/1.1 " + std::to_string(status) +
         " Answer\r\nContent-Type: application/octet-stream\r\n"
         "Content-Length: " +
         std::to_string(content_length) + "\r\nConnection: close\r\n\r\n";
}

bool RawHttpServer::SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void RawHttpServer::Serve() {
  while (!stopping_ && listen_fd_ >= 0) {
    pollfd waiting{listen_fd_, POLLIN, 0};
    if (poll(&waiting, 1, 20) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) AnswerOne(fd);
  }
}

void RawHttpServer::AnswerOne(int fd) {
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const std::string path = ReadRequestPath(fd);
  ++requests_;
  Ending ending = answer_(fd, path);
  if (ending == Ending::kReset) {
    linger abort_now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
  }
  close(fd);
  if (ending == Ending::kCloseAndStopListening) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
}
