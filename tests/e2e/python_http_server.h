// python3's static file server on a free loopback port, for end-to-end runs.
#ifndef STARTER_TESTS_E2E_PYTHON_HTTP_SERVER_H_
#define STARTER_TESTS_E2E_PYTHON_HTTP_SERVER_H_

#include <sys/types.h>

#include <string>

// Runs "python3 -m http.server" on 127.0.0.1 with a port the system picks,
// serving `root`, from construction to destruction. port() is 0 when the
// server did not come up within a few seconds (the reason is on stderr).
class PythonHttpServer {
 public:
  explicit PythonHttpServer(const std::string& root);
  // Stops the server process and waits for it.
  ~PythonHttpServer();
  PythonHttpServer(const PythonHttpServer&) = delete;
  PythonHttpServer& operator=(const PythonHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + `path` (which starts with "/").
  std::string Url(const std::string& path) const;

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int port_ = 0;
};

#endif  // STARTER_TESTS_E2E_PYTHON_HTTP_SERVER_H_
