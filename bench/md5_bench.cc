// Throughput of Md5File beside coreutils md5sum on the same file, in one run.
// Usage: md5_bench [size_in_MiB] [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/md5.h"
#include "support/temp_dir.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const TempDir dir;
  const std::string path = dir / "data.bin";
  {
    std::mt19937_64 gen(1);
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    std::ofstream out(path, std::ios::binary);
    for (long i = 0; i < mib; ++i) {
      for (auto& word : block) word = gen();
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size() * 8));
    }
  }
  const std::string sum_cmd = "md5sum '" + path + "' > /dev/null";
  if (std::system(sum_cmd.c_str()) != 0) return 1;  // also warms the cache

  double ours = 1e30, theirs = 1e30;
  std::string hex;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    if (!Md5File(path.c_str(), hex)) return 1;
    auto t1 = std::chrono::steady_clock::now();
    if (std::system(sum_cmd.c_str()) != 0) return 1;
    auto t2 = std::chrono::steady_clock::now();
    ours = std::min(ours, Seconds(t1 - t0));
    theirs = std::min(theirs, Seconds(t2 - t1));
  }
  std::printf("file %ld MiB, best of %d rounds (page cache warm)\n", mib,
              rounds);
  std::printf("Md5File : %.3f s  %.0f MiB/s  %s\n", ours, mib / ours,
              hex.c_str());
  std::printf("md5sum  : %.3f s  %.0f MiB/s  (includes process start)\n",
              theirs, mib / theirs);
  return 0;
}
