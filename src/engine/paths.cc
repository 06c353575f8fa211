#include "engine/paths.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1);  // npos + 1 is 0
}

std::string NameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);  // npos + 1 is 0
}

std::string FollowLinks(std::string path) {
  constexpr int kMaxLinkHops = 40;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::error_code error;
    const std::string next = std::filesystem::read_symlink(path, error);
    if (error || next.empty()) break;
    path = next.front() == '/' ? next : DirectoryOf(path) + next;
  }
  return path;
}

void MakeParentDirectories(const std::string& path,
                           const ParentDirectories& rule) {
  for (std::size_t i = path.find_first_of(rule.separators, rule.first);
       i != std::string::npos; i = path.find_first_of(rule.separators, i + 1)) {
    ::mkdir(path.substr(0, i).c_str(), rule.mode);
  }
}

std::string CanonicalPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool PathIsWithin(const std::string& candidate, const std::string& root) {
  if (root == "/") return true;
  return candidate.starts_with(root) &&
         (candidate.size() == root.size() || candidate[root.size()] == '/');
}
