// Download speed of CCurl beside the curl tool: 1,000 small files from a
// local server, one client (one connection) each, in the same run.
//
// Usage: download_bench [files] [bytes per file] [rounds]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "http/curl_client.h"
#include "support/http_test_server.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start)
      .count();
}

std::string FileName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "f%04d.bin", index);
  return name;
}

// Sends standard output and error to /dev/null while it lives.
class Silence {
 public:
  Silence() {
    std::fflush(stdout);
    std::fflush(stderr);
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
  }
  ~Silence() {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
  }

 private:
  int saved_out_;
  int saved_err_;
};

// True when every file of `files` arrived in `dir` with its content.
bool AllArrived(const fs::path& dir, const std::vector<std::string>& bodies) {
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    if (ReadFile(dir / FileName(static_cast<int>(i))) != bodies[i]) {
      return false;
    }
  }
  return true;
}

double RunClient(const std::string& base, const fs::path& dir, int files) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  const ScopedCwd cwd(dir);
  auto start = Clock::now();
  int failures = 0;
  {
    Silence quiet;
    CCurl client;
    for (int i = 0; i < files; ++i) {
      client.DownloadFile(base.c_str(), FileName(i).c_str(), "", 60);
      if (client.result != CURLE_OK) ++failures;
    }
  }
  double ms = MillisecondsSince(start);
  if (failures != 0) std::fprintf(stderr, "CCurl: %d failures\n", failures);
  return ms;
}

double RunCurlTool(const std::string& base, const fs::path& dir, int files) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path config = dir.parent_path() / "curl.config";
  {
    std::ofstream out(config);
    for (int i = 0; i < files; ++i) {
      out << "url = \"" << base << FileName(i) << "\"\n"
          << "output = \"" << (dir / FileName(i)).string() << "\"\n";
    }
  }
  const std::string command =
      "curl -s --fail --config '" + config.string() + "'";
  auto start = Clock::now();
  int status = std::system(command.c_str());
  double ms = MillisecondsSince(start);
  if (status != 0) std::fprintf(stderr, "curl exited with %d\n", status);
  return ms;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
  const std::size_t size =
      argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16384;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;

  const TempDir temp;
  const fs::path root = temp.path();
  std::vector<std::string> bodies(files);
  for (int i = 0; i < files; ++i) {
    bodies[i] = RandomBytes(size, 42 + static_cast<unsigned>(i));
    WriteFile(temp / ("served/" + FileName(i)), bodies[i]);
  }

  HttpTestServer server;
  server.ServeDirectory("/10/", temp / "served");
  const std::string base = server.Url("/10/");

  std::vector<double> ours, theirs;
  bool ok = true;
  for (int round = 0; round < rounds; ++round) {
    ours.push_back(RunClient(base, root / "ccurl", files));
    ok = ok && AllArrived(root / "ccurl", bodies);
    theirs.push_back(RunCurlTool(base, root / "curl", files));
    ok = ok && AllArrived(root / "curl", bodies);
  }

  std::printf("%d files of %zu bytes from 127.0.0.1, %d rounds (median, min)\n",
              files, size, rounds);
  std::printf("CCurl::DownloadFile, one client: %8.1f ms  %8.1f ms\n",
              Median(ours), *std::min_element(ours.begin(), ours.end()));
  std::printf("curl --config, one process:      %8.1f ms  %8.1f ms\n",
              Median(theirs), *std::min_element(theirs.begin(), theirs.end()));
  std::printf("content check: %s\n", ok ? "all files identical" : "MISMATCH");
  return ok ? 0 : 1;
}
