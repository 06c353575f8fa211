#include "nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/text_match.h"
#include "support/wait_until.h"

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const sockaddr_in address = Loopback(port);
  const bool connected =
      connect(fd, reinterpret_cast<const sockaddr*>(&address),
              sizeof address) == 0;
  close(fd);
  return connected;
}

bool IsProgram(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> NginxServer::Arguments() const {
  return {"nginx", "-p", dir_ + "/", "-c", dir_ + "/etc/nginx/nginx.conf",
          "-e", dir_ + "/var/log/nginx/error.log", "-g", "daemon off;"};
}

bool NginxServer::Check(std::string& report) const {
  const std::string program = Program();
  if (program.empty()) {
    report = "nginx not found (scripts/install-deps.sh installs it)";
    return false;
  }
  std::vector<std::string> argv = Arguments();
  argv.push_back("-t");
  const TempDir capture;
  const ChildResult result = RunChild(program, argv, dir_, capture.path());
  report = result.out + result.err;
  return result.exit_code == 0;
}

bool NginxServer::Start(std::string& why) {
  const std::string program = Program();
  if (program.empty()) {
    why = "nginx not found (scripts/install-deps.sh installs it)";
    return false;
  }
  process_ = std::make_unique<ChildProcess>(program, Arguments(), dir_, dir_);
  const std::string error_log = dir_ + "/var/log/nginx/error.log";
  const bool up = WaitUntil(
      [&] {
        return Accepts(port_) || Contains(ReadFile(error_log), "[emerg]");
      },
      kWaitDeadline, std::chrono::milliseconds(5));
  if (up && Accepts(port_)) return true;
  why = "nginx in " + dir_ + " did not come up: " + ReadFile(error_log);
  Stop();
  return false;
}

void NginxServer::Stop() {
  if (process_ == nullptr) return;
  kill(process_->pid(), SIGTERM);
  process_->Wait();
  process_.reset();
}

std::string NginxServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxServer::Program() {
  std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/bin";
  std::istringstream in(dirs);
  for (std::string dir; std::getline(in, dir, ':');) {
    if (!dir.empty() && IsProgram(dir + "/nginx")) return dir + "/nginx";
  }
  return "";
}

int NginxServer::FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}
