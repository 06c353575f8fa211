// A bare TCP server on 127.0.0.1 that answers HTTP requests with whatever
// bytes a test writes, for faults a full HTTP server cannot produce: a
// connection reset in the middle of a body, a server that goes away.
#ifndef STARTER_TESTS_SUPPORT_RAW_HTTP_SERVER_H_
#define STARTER_TESTS_SUPPORT_RAW_HTTP_SERVER_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

// Accepts one connection at a time on a thread of its own, reads one request
// head and hands the socket to the test's answer, which writes the reply and
// says how the connection ends. Each connection carries one request.
class RawHttpServer {
 public:
  enum class Ending {
    // Close the connection normally (FIN).
    kClose,
    // Abort the connection: the client sees a reset (RST).
    kReset,
    // Close the connection and stop listening: later connections are refused.
    kCloseAndStopListening,
  };
  // Writes the reply to `fd` for the request of `path` (as received).
  using Answer = std::function<Ending(int fd, const std::string& path)>;

  // Listens at a free port. Throws std::runtime_error when none can be bound.
  explicit RawHttpServer(Answer answer);
  // Stops listening and waits for the thread.
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + `path` (which starts with "/").
  std::string Url(const std::string& path = "/") const;
  // Number of requests answered so far.
  int RequestCount() const { return requests_; }

  // A response head with `status`, `content_length` and "Connection: close".
  static std::string Head(int status, std::size_t content_length);
  // Writes all of `bytes` to `fd`; false when the peer went away.
  static bool SendAll(int fd, const std::string& bytes);

 private:
  void Serve();
  void AnswerOne(int fd);

  Answer answer_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

#endif  // STARTER_TESTS_SUPPORT_RAW_HTTP_SERVER_H_
