#include "support/http_test_server.h"

#include <algorithm>
#include <csignal>
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
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ++counts_[request.path];
    requests_.push_back(HttpRecordedRequest{request.method, request.path,
                                            request.body, request.headers});
    changed_.notify_all();
    changed_.wait(lock,
                  [&] { return stopping_ || held_.count(request.path) == 0; });
    if (auto it = handlers_.find(request.path); it != handlers_.end()) {
      handler = it->second;
    } else if (auto found = replies_.find(request.path);
               found != replies_.end()) {
      reply = found->second;
      has_reply = true;
    }
  }
  if (handler) {
    handler(request, response);
  } else if (has_reply) {
    SendReply(reply, response);
  } else if (!AnswerFromDirectory(request.path, response)) {
    SendReply(HttpReply::Status(404, "not found\n"), response);
  }
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
  }
}
