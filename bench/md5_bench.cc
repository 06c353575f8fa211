// Throughput of Md5File beside coreutils md5sum on the same file, in one run.
// Usage: md5_bench [size_in_MiB] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/md5.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const TempDir dir;
  const std::string path = dir / "data.bin";
  WriteFile(path, RandomBytes(static_cast<std::size_t>(mib) << 20, 1));
  const std::string sum_cmd = "md5sum '" + path + "' > /dev/null";
  if (RunShell(sum_cmd) != 0) return 1;  // also warms the cache

  using Clock = std::chrono::steady_clock;
  std::chrono::duration<double> ours = Clock::duration::max();
  std::chrono::duration<double> theirs = ours;
  std::string hex;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = Clock::now();
    if (!Md5File(path.c_str(), hex)) return 1;
    const auto t1 = Clock::now();
    if (RunShell(sum_cmd) != 0) return 1;
    ours = std::min<std::chrono::duration<double>>(ours, t1 - t0);
    theirs = std::min<std::chrono::duration<double>>(theirs, Clock::now() - t1);
  }
  std::printf("file %ld MiB, best of %d rounds (page cache warm)\n", mib,
              rounds);
  std::printf("Md5File : %.3f s  %.0f MiB/s  %s\n", ours.count(),
              mib / ours.count(), hex.c_str());
  std::printf("md5sum  : %.3f s  %.0f MiB/s  (includes process start)\n",
              theirs.count(), mib / theirs.count());
  return 0;
}
