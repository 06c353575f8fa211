#include "python_http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kStartTimeoutMillis = 10000;

// Reads the server's first line ("Serving HTTP on 127.0.0.1 port N ...") and
// returns N, or 0 when it does not come in time.
int ReadPort(int fd) {
  std::string line;
  char c = 0;
  while (line.find('\n') == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kStartTimeoutMillis) <= 0) return 0;
    if (read(fd, &c, 1) != 1) return 0;
    line += c;
  }
  const std::string marker = " port ";
  const auto at = line.find(marker);
  if (at == std::string::npos) return 0;
  return std::atoi(line.c_str() + at + marker.size());
}

}  // namespace

PythonHttpServer::PythonHttpServer(const std::string& root) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    close(out[0]);
    execlp("python3", "python3", "-u", "-m", "http.server", "0", "--bind",
           "127.0.0.1", "--directory", root.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // The read end stays open while the server runs, so that a later line on
  // its standard output never meets a closed pipe.
  out_fd_ = out[0];
  if (pid_ > 0) port_ = ReadPort(out_fd_);
  if (port_ == 0) std::fprintf(stderr, "python3 http.server did not start\n");
}

PythonHttpServer::~PythonHttpServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

std::string PythonHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}
