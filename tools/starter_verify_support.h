// Pieces of starter-verify that keep the game directory and the report
// untouched by the fetch: where the list goes, and where the transfer's
// console messages go (starter-repair sends its run's there too).
#ifndef STARTER_TOOLS_STARTER_VERIFY_SUPPORT_H_
#define STARTER_TOOLS_STARTER_VERIFY_SUPPORT_H_

#include <string>

// The directory for temporary files ($TMPDIR, else /tmp) in canonical form,
// or /tmp when $TMPDIR lies inside `game_dir`; empty when neither exists or
// both lie inside it (or `game_dir` does not resolve).
std::string TemporaryRootOutside(const std::string& game_dir);

// A fresh private directory below `root` (mkdtemp), removed with everything
// in it (links are removed, never followed) when the object ends.
class WorkDirectory {
 public:
  explicit WorkDirectory(const std::string& root);
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  // False when it could not be made; error() then holds the errno.
  bool ok() const { return !path_.empty(); }
  int error() const { return error_; }
  // Its absolute path, without a trailing "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int error_ = 0;
};

// Sends what the process writes to standard output elsewhere for the
// object's lifetime (standard error, or nowhere), so that the report on
// standard output holds only its own lines. With kDiscard standard error
// goes nowhere too. Both are flushed and restored on destruction.
class ConsoleAside {
 public:
  enum Target { kToStandardError, kDiscard };
  explicit ConsoleAside(Target target);
  ~ConsoleAside();
  ConsoleAside(const ConsoleAside&) = delete;
  ConsoleAside& operator=(const ConsoleAside&) = delete;

 private:
  int saved_out_ = -1;
  int saved_err_ = -1;
};

#endif  // STARTER_TOOLS_STARTER_VERIFY_SUPPORT_H_
