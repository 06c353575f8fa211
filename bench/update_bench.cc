// Speed of the update run's hot paths, each beside a reference in one run.
//
//   update_bench hash [files] [MiB]   CreateVersionFile over a tree of `files`
//                                     files totalling `MiB` (default 3000,
//                                     400) beside md5sum over the same files.
//   update_bench compare [entries]    The comparison walk's lookups: entries
//                                     against as many records (default
//                                     100000), at n and 10n, beside the
//                                     linear search at small n.
//   update_bench run [files]          Whole update runs over an unchanged
//                                     tree (default 100000 files) served on
//                                     127.0.0.1: one with a changed key, one
//                                     with the same key; beside md5sum.
// Trees live in temporary directories, removed afterwards. Results go to stderr
// (stdout carries the updater's own progress output).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/md5.h"
#include "engine_starter/application.h"
#include "engine_starter/log.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"
#include "update/auto_update.h"
#include "update/file_pair_index.h"
#include "update/tree_scan.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

// Creates `count` files below dir/Base (100 directories) with random bytes
// of `bytes` each; returns their listed paths ("./Base/...") and hashes.
std::vector<filemd5pair> MakeTree(const std::string& dir, int count,
                                  std::size_t bytes) {
  std::mt19937_64 gen(7);
  std::string content(bytes, '\0');
  std::vector<filemd5pair> files;
  for (int i = 0; i < count; ++i) {
    std::string sub = "Base/d" + std::to_string(i % 100);
    if (i < 100) mkdir((dir + "/" + sub).c_str(), 0755);
    std::string rel = sub + "/f" + std::to_string(i) + ".dat";
    for (std::size_t j = 0; j + 8 <= content.size(); j += 8) {
      std::uint64_t word = gen();
      std::memcpy(&content[j], &word, 8);
    }
    std::ofstream(dir + "/" + rel, std::ios::binary) << content;
    files.push_back({"./" + rel, Md5Hex(content.data(), content.size())});
  }
  return files;
}

void WriteList(const std::string& path, long key,
               const std::vector<filemd5pair>& files) {
  std::ofstream out(path, std::ios::binary);
  out << "version_file " << key << "\n";
  for (const auto& f : files) out << f.filename << " " << f.md5 << "\n";
}

// md5sum over the files named in dir/names.txt, run from dir.
double TimeMd5sum(const std::string& dir) {
  auto start = Clock::now();
  Shell("cd '" + dir + "' && xargs -a names.txt md5sum > /dev/null");
  return Since(start);
}

void WriteNames(const std::string& dir, const std::vector<filemd5pair>& files) {
  std::ofstream out(dir + "/names.txt");
  for (const auto& f : files) out << f.filename << "\n";
}

// The game directory layout the application creates at start.
void MakeGameDirs(const std::string& dir) {
  for (const char* sub :
       {"/App", "/Base", "/Downloads", "/Downloads/App", "/Logs"}) {
    mkdir((dir + sub).c_str(), 0755);
  }
}

// The settings of an update run from `app`'s update path.
UpdateSettings SettingsOf(CApplication& app) {
  UpdateSettings settings;
  settings.update_path = app.getUpdatePath();
  return settings;
}

int HashBench(int count, long mib) {
  const TempDir temp;
  const std::string& dir = temp.path();
  MakeGameDirs(dir);
  auto files =
      MakeTree(dir, count, static_cast<std::size_t>(mib * 1024 * 1024 / count));
  WriteList(dir + "/Downloads/App/version.txt", 1234, files);
  WriteNames(dir, files);
  if (chdir(dir.c_str()) != 0) return 1;
  CAppLog log("Logs/app.txt", false);
  CApplication app;
  app.defaults.updateURL = "http://127.0.0.1:1/";  // refused: the run ends
  CAutoUpdate update("App/autoupdate.cfg", "App/version.txt", ".", true,
                     SettingsOf(app));
  TimeMd5sum(dir);  // warms the page cache
  double ours = 1e30, theirs = 1e30, bare = 1e30;
  for (int round = 0; round < 3; ++round) {
    update.diskpairs.clear();
    auto start = Clock::now();
    update.CreateVersionFile("App/version.txt", ".",
                             "Downloads/App/version.txt");
    ours = std::min(ours, Since(start));
    theirs = std::min(theirs, TimeMd5sum(dir));
    start = Clock::now();
    std::string hash;
    for (const auto& f : files) stdCalculateMD5(f.filename.c_str(), hash);
    bare = std::min(bare, Since(start));
  }
  bool same = update.diskpairs.size() == files.size();
  for (std::size_t i = 0; same && i < files.size(); ++i) {
    same = update.diskpairs[i].md5 == files[i].md5;
  }
  std::fprintf(stderr,
               "\nhash: %d files, %ld MiB, best of 3, page cache warm\n"
               "  CreateVersionFile : %.3f s  %.0f MiB/s  (digests %s)\n"
               "  md5sum (xargs)    : %.3f s  %.0f MiB/s\n"
               "  stdCalculateMD5 alone, same files: %.3f s\n",
               count, mib, ours, mib / ours, same ? "match" : "DIFFER", theirs,
               mib / theirs, bare);
  return same ? 0 : 1;
}

// The lookup the comparison walk makes, as first specified: a linear search.
bool LinearContains(const std::vector<filemd5pair>& records,
                    const filemd5pair& pair) {
  std::string name = LowerBytes(pair.filename);
  for (const auto& r : records) {
    if (LowerBytes(r.filename) == name && r.md5 == pair.md5) return true;
  }
  return false;
}

