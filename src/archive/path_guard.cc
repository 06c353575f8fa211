// Lexical and file-system checks on the paths an archive names.
#include "archive/path_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/paths.h"

bool hasDotDotComponent(const char* name) {
  return !ForEachComponent(
      name, 0, [](std::string_view part, auto) { return part != ".."; });
}

bool symlinkTargetStaysInside(const char* linkName, const char* target) {
  if (target[0] == '\0' || target[0] == '/') return false;
  // Depth of the link's own directory below the extraction directory.
  long depth = 0;
  ForEachComponent(DirectoryOf(linkName), 0, [&](std::string_view part, auto) {
    if (!part.empty() && part != ".") ++depth;
    return true;
  });
  bool sawName = false;
  return ForEachComponent(target, 0, [&](std::string_view part, auto) {
    if (part.empty() || part == ".") return true;
    if (part == "..") {
      if (sawName) return false;
      return --depth >= 0;
    }
    sawName = true;
    return true;
  });
}

bool hardlinkTargetStaysInside(const char* target) {
  return target[0] != '\0' && target[0] != '/' && !hasDotDotComponent(target);
}

bool parentsAreReal(const char* path, std::size_t rootLength) {
  std::string prefix;
  for (std::size_t i = rootLength; path[i] != '\0'; ++i) {
    if (path[i] != '/' || i == 0) continue;
    prefix.assign(path, i);
    struct stat st;
    if (lstat(prefix.c_str(), &st) != 0) return true;  // created later by us
    if (S_ISLNK(st.st_mode)) return false;
  }
  return true;
}

void printRefusal(const char* name, const char* reason) {
  fprintf(stderr, "%s: refused: %s\n", name, reason);
}

bool buildOutputPath(const std::string& prefix, const char* name, char* out,
                     std::size_t size) {
  const std::size_t length = std::strlen(name);
  if (prefix.size() + length >= size) {
    printRefusal(name, "path too long");
    return false;
  }
  std::memcpy(out, prefix.data(), prefix.size());
  std::memcpy(out + prefix.size(), name, length + 1);
  if (!parentsAreReal(out, prefix.size())) {
    printRefusal(out, "path passes through a symbolic link");
    return false;
  }
  return true;
}

bool mayReplace(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) {
    return true;
  }
  if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0) return true;
  perror(path);
  return false;
}
