// Per-file patches beside the zstd tool, in one run: patch size, time to
// make, throughput and peak memory of applying, on generated releases shaped
// like game data. Ours and the tool's patches are also decoded crosswise
// (the tool's by ApplyPatch, ours by `zstd -d`) and checked against the new
// files.
//
// The tool's patch size is also given as `--single-thread` makes it: by
// default it compresses in a worker thread, which can make larger patches.
//
// Usage: patch_bench [rounds]      (best of `rounds`, default 3)
//        patch_bench apply REFERENCE PATCH OUT SIZE
//                                  (one ApplyPatch as a process of its own,
//                                  which the benchmark times and measures)
//
// Both sides run as processes under /usr/bin/time -v (peak resident memory,
// which counts the mapped or read reference as well as the decoder's own
// memory); applying ends with the decoded file written back by the kernel
// for both (the update run itself syncs it), and so does making. Ours is
// timed in this process, as the starter and the publishing tool run it, and
// as a process beside the tool.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/atomic_file.h"
#include "patch/file_patch.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"

namespace {

constexpr int kLevel = 3;
using Clock = std::chrono::steady_clock;

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

double Seconds(const std::function<bool()>& run, bool& ok) {
  const auto start = Clock::now();
  ok = run();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One MakePatch into `patch_path`, written back by the kernel (as the tool
// leaves it). Exit status 0 on success.
int MakeMain(const std::string& old_path, const std::string& new_path,
             const std::string& patch_path) {
  AtomicFile out(patch_path, LinkAtDestination::kReplace);
  const PatchResult result = MakePatch(old_path, new_path, out, kLevel);
  if (!result.ok()) {
    std::fprintf(stderr, "make: %s\n", DescribePatchResult(result).c_str());
    return 1;
  }
  return out.Commit(Durability::kWriteBack) ? 0 : 1;
}

// One ApplyPatch into `out`, written back by the kernel. Exit status 0 on
// success.
int ApplyMain(const std::string& reference, const std::string& patch,
              const std::string& out_path, std::uint64_t size) {
  AtomicFile out(out_path, LinkAtDestination::kReplace);
  const PatchResult result =
      ApplyPatch(reference, patch, out, PatchLimits{size});
  if (!result.ok() || result.output_bytes != size) {
    std::fprintf(stderr, "apply: %s\n", DescribePatchResult(result).c_str());
    return 1;
  }
  return out.Commit(Durability::kWriteBack) ? 0 : 1;
}

// Runs `command` under /usr/bin/time -v after writing back what earlier
// runs left dirty; stores its wall seconds and peak resident KiB. False when
// it failed.
bool TimeProcess(const std::string& command, const std::string& report,
                 double& seconds, long& peak_kib) {
  RunShell("sync");
  bool ok = false;
  seconds = Seconds(
      [&] {
        return RunShell("/usr/bin/time -v -o " + Quoted(report) + " " +
                        command + " >/dev/null 2>&1") == 0;
      },
      ok);
  const std::string text = ReadFile(report);
  const std::string key = "Maximum resident set size (kbytes): ";
  const std::size_t at = text.find(key);
  peak_kib =
      at == std::string::npos ? -1 : std::atol(text.c_str() + at + key.size());
  return ok;
}

// A file pair of a release: the old and the new content.
struct Pair {
  std::string old_content;
  std::string new_content;
};

// A 64 MiB pack of compressed assets: 200 scattered 512-byte edits and
// 1 MiB inserted.
std::vector<Pair> Pack() {
  Pair p{RandomBytes(64 << 20, 1), {}};
  p.new_content = p.old_content;
  std::mt19937 rng(2);
  const std::string fresh = RandomBytes(200 * 512, 3);
  for (int i = 0; i < 200; ++i) {
    const std::size_t at = rng() % (p.new_content.size() - 512);
    p.new_content.replace(at, 512, fresh, i * 512, 512);
  }
  p.new_content.insert(p.new_content.size() / 3, RandomBytes(1 << 20, 4));
  return {p};
}

// Compressed textures that change whole: 16 of 1 MiB.
std::vector<Pair> Textures() {
  std::vector<Pair> pairs;
  for (unsigned i = 0; i < 16; ++i) {
    pairs.push_back(
        {RandomBytes(1 << 20, 100 + i), RandomBytes(1 << 20, 200 + i)});
  }
  return pairs;
}

// 100 scripts of about 8 KiB of text, each with a line changed and one
// added.
std::vector<Pair> Scripts() {
  std::vector<Pair> pairs;
  std::mt19937 rng(5);
  const char* words[] = {"local",  "function", "end",    "if",    "then",
                         "return", "player",   "health", "spawn", "item",
                         "=",      "+",        "(",      ")",     "nil",
                         "true",   "for",      "in",     "pairs", "do"};
  for (int f = 0; f < 100; ++f) {
    std::vector<std::string> lines;
    for (std::size_t size = 0; size < 8192;) {
      std::string line(rng() % 4 * 2, ' ');
      for (unsigned w = 0, n = 2 + rng() % 8; w < n; ++w) {
        line += std::string(words[rng() % 20]) + " ";
      }
      size += line.size() + 1;
      lines.push_back(line);
    }
    Pair p;
    for (const auto& l : lines) p.old_content += l + "\n";
    lines[rng() % lines.size()] = "  health = health + " + std::to_string(f);
    lines.insert(lines.begin() + rng() % lines.size(), "  spawn(item, nil)");
    for (const auto& l : lines) p.new_content += l + "\n";
    pairs.push_back(p);
  }
  return pairs;
}

// An executable of about 16 MiB: function bodies from a small instruction
// vocabulary with embedded addresses. The new build inserts 64 KiB of code
// a third of the way in, which moves every later function, so every address
// that points past the insertion changes, and changes a few functions.
std::vector<Pair> Executable() {
  std::mt19937 rng(6);
  std::vector<std::string> ops;
  for (int i = 0; i < 64; ++i)
    ops.push_back(RandomBytes(1 + rng() % 6, 300 + i));
  struct Function {
    std::string body;                  // with 4-byte holes for addresses
    std::vector<std::size_t> holes;    // offsets of the holes in body
    std::vector<std::size_t> targets;  // index of the function each names
  };
  std::vector<Function> functions;
  const std::size_t count = 80000;
  for (std::size_t f = 0; f < count; ++f) {
    Function fn;
    for (unsigned n = 0, len = 20 + rng() % 60; n < len; ++n) {
      if (rng() % 8 == 0) {
        fn.holes.push_back(fn.body.size());
        fn.targets.push_back(rng() % count);
        fn.body += std::string(4, '\0');
      } else {
        fn.body += ops[rng() % ops.size()];
      }
    }
    functions.push_back(fn);
  }
  const auto link = [&](const std::vector<Function>& fns) {
    std::vector<std::uint32_t> address;
    std::uint32_t at = 0x400000;
    for (const auto& fn : fns) {
      address.push_back(at);
      at += static_cast<std::uint32_t>(fn.body.size());
    }
    std::string image;
    for (const auto& fn : fns) {
      std::string body = fn.body;
      for (std::size_t h = 0; h < fn.holes.size(); ++h) {
        const std::uint32_t a = address[fn.targets[h]];
        for (int b = 0; b < 4; ++b)
          body[fn.holes[h] + b] = static_cast<char>(a >> (8 * b));
      }
      image += body;
    }
    return image;
  };
  Pair p;
  p.old_content = link(functions);
  std::vector<Function> changed = functions;
  for (int i = 0; i < 50; ++i) {
    changed[rng() % count].body += ops[rng() % ops.size()];
  }
  std::vector<Function> inserted;
  for (std::size_t size = 0; size < (64 << 10);) {
    Function fn = functions[rng() % count];
    size += fn.body.size();
    inserted.push_back(fn);
  }
  changed.insert(changed.begin() + count / 3, inserted.begin(), inserted.end());
  p.new_content = link(changed);
  return {p};
}

// Totals of one data set: bytes, best seconds, peak resident KiB.
struct Figures {
  std::uint64_t new_bytes = 0, ours_bytes = 0, zstd_bytes = 0;
  // The tool's patch made without its worker thread.
  std::uint64_t zstd_single_bytes = 0;
  double ours_make = 0, ours_make_process = 0, zstd_make = 0;
  double ours_apply = 0, ours_apply_process = 0, zstd_apply = 0;
  long ours_make_peak = 0, zstd_make_peak = 0;
  long ours_apply_peak = 0, zstd_apply_peak = 0;
};

std::uint64_t SizeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

// Measures every pair of a data set and adds its figures to `fig`. False
// when a step failed or decoded other bytes than the new file.
bool Measure(const std::string& self, const TempDir& dir,
             const std::vector<Pair>& pairs, int rounds, Figures& fig) {
  const std::string old_path = dir / "old", new_path = dir / "new";
  const std::string ours = dir / "ours.patch", theirs = dir / "zstd.patch";
  const std::string out = dir / "out", report = dir / "time.txt";
  const std::string old_q = Quoted(old_path), out_q = Quoted(out);
  for (const Pair& p : pairs) {
    WriteFile(old_path, p.old_content);
    WriteFile(new_path, p.new_content);
    const std::string size = std::to_string(p.new_content.size());
    const std::string ours_make =
        self + " make " + old_q + " " + Quoted(new_path) + " " + Quoted(ours);
    const std::string zstd_make =
        "zstd -q -f -3 --long=27 --patch-from=" + old_q + " " +
        Quoted(new_path) + " -o " + Quoted(theirs);
    const std::string ours_apply = self + " apply " + old_q + " " +
                                   Quoted(ours) + " " + out_q + " " + size;
    const std::string zstd_apply =
        "zstd -q -f -d --long=27 --patch-from=" + old_q + " " + Quoted(theirs) +
        " -o " + out_q;
    // Best seconds and largest peak of each measured step.
    struct Step {
      double best = 1e9;
      long peak = 0;
    } make_ours, make_ours_process, make_zstd, apply_ours, apply_ours_process,
        apply_zstd;
    // Runs one measured process into a fresh `out`; false when it failed.
    const auto process = [&](const std::string& command, Step& step,
                             bool times) {
      double seconds;
      long kib;
      RunShell("rm -f " + out_q);
      if (!TimeProcess(command, report, seconds, kib)) return false;
      if (times) step.best = std::min(step.best, seconds);
      step.peak = std::max(step.peak, kib);
      return true;
    };
    for (int r = 0; r < rounds; ++r) {
      bool ok = false;
      RunShell("sync");
      make_ours.best = std::min(
          make_ours.best,
          Seconds([&] { return MakeMain(old_path, new_path, ours) == 0; }, ok));
      if (!ok || !process(ours_make, make_ours_process, true) ||
          !process(zstd_make, make_zstd, true)) {
        return false;
      }
      RunShell("rm -f " + out_q + " && sync");
      apply_ours.best = std::min(
          apply_ours.best, Seconds(
                               [&] {
                                 return ApplyMain(old_path, ours, out,
                                                  p.new_content.size()) == 0;
                               },
                               ok));
      if (!ok || ReadFile(out) != p.new_content ||
          !process(ours_apply, apply_ours_process, true) ||
          ReadFile(out) != p.new_content ||
          !process(zstd_apply, apply_zstd, true) ||
          ReadFile(out) != p.new_content) {
        return false;
      }
    }
    // Crosswise: the tool's patch here, ours by the tool.
    if (RunShell(self + " apply " + old_q + " " + Quoted(theirs) + " " + out_q +
                 " " + size) != 0 ||
        ReadFile(out) != p.new_content) {
      return false;
    }
    if (RunShell("zstd -q -f -d --long=30 --patch-from=" + old_q + " " +
                 Quoted(ours) + " -o " + out_q) != 0 ||
        ReadFile(out) != p.new_content) {
      return false;
    }
    const std::string single = dir / "zstd-single.patch";
    if (RunShell(
            "zstd -q -f -3 --long=27 --single-thread --patch-from=" + old_q +
            " " + Quoted(new_path) + " -o " + Quoted(single)) != 0) {
      return false;
    }
    fig.zstd_single_bytes += SizeOf(single);
    fig.new_bytes += p.new_content.size();
    fig.ours_bytes += SizeOf(ours);
    fig.zstd_bytes += SizeOf(theirs);
    fig.ours_make += make_ours.best;
    fig.ours_make_process += make_ours_process.best;
    fig.zstd_make += make_zstd.best;
    fig.ours_apply += apply_ours.best;
    fig.ours_apply_process += apply_ours_process.best;
    fig.zstd_apply += apply_zstd.best;
    fig.ours_make_peak = std::max(fig.ours_make_peak, make_ours_process.peak);
    fig.zstd_make_peak = std::max(fig.zstd_make_peak, make_zstd.peak);
    fig.ours_apply_peak =
        std::max(fig.ours_apply_peak, apply_ours_process.peak);
    fig.zstd_apply_peak = std::max(fig.zstd_apply_peak, apply_zstd.peak);
  }
  return true;
}

void Print(const char* name, const Figures& f) {
  const double mib = f.new_bytes / 1048576.0;
  std::printf("%s (%.1f MiB of new files)\n", name, mib);
  std::printf(
      "  patch   ours %10llu B   zstd %10llu B   ratio %.3f   (zstd "
      "--single-thread %llu B, ratio %.3f)\n",
      static_cast<unsigned long long>(f.ours_bytes),
      static_cast<unsigned long long>(f.zstd_bytes),
      static_cast<double>(f.ours_bytes) / f.zstd_bytes,
      static_cast<unsigned long long>(f.zstd_single_bytes),
      static_cast<double>(f.ours_bytes) / f.zstd_single_bytes);
  std::printf(
      "  make    ours %7.3f s in process, %7.3f s as a process (peak %4ld "
      "MiB)   zstd %7.3f s (peak %4ld MiB)\n",
      f.ours_make, f.ours_make_process, f.ours_make_peak / 1024, f.zstd_make,
      f.zstd_make_peak / 1024);
  std::printf(
      "  apply   ours %6.0f MiB/s in process, %6.0f MiB/s as a process (peak "
      "%4ld MiB)   zstd %6.0f MiB/s (peak %4ld MiB)   ratio %.2f\n",
      mib / f.ours_apply, mib / f.ours_apply_process, f.ours_apply_peak / 1024,
      mib / f.zstd_apply, f.zstd_apply_peak / 1024,
      f.zstd_apply / f.ours_apply_process);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "apply") {
    return ApplyMain(argv[2], argv[3], argv[4],
                     std::strtoull(argv[5], nullptr, 10));
  }
  if (argc == 5 && std::string(argv[1]) == "make") {
    return MakeMain(argv[2], argv[3], argv[4]);
  }
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (RunShell("command -v zstd >/dev/null && test -x /usr/bin/time") != 0) {
    std::fprintf(stderr, "needs the zstd tool and /usr/bin/time\n");
    return 1;
  }
  const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
  const struct {
    const char* name;
    std::vector<Pair> (*make)();
  } sets[] = {
      {"pack 64 MiB, 200 edits of 512 B + 1 MiB inserted", Pack},
      {"textures 16 x 1 MiB, changed whole", Textures},
      {"scripts 100 x 8 KiB, a line changed and one added", Scripts},
      {"executable 16 MiB, relinked after 64 KiB inserted", Executable}};
  std::printf(
      "level %d, best of %d rounds, beside zstd -3 --long=27 --patch-from "
      "(make) and zstd -d --long=27 --patch-from (apply); peaks by "
      "/usr/bin/time -v, the largest of the set\n\n",
      kLevel, rounds);
  Figures all;
  for (const auto& set : sets) {
    const TempDir dir;
    Figures fig;
    if (!Measure(self, dir, set.make(), rounds, fig)) {
      std::fprintf(stderr, "%s: a step failed or decoded other bytes\n",
                   set.name);
      return 1;
    }
    Print(set.name, fig);
    all.new_bytes += fig.new_bytes;
    all.ours_bytes += fig.ours_bytes;
    all.zstd_bytes += fig.zstd_bytes;
    all.zstd_single_bytes += fig.zstd_single_bytes;
    all.ours_make += fig.ours_make;
    all.ours_make_process += fig.ours_make_process;
    all.zstd_make += fig.zstd_make;
    all.ours_apply += fig.ours_apply;
    all.ours_apply_process += fig.ours_apply_process;
    all.zstd_apply += fig.zstd_apply;
    all.ours_make_peak = std::max(all.ours_make_peak, fig.ours_make_peak);
    all.zstd_make_peak = std::max(all.zstd_make_peak, fig.zstd_make_peak);
    all.ours_apply_peak = std::max(all.ours_apply_peak, fig.ours_apply_peak);
    all.zstd_apply_peak = std::max(all.zstd_apply_peak, fig.zstd_apply_peak);
  }
  Print("the whole release", all);
  return 0;
}
