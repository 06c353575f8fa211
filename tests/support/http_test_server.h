// An in-process HTTP server on 127.0.0.1 for tests, with fault injection.
#ifndef STARTER_TESTS_SUPPORT_HTTP_TEST_SERVER_H_
#define STARTER_TESTS_SUPPORT_HTTP_TEST_SERVER_H_

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// One canned answer of the server. Build it with the factory functions.
struct HttpReply {
  enum class Fault {
    // The whole body with a correct Content-Length.
    kNone,
    // Content-Length announces the whole body, only `cut_at` bytes are sent,
    // then the connection is closed.
    kShortBody,
    // Chunked encoding; `cut_at` bytes are sent, then the connection is closed
    // without the closing chunk.
    kCloseMidBody,
    // A correct Content-Length, but one byte per `drip_interval`.
    kSlowDrip,
    // A correct Content-Length; HttpTestServer::DropStalledSends resets the
    // connection while the body is still being sent.
    kDroppedWhenStalled,
    // A correct Content-Length; for the first `resets` requests of the path
    // (every one when negative) only `cut_at` bytes are sent, then the
    // connection is reset; later requests get the whole body.
    kResetMidBody,
    // Bytes without end, chunked, until the client hangs up (or the server
    // stops); with `announced`, a Content-Length of that many bytes and as
    // many bytes.
    kEndless,
  };

  int status = 200;
  std::string body;
  // Extra response headers, such as Set-Cookie.
  std::vector<std::pair<std::string, std::string>> headers;
  Fault fault = Fault::kNone;
  std::size_t cut_at = 0;
  std::chrono::milliseconds drip_interval{100};
  int resets = -1;
  std::size_t announced = 0;

  // 200 with `body`.
  static HttpReply Ok(std::string body);
  // `status` (for example 404 or 500) with a small error page as body.
  static HttpReply Status(int status, std::string body = "error page\n");
  // `status` (301, 302, 307...) pointing at `location`, with a small body.
  static HttpReply Redirect(int status, const std::string& location);
  // 200 announcing all of `body`, but closing after `sent` bytes.
  static HttpReply ShortBody(std::string body, std::size_t sent);
  // 200, chunked, closing after `sent` bytes of `body`.
  static HttpReply CloseMidBody(std::string body, std::size_t sent);
  // 200 sending `body` one byte per `interval`.
  static HttpReply SlowDrip(std::string body,
                            std::chrono::milliseconds interval);
  // 200 sending `body`, whose connection DropStalledSends resets while it is
  // still being sent.
  static HttpReply DroppedWhenStalled(std::string body);
  // 200 announcing all of `body`; the first `times` requests (every one when
  // negative) get `sent` bytes of it and a reset.
  static HttpReply ResetMidBody(std::string body, std::size_t sent,
                                int times = -1);
  // 200, chunked, sending bytes until the client hangs up.
  static HttpReply Endless();
  // 200 announcing and sending `length` bytes (made as they are sent).
  static HttpReply Oversized(std::size_t length);
};

// What the server saw of one request.
struct HttpRecordedRequest {
  std::string method;
  // The path as received (the client has already removed "./" segments).
  std::string path;
  std::string body;
  httplib::Headers headers;

  // The value of header `name` (any case), or "" when absent.
  std::string Header(const std::string& name) const;
};

// Serves on 127.0.0.1 at a free port from construction to destruction, on a
// thread of its own. Answers GET and POST for a path, in this order: a
// handler set for the path, a reply set for the path, a file of the served
// directory, else 404. All members may be called while it serves.
class HttpTestServer {
 public:
  using Handler =
      std::function<void(const httplib::Request&, httplib::Response&)>;
  // What a server that allows each client one connection does with a
  // request on another connection of the same client.
  enum class OtherConnection {
    // Answers it (the default).
    kServed,
    // Answers 503 and closes the connection, as a per-client connection
    // limit of a server or proxy does.
    kAnswered503,
    // Resets the connection without an answer.
    kReset,
  };

  // Throws std::runtime_error when no port can be bound.
  HttpTestServer();
  // Stops serving, ends running slow drips early and waits for the thread.
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + `path` (which starts with "/").
  std::string Url(const std::string& path = "/") const;

