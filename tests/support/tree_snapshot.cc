#include "support/tree_snapshot.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "support/temp_dir.h"

namespace {

std::string Describe(const std::string& path, const struct stat& info) {
  char head[128];
  std::snprintf(head, sizeof head, "mode %o mtime %lld.%09ld ",
                static_cast<unsigned>(info.st_mode),
                static_cast<long long>(info.st_mtim.tv_sec),
                static_cast<long>(info.st_mtim.tv_nsec));
  std::string text = head;
  if (S_ISREG(info.st_mode)) return text + "content " + ReadFile(path);
  if (S_ISLNK(info.st_mode)) {
    std::string target(4096, '\0');
    ssize_t n = readlink(path.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text + "link " + target;
  }
  return text;
}

void Walk(const std::string& root, const std::string& relative,
          std::map<std::string, std::string>& out) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  out[relative] = Describe(path, info);
  if (!S_ISDIR(info.st_mode)) return;
  struct CloseDir {
    void operator()(DIR* d) const { closedir(d); }
  };
  std::unique_ptr<DIR, CloseDir> dir(opendir(path.c_str()));
  if (!dir) return;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    Walk(root, relative.empty() ? name : relative + "/" + name, out);
  }
}

}  // namespace

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> out;
  Walk(root, "", out);
  return out;
}
