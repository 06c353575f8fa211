#include "installation_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "engine/file_lock.h"
#include "install/file_install.h"
#include "update/checksum_list.h"

namespace {

// The local version file.
constexpr char kVersionFile[] = "App/version.txt";

// `path` below the game directory, without a leading "./".
std::string Shown(const std::string& path) {
  return path.rfind("./", 0) == 0 ? path.substr(2) : path;
}

// The word of a listed file the run would replace, by its local copy.
const char* Finding(LocalCopy local) {
  switch (local) {
    case LocalCopy::kDiffers:
      return "differs";
    case LocalCopy::kMissing:
      return "missing";
    case LocalCopy::kNotRegularFile:
      return "not a regular file";
    case LocalCopy::kUnreadable:
      return "unreadable";
  }
  return "differs";
}

// The header of the version file; not found when it does not open.
ListHeader VersionFileHeader() {
  FileLock file(std::fopen(kVersionFile, "r"));
  return file.isValid() ? ReadListHeader(file.get()) : ListHeader{};
}

}  // namespace

void Report::Line(const char* what, const std::string& path,
                  const char* after) {
  if (!quiet_) std::printf("%s %s%s\n", what, Shown(path).c_str(), after);
}

void Report::Text(const std::string& text) {
  if (!quiet_) std::printf("%s\n", text.c_str());
}

void Report::Problem(const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", tool_, why.c_str());
}

int Report::CannotTell(const std::string& why) {
  Problem(why);
  return 2;
}

void ReportWalk(const WalkPreview& walk, const char* download_word,
                Report& report) {
  for (const PreviewedEntry& entry : walk.entries) {
    switch (entry.kind) {
      case PreviewedEntry::Kind::kMalformed:
        report.Line("malformed entry:", entry.text);
        break;
      case PreviewedEntry::Kind::kRefused:
        report.Line("refused", entry.text);
        break;
      case PreviewedEntry::Kind::kDownload:
        if (download_word == nullptr) {
          report.Line(Finding(entry.local), entry.text);
        } else if (entry.rejected) {
          report.Line("would fail to download", entry.text,
                      " (listed earlier with another hash)");
        } else {
          report.Line(download_word, entry.text);
        }
        break;
      case PreviewedEntry::Kind::kNotExecutable:
        if (download_word == nullptr) report.Line("not executable", entry.text);
        break;
    }
  }
}

bool CheckInstallation(const char* list_path,
                       const std::vector<std::string>& ignoreFiles,
                       ExecutableModes modes, Report& report,
                       InstallationFindings& found) {
  if (!HasChecksumListHeader(list_path)) {
    report.CannotTell(std::string("no checksum list in ") + list_path);
    return false;
  }
  const std::optional<ListSteps> steps = ReadListStepsAt(list_path);
  if (!steps) {
    report.CannotTell(std::string("cannot read ") + list_path + ": " +
                      std::strerror(errno));
    return false;
  }
  // In the order of the update run: the relocation, then the comparison.
  const std::vector<std::string> moved =
      PreviewRelocation(list_path, ignoreFiles);
  for (const std::string& path : moved) report.Line("would move", path);
  WalkPreview walk = PreviewWalk(*steps, ignoreFiles);
  if (modes == ExecutableModes::kRepair) {
    std::erase_if(walk.entries, [&](const PreviewedEntry& entry) {
      if (entry.kind != PreviewedEntry::Kind::kNotExecutable ||
          !GiveExecutableMode(entry.text.c_str())) {
        return false;
      }
      report.Line("made executable", entry.text);
      ++found.made_executable;
      --walk.not_executable;
      return true;
    });
  }
  ReportWalk(walk, nullptr, report);
  found.listed = walk.listed;
  found.differ = walk.downloads + walk.refused;
  found.not_executable = walk.not_executable;
  found.moved = moved.size();
  found.key = VersionFileHeader().key;
  return true;
}

void PrintSummary(const InstallationFindings& found, const std::string& counts,
                  Report& report) {
  report.Text("installed list key " + std::to_string(found.key));
  std::string extra;
  if (found.not_executable > 0) {
    extra = ", " + std::to_string(found.not_executable) + " not executable";
  }
  std::printf("summary: %s%s%s\n", found.intact() ? "intact" : "not intact",
              counts.c_str(), extra.c_str());
}
