#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

// Forks and runs `program` with `argv` in `cwd`, its standard output and
// error on `out` and `err` (opened by the child itself when `out_path` and
// `err_path` are not empty). Returns the child's pid, or -1.
pid_t StartChild(const std::string& program,
                 const std::vector<std::string>& argv, const std::string& cwd,
                 int out, int err, const std::string& out_path,
                 const std::string& err_path, bool own_process_group) {
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (own_process_group && setpgid(0, 0) != 0) _exit(125);
    if (!out_path.empty()) {
      out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    signal(SIGINT, SIG_DFL);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  // Both sides set the group, so that it exists when the caller goes on.
  if (own_process_group && pid > 0) setpgid(pid, pid);
  return pid;
}

// The status of `pid` once it ended, killing it after `timeout_secs`.
ChildResult Reap(pid_t pid, int timeout_secs) {
  ChildResult result;
  result.pid = pid;
  int status = 0;
  const auto ended = [&] { return waitpid(pid, &status, WNOHANG) != 0; };
  if (!WaitUntil(ended, std::chrono::seconds(timeout_secs),
                 std::chrono::milliseconds(5))) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program,
                           const std::vector<std::string>& argv,
                           const std::string& cwd,
                           const std::string& capture_dir,
                           bool own_process_group)
    : own_process_group_(own_process_group) {
  static int counter = 0;
  ++counter;
  out_path_ = capture_dir + "/child-" + std::to_string(counter) + ".out";
  err_path_ = capture_dir + "/child-" + std::to_string(counter) + ".err";
  pid_ = StartChild(program, argv, cwd, -1, -1, out_path_, err_path_,
                    own_process_group);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(own_process_group_ ? -pid_ : pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ChildProcess::OutputSoFar() const { return ReadFile(out_path_); }

std::string ChildProcess::ErrorSoFar() const { return ReadFile(err_path_); }

ChildResult ChildProcess::Wait(int timeout_secs) {
  ChildResult result = Reap(pid_, timeout_secs);
  pid_ = -1;
  result.out = ReadFile(out_path_);
  result.err = ReadFile(err_path_);
  return result;
}

PipedChild::PipedChild(const std::string& program,
                       const std::vector<std::string>& argv,
                       const std::string& cwd) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  pid_ = StartChild(program, argv, cwd, ends[1], ends[1], "", "", false);
  close(ends[1]);
  read_fd_ = ends[0];
}

PipedChild::~PipedChild() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (read_fd_ >= 0) close(read_fd_);
}

std::string PipedChild::ReadArrived() {
  std::string arrived;
  char buffer[4096];
  pollfd ready{read_fd_, POLLIN, 0};
  while (read_fd_ >= 0 && poll(&ready, 1, 0) > 0 &&
         (ready.revents & POLLIN) != 0) {
    const ssize_t n = read(read_fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    arrived.append(buffer, static_cast<std::size_t>(n));
  }
  all_ += arrived;
  return arrived;
}

ChildResult PipedChild::Wait(int timeout_secs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeout_secs);
  char buffer[4096];
  while (read_fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{read_fd_, POLLIN, 0};
    if (left.count() <= 0 ||
        poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      kill(pid_, SIGKILL);  // the failsafe
      break;
    }
    const ssize_t n = read(read_fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    all_.append(buffer, static_cast<std::size_t>(n));
  }
  ChildResult result = Reap(pid_, timeout_secs);
  pid_ = -1;
  result.out = all_;
  return result;
}

ChildResult RunChild(const std::string& program,
                     const std::vector<std::string>& argv,
                     const std::string& cwd, const std::string& capture_dir) {
  ChildProcess child(program, argv, cwd, capture_dir);
  return child.Wait();
}

ScopedFileSizeLimit::ScopedFileSizeLimit(rlim_t max_file_bytes) {
  if (getrlimit(RLIMIT_FSIZE, &old_limit_) != 0) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  if (sigaction(SIGXFSZ, &ignore, &old_action_) != 0) return;
  // Only the soft limit moves, so the old one can always be put back.
  const rlimit limit{max_file_bytes, old_limit_.rlim_max};
  ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  if (!ok_) sigaction(SIGXFSZ, &old_action_, nullptr);
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
  if (!ok_) return;
  setrlimit(RLIMIT_FSIZE, &old_limit_);
  sigaction(SIGXFSZ, &old_action_, nullptr);
}

int RunWithFileSizeLimit(rlim_t max_file_bytes,
                         const std::function<int()>& body) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    ScopedFileSizeLimit limit(max_file_bytes);
    if (!limit.ok()) _exit(125);
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int RunAsNobody(const std::function<int()>& body) {
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return -1;
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      _exit(255);
    }
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

pid_t PidOfAGoneProcess() {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  if (gone < 0 || waitpid(gone, nullptr, 0) != gone) return -1;
  return gone;
}