  // Answers every request for `path` with `reply` (replacing an earlier one,
  // and what it counted).
  void SetReply(const std::string& path, HttpReply reply);
  // Forgets the reply set for `path`.
  void ClearReply(const std::string& path);
  // Lets `handler` answer every request for `path`; it runs on a server
  // thread.
  void SetHandler(const std::string& path, Handler handler);
  // Serves the files below `root` for the paths below `url_prefix` (which
  // starts and ends with "/"). Paths with ".." segments get 404.
  void ServeDirectory(const std::string& url_prefix, const std::string& root);

  // Holds the answers to `path`: a request for it is counted and recorded,
  // then waits until Release(path) (or the server's destruction) before it
  // is answered.
  void Hold(const std::string& path);
  // Answers the held requests for `path` and every later one.
  void Release(const std::string& path);
  // Blocks until `count` requests for `path` have arrived (held or not).
  void WaitForRequests(const std::string& path, int count) const;
  // Blocks until `count` requests for any path have arrived (held or not).
  void WaitForTotalRequests(int count) const;

  // From now on, treats a request as `other` says when it arrives while
  // another request of the same client is being answered (from its arrival,
  // even before this call, until its answer is ready to go out; a held one
  // until its release) on a connection the client still holds open.
  // Requests so treated are recorded and counted, but not held.
  void AllowOneConnectionPerClient(OtherConnection other);
  // Number of requests that AllowOneConnectionPerClient turned away so far.
  int TurnedAwayCount() const;

  // Ends, as a server or proxy ends a send that has stalled too long, the
  // connection of every DroppedWhenStalled reply still being sent: the
  // client gets a reset, and what it had not received yet is lost. A test
  // calls it once it knows that those sends stall (their client has stopped
  // reading). Returns once each is reset, with their number.
  int DropStalledSends();

  // Number of requests received for `path` so far.
  int RequestCount(const std::string& path) const;
  // Number of requests received for any path so far.
  int TotalRequestCount() const;
  // Every request received so far, oldest first.
  std::vector<HttpRecordedRequest> Requests() const;

 private:
  // A DroppedWhenStalled body being sent on connection `fd`.
  struct StallingSend {
    int fd;
    bool dropped = false;
  };

  void Answer(const httplib::Request& request, httplib::Response& response);
  // Whether AllowOneConnectionPerClient turns `request`, on connection `fd`,
  // away. Requires mutex_.
  bool TurnsAway(const httplib::Request& request, int fd) const;
  bool AnswerFromDirectory(const std::string& path,
                           httplib::Response& response) const;
  void SendReply(const HttpReply& reply, const httplib::Request& request,
                 httplib::Response& response);
  // Sends `body` as the reply to `request` in pieces, its connection
  // registered as a stalling send until the last piece is out.
  void SendDroppable(std::shared_ptr<const std::string> body,
                     const httplib::Request& request,
                     httplib::Response& response);
  // Answers with bytes without end (chunked), or `announced` of them.
  void SendEndless(std::size_t announced, httplib::Response& response);
  // Ends the stalling send `id`: resets its connection when it was dropped.
  void EndSend(std::uint64_t id);
  // The socket of the connection `request` came on, -1 when none is found.
  int ConnectionOf(const httplib::Request& request) const;

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;
  // Signalled when a request arrives, a hold is released or the server
  // stops.
  mutable std::condition_variable changed_;
  std::set<std::string> held_;
  std::map<std::string, HttpReply> replies_;
  std::map<std::string, Handler> handlers_;
  std::string directory_prefix_;
  std::string directory_root_;
  std::map<std::string, int> counts_;
  // Requests of a path that a ResetMidBody reply has reset.
  std::map<std::string, int> resets_done_;
  std::vector<HttpRecordedRequest> requests_;
  OtherConnection other_connection_ = OtherConnection::kServed;
  int turned_away_ = 0;
  // Connections with a request being answered, and their clients.
  std::map<int, std::string> answering_;
  std::map<std::uint64_t, StallingSend> stalling_;
  std::uint64_t next_send_ = 0;
};

#endif  // STARTER_TESTS_SUPPORT_HTTP_TEST_SERVER_H_
