// nginx in the foreground on a loopback port, for end-to-end runs.
#ifndef STARTER_TESTS_E2E_NGINX_SERVER_H_
#define STARTER_TESTS_E2E_NGINX_SERVER_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

// Runs nginx as Debian's service runs it, in the foreground, on a host laid
// out below the directory `dir` as a Debian system lays it out
// (nginx_fleet_config.py): the configuration `dir`/etc/nginx/nginx.conf,
// which listens on 127.0.0.1:`port`, from Start() to Stop() or destruction.
// Its early errors go to `dir`/var/log/nginx/error.log.
class NginxServer {
 public:
  NginxServer(std::string dir, int port) : dir_(std::move(dir)), port_(port) {}
  // Stops it when it runs.
  ~NginxServer() { Stop(); }
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // Has nginx test the configuration (nginx -t) and puts what it printed in
  // `report`; true when the test passed.
  bool Check(std::string& report) const;
  // Starts nginx and waits until its port accepts connections. Returns
  // false, with the reason in `why`, when it ended first or did not come up
  // within the support library's deadline.
  bool Start(std::string& why);
  // Ends nginx and its workers (SIGTERM to the master) and waits for the
  // master's end; its port is closed afterwards. Nothing when it is stopped.
  void Stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + `path` (which starts with "/").
  std::string Url(const std::string& path) const;

  // The nginx program: the first of PATH, /usr/sbin and /usr/bin that has
  // one, or "" when none does.
  static std::string Program();
  // A TCP port on 127.0.0.1 that nothing listened on a moment ago.
  static int FreePort();

 private:
  // The arguments that give nginx its prefix, configuration and error log.
  std::vector<std::string> Arguments() const;

  std::string dir_;
  int port_;
  std::unique_ptr<ChildProcess> process_;
};

#endif  // STARTER_TESTS_E2E_NGINX_SERVER_H_
