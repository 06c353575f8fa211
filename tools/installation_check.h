// The check of a game directory against its version file, as starter-verify
// reports it and starter-repair ends with it: the update run's own decisions
// (update/update_preview.h), one line per finding.
#ifndef STARTER_TOOLS_INSTALLATION_CHECK_H_
#define STARTER_TOOLS_INSTALLATION_CHECK_H_

#include <cstddef>
#include <string>
#include <vector>

#include "update/update_preview.h"

// A tool's output: findings on standard output, one line each unless quiet;
// problems on standard error as "<tool>: <why>".
class Report {
 public:
  Report(const char* tool, bool quiet) : tool_(tool), quiet_(quiet) {}

  // "<what> PATH<after>", PATH without a leading "./".
  void Line(const char* what, const std::string& path, const char* after = "");
  // One line of text.
  void Text(const std::string& text);
  // "<tool>: <why>" on standard error, whether quiet or not.
  void Problem(const std::string& why);
  // Problem(why); returns 2, the exit status of a tool that could not do
  // its work.
  int CannotTell(const std::string& why);
  bool quiet() const { return quiet_; }

 private:
  const char* tool_;
  bool quiet_;
};

// Reports every entry of `walk` the run would not leave alone: a download
// as `download_word` or, when that is null, by what is wrong with the local
// copy ("missing", "differs", "not a regular file", "unreadable"); refused
// paths as "refused", malformed entries as "malformed entry:". A game
// executable or script its owner may not run is "not executable" where
// `download_word` is null (the check) and left out otherwise (a start would
// not change it).
void ReportWalk(const WalkPreview& walk, const char* download_word,
                Report& report);

// What to do with a game executable or script its owner may not run.
enum class ExecutableModes {
  // Report it ("not executable PATH"), counted as damage.
  kReport,
  // Give it the mode an install gives it (0700), reported "made executable
  // PATH"; one that cannot be changed is reported as with kReport.
  kRepair,
};

// What CheckInstallation found.
struct InstallationFindings {
  // Well-formed entries of the version file.
  int listed = 0;
  // Listed files the next update would replace, and refused or malformed
  // entries.
  int differ = 0;
  // Executables and scripts still not runnable by their owner.
  int not_executable = 0;
  // Executables and scripts given their mode (ExecutableModes::kRepair).
  int made_executable = 0;
  // Unlisted files below Base the next update would move to ./old.
  std::size_t moved = 0;
  // The key in the header of the version file "App/version.txt".
  long key = 0;

  bool intact() const {
    return differ == 0 && not_executable == 0 && moved == 0;
  }
};

// Checks the game directory (the current directory) against the checksum
// list at `list_path` (its version file "App/version.txt", or a list the
// update run accepted) as the update run would (its hashes, the ignore lists
// `ignoreFiles`, the listed-path checks, the relocation rules) and reports,
// in the run's order, "would move PATH" for each file the relocation would
// move, then each listed entry it would not leave alone (ReportWalk). The
// key found is that of "App/version.txt". Changes nothing but, with
// ExecutableModes::kRepair, the modes of executables and scripts. False
// (after Report::CannotTell) when the list has no list header or cannot be
// read.
bool CheckInstallation(const char* list_path,
                       const std::vector<std::string>& ignoreFiles,
                       ExecutableModes modes, Report& report,
                       InstallationFindings& found);

// The end of a check's report: "installed list key N", then the summary
// line, "summary: intact" or "summary: not intact", `counts` (", 5 listed,
// 0 differ, 0 would move" for instance) and ", N not executable" when there
// are such files. The summary line is printed also when quiet.
void PrintSummary(const InstallationFindings& found, const std::string& counts,
                  Report& report);

#endif  // STARTER_TOOLS_INSTALLATION_CHECK_H_