std::vector<filemd5pair> Records(int n) {
  std::vector<filemd5pair> records;
  for (int i = 0; i < n; ++i) {
    std::string name = "./Base/Dir" + std::to_string(i % 97) + "/File" +
                       std::to_string(i) + ".png";
    records.push_back({name, Md5Hex(name.data(), name.size())});
  }
  return records;
}

double TimeIndexed(int n, int* found, double* walk) {
  auto records = Records(n);
  // The walk's entries: the same names in upper case, in list order (the
  // records were hashed in that order too).
  std::vector<filemd5pair> entries;
  for (auto it = records.begin(); it != records.end(); ++it) {
    std::string upper = it->filename;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    entries.push_back({upper, it->md5});
  }
  auto start = Clock::now();
  FilePairIndex index;
  index.reserve(records.size());  // as CreateVersionFile does
  for (const auto& r : records) index.Append(r.filename, r.md5);
  auto walk_start = Clock::now();
  *found = 0;
  for (const auto& entry : entries) *found += index.Contains(entry) ? 1 : 0;
  *walk = Since(walk_start);
  return Since(start);
}

double TimeLinear(int n) {
  auto records = Records(n);
  auto start = Clock::now();
  int found = 0;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    found += LinearContains(records, *it) ? 1 : 0;
  }
  if (found != n) std::exit(1);
  return Since(start);
}

int CompareBench(int n) {
  int found_n = 0, found_10n = 0;
  double w_n = 0, w_10n = 0;
  double t_n = TimeIndexed(n, &found_n, &w_n);
  double t_10n = TimeIndexed(10 * n, &found_10n, &w_10n);
  double lin_small = TimeLinear(n / 50);
  double lin_double = TimeLinear(n / 25);
  std::fprintf(stderr,
               "\ncompare: entries against as many records (build + walk)\n"
               "  indexed  n=%-8d : %.3f s, walk alone %.3f s  (%d found)\n"
               "  indexed 10n=%-7d : %.3f s, walk alone %.3f s  (%d found)  "
               "ratio %.1f\n"
               "  linear   n=%-8d : %.3f s\n"
               "  linear   n=%-8d : %.3f s  ratio %.1f (quadratic: 4)\n",
               n, t_n, w_n, found_n, 10 * n, t_10n, w_10n, found_10n,
               t_10n / t_n, n / 50, lin_small, n / 25, lin_double,
               lin_double / lin_small);
  return found_n == n && found_10n == 10 * n ? 0 : 1;
}

int RunBench(int count) {
  const TempDir game_dir;
  const TempDir release_dir;
  const std::string& game = game_dir.path();
  const std::string& release = release_dir.path();
  MakeGameDirs(game);
  auto start = Clock::now();
  auto files = MakeTree(game, count, 64);
  double make = Since(start);
  mkdir((release + "/linux32-dedicated-demo").c_str(), 0755);
  mkdir((release + "/linux32-dedicated-demo/App").c_str(), 0755);
  WriteList(release + "/linux32-dedicated-demo/App/version.txt", 2222, files);
  WriteList(game + "/App/version.txt", 1111, files);  // the old release's key
  WriteNames(game, files);

  HttpTestServer server;
  server.ServeDirectory("/10/", release);

  if (chdir(game.c_str()) != 0) return 1;
  CAppLog log("Logs/app.txt", false);
  CApplication app;
  app.defaults.updateURL = server.Url("/10/");
  TimeMd5sum(game);  // warms the page cache

  start = Clock::now();
  std::size_t hashed_changed;
  int error_changed;
  {
    CAutoUpdate update("App/autoupdate.cfg", "App/version.txt", ".", true,
                       SettingsOf(app));
    hashed_changed = update.diskpairs.size();
    error_changed = update.error;
  }
  double changed = Since(start);
  const int requests_changed = server.TotalRequestCount();

  start = Clock::now();
  std::size_t hashed_same;
  {
    CAutoUpdate update("App/autoupdate.cfg", "App/version.txt", ".", true,
                       SettingsOf(app));
    hashed_same = update.diskpairs.size();
  }
  double same = Since(start);
  const int requests_same = server.TotalRequestCount() - requests_changed;
  double reference = TimeMd5sum(game);

  std::fprintf(stderr,
               "\nrun: %d unchanged files of 64 bytes (tree made in %.1f s)\n"
               "  changed key : %.3f s, %zu files hashed, %d requests, error "
               "%d\n"
               "  same key    : %.3f s, %zu files hashed, %d requests\n"
               "  md5sum over the same files (xargs): %.3f s\n",
               count, make, changed, hashed_changed, requests_changed,
               error_changed, same, hashed_same, requests_same, reference);
  return hashed_changed == files.size() && requests_changed == 1 &&
                 hashed_same == 0 && requests_same == 1
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hash") {
    return HashBench(argc > 2 ? std::atoi(argv[2]) : 3000,
                     argc > 3 ? std::atol(argv[3]) : 400);
  }
  if (mode == "compare") {
    return CompareBench(argc > 2 ? std::atoi(argv[2]) : 100000);
  }
  if (mode == "run") return RunBench(argc > 2 ? std::atoi(argv[2]) : 100000);
  std::fprintf(stderr,
               "usage: %s hash [files] [MiB] | compare [entries] | "
               "run [files]\n",
               argv[0]);
  return 2;
}
