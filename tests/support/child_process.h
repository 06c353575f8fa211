// Running a program as a child process with captured output.
#ifndef STARTER_TESTS_SUPPORT_CHILD_PROCESS_H_
#define STARTER_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// How a child ended and what it printed.
struct ChildResult {
  pid_t pid = -1;
  // Exit code when it exited normally, else -1.
  int exit_code = -1;
  // The signal that ended it, else 0.
  int signal = 0;
  std::string out;
  std::string err;
};

// A started child whose standard output and error go to files in `dir`.
class ChildProcess {
 public:
  // Starts `program` with the argument vector `argv` (argv[0] included, so it
  // may differ from `program`) in working directory `cwd`. Output goes to
  // files under `capture_dir`. With `own_process_group` the child leads a
  // new process group (its id is pid()), as a service manager starts a
  // service, so that a signal can reach it and everything it starts.
  ChildProcess(const std::string& program, const std::vector<std::string>& argv,
               const std::string& cwd, const std::string& capture_dir,
               bool own_process_group = false);
  // Kills the child when it was not waited for (its whole process group
  // when it leads one).
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // What the child has written to standard output so far.
  std::string OutputSoFar() const;
  // What the child has written to standard error so far.
  std::string ErrorSoFar() const;
  // Waits for the end of the child (killing it after `timeout_secs`).
  ChildResult Wait(int timeout_secs = 60);

 private:
  pid_t pid_ = -1;
  bool own_process_group_ = false;
  std::string out_path_;
  std::string err_path_;
};

// A started child whose standard output and standard error both go into one
// pipe that the test reads, as a service manager connects a service to its
// journal: the test sees what reached the pipe, in the order it arrived.
class PipedChild {
 public:
  // Starts `program` with `argv` (argv[0] included) in `cwd`.
  PipedChild(const std::string& program, const std::vector<std::string>& argv,
             const std::string& cwd);
  // Kills the child when it was not waited for.
  ~PipedChild();
  PipedChild(const PipedChild&) = delete;
  PipedChild& operator=(const PipedChild&) = delete;

  pid_t pid() const { return pid_; }
  // What is in the pipe now, without waiting for more; "" when nothing new
  // arrived since the last call.
  std::string ReadArrived();
  // Reads the pipe until every writer closed it (the child and all it
  // started), then waits for the child. After `timeout_secs` the child is
  // killed (a failsafe). `out` is everything the pipe carried, ReadArrived's
  // parts included; `err` stays empty.
  ChildResult Wait(int timeout_secs = 60);

 private:
  pid_t pid_ = -1;
  int read_fd_ = -1;
  std::string all_;
};

// Starts the child and waits for it.
ChildResult RunChild(const std::string& program,
                     const std::vector<std::string>& argv,
                     const std::string& cwd, const std::string& capture_dir);

// While it lives, this process's files may grow to `max_file_bytes` at most
// and SIGXFSZ is ignored, so that a longer write fails with EFBIG as on a
// full disk; both are restored when it goes. The limit is the whole
// process's: for tests whose other threads (an in-process server) write no
// files, where forking a child could deadlock on a lock one of them holds.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t max_file_bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

  // False when the limit could not be set.
  bool ok() const { return ok_; }

 private:
  rlimit old_limit_{};
  struct sigaction old_action_ {};
  bool ok_ = false;
};

// Runs `body` in a forked child under a ScopedFileSizeLimit. Returns the
// child's exit code (the value `body` returned), or -1 when it did not exit
// normally. Only for processes with no other thread running.
int RunWithFileSizeLimit(rlim_t max_file_bytes,
                         const std::function<int()>& body);

// Runs `body` in a forked child that has dropped root for the user and group
// "nobody", so that permission checks apply to it. Returns the child's exit
// code (the value `body` returned), or -1 when it did not exit normally or
// could not drop its rights.
int RunAsNobody(const std::function<int()>& body);

// The id of a process that has ended and been reaped (a fork that exited at
// once), or -1 when none could be made.
pid_t PidOfAGoneProcess();

#endif  // STARTER_TESTS_SUPPORT_CHILD_PROCESS_H_
