// Helpers of the archive tests: tar headers built by hand, GNU tar and gzip
// runs, a scratch directory, and capture of the extractor's console output.
#ifndef STARTER_TESTS_ARCHIVE_ARCHIVE_FIXTURE_H_
#define STARTER_TESTS_ARCHIVE_ARCHIVE_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/tar_extract.h"
#include "support/temp_dir.h"
#include "support/text_match.h"

// One member of a hand-made archive.
struct TarEntry {
  std::string name;
  char type = '0';
  std::string data{};
  unsigned mode = 0644;
  long mtime = 1600000000;
  std::string linkto{};
  std::string prefix{};
  bool signedChecksum = false;  // store the sum of the bytes taken as signed
};

// The 512-byte ustar header of `e`, checksum filled in.
inline std::string TarHeader(const TarEntry& e) {
  std::string h(512, '\0');
  auto put = [&h](std::size_t offset, std::size_t size, const std::string& s) {
    h.replace(offset, s.size() < size ? s.size() : size, s.substr(0, size));
  };
  char num[32];
  put(0, 100, e.name);
  snprintf(num, sizeof num, "%07o", e.mode);
  put(100, 8, num);
  put(108, 8, "0000000");
  put(116, 8, "0000000");
  snprintf(num, sizeof num, "%011lo",
           static_cast<unsigned long>(e.data.size()));
  put(124, 12, num);
  snprintf(num, sizeof num, "%011lo", static_cast<unsigned long>(e.mtime));
  put(136, 12, num);
  h[156] = e.type;
  put(157, 100, e.linkto);
  put(257, 8,
      std::string("ustar\0"
                  "00",
                  8));
  put(345, 155, e.prefix);
  long sum = 8 * ' ';
  for (std::size_t i = 0; i < 512; ++i) {
    if (i >= 148 && i < 156) continue;
    sum += e.signedChecksum ? static_cast<signed char>(h[i])
                            : static_cast<unsigned char>(h[i]);
  }
  snprintf(num, sizeof num, "%06lo", sum);
  put(148, 7, num);
  h[154] = '\0';
  h[155] = ' ';
  return h;
}

// Header, data padded to whole blocks, for each entry, then two zero blocks.
inline std::string TarArchive(const std::vector<TarEntry>& entries) {
  std::string out;
  for (const TarEntry& e : entries) {
    out += TarHeader(e);
    out += e.data;
    out.append((512 - e.data.size() % 512) % 512, '\0');
  }
  out.append(1024, '\0');
  return out;
}

// `size` bytes of a fixed pseudo-random pattern.
inline std::string PatternBytes(std::size_t size, unsigned seed = 1) {
  std::string s(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return s;
}

// A scratch directory with "src/" for trees to pack and "out/" as the
// extraction prefix, and the extractor's console output captured per call.
class ArchiveTest : public ::testing::Test {
 protected:
  ArchiveTest() { ForgetEarlierArchives(); }
  // Runs doarchive on `archive` (a path) into `prefix` (default "out/" in the
  // scratch directory), keeping its standard output and error and its report.
  int Extract(const std::string& archive, const std::string* prefix = nullptr) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int rc =
        doarchive(archive.c_str(), prefix ? *prefix : Out(""), report_);
    fflush(stdout);
    fflush(stderr);
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return rc;
  }
  // Writes `content` as an archive file in the scratch directory.
  std::string WriteArchive(const std::string& name,
                           const std::string& content) {
    WriteFile(dir_ / name, content);
    return dir_ / name;
  }
  // Runs a shell command in the scratch directory; fails the test on error.
  void Shell(const std::string& command) {
    ASSERT_EQ(0, RunShell("cd '" + dir_.path() + "' && " + command)) << command;
  }
  std::string Src(const std::string& rel) const {
    return dir_ / ("src/" + rel);
  }
  std::string Out(const std::string& rel) const {
    return dir_ / ("out/" + rel);
  }

  static struct stat Lstat(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
  }
  static std::string ReadLink(const std::string& path) {
    char buf[512];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string()
                 : std::string(buf, static_cast<std::size_t>(n));
  }
  // Expects the tree under `actual` to be the tree under `expected`: the same
  // names and kinds of file; regular files with the same contents, modes and
  // modification times; directories with the same modes; symbolic links with
  // the same target texts; hard links among the same names.
  static void ExpectSameTree(const std::string& expected,
                             const std::string& actual) {
    namespace fs = std::filesystem;
    std::set<std::string> names, actualNames;
    for (const auto& e : fs::recursive_directory_iterator(expected)) {
      names.insert(fs::relative(e.path(), expected).string());
    }
    for (const auto& e : fs::recursive_directory_iterator(actual)) {
      actualNames.insert(fs::relative(e.path(), actual).string());
    }
    EXPECT_EQ(names, actualNames);
    std::map<ino_t, ino_t> inodes;  // expected inode -> actual inode
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      const std::string want = expected + "/" + name, got = actual + "/" + name;
      const struct stat w = Lstat(want), g = Lstat(got);
      ASSERT_EQ(w.st_mode & S_IFMT, g.st_mode & S_IFMT);
      if (S_ISLNK(w.st_mode)) {
        EXPECT_EQ(ReadLink(want), ReadLink(got));
        continue;
      }
      EXPECT_EQ(w.st_mode & 07777, g.st_mode & 07777);
      if (!S_ISREG(w.st_mode)) continue;
      EXPECT_EQ(ReadFile(want), ReadFile(got));
      EXPECT_EQ(w.st_mtime, g.st_mtime);
      const auto at = inodes.emplace(w.st_ino, g.st_ino).first;
      EXPECT_EQ(at->second, g.st_ino) << "not the hard link it was";
    }
    std::set<ino_t> distinct;
    for (const auto& link : inodes) distinct.insert(link.second);
    EXPECT_EQ(inodes.size(), distinct.size()) << "files linked that were not";
  }


  TempDir dir_;
  std::string out_;       // standard output of the last Extract
  std::string err_;       // standard error of the last Extract
  ExtractReport report_;  // report of the last Extract
};

#endif  // STARTER_TESTS_ARCHIVE_ARCHIVE_FIXTURE_H_
