#include "support/published_release.h"

#include "engine/md5.h"
#include "support/temp_dir.h"

std::string ChecksumListOf(const std::map<std::string, std::string>& files,
                           long key) {
  std::string list = "version_file " + std::to_string(key) + "\n";
  for (const auto& [path, content] : files) {
    list += "./" + path + " " + Md5Hex(content.data(), content.size()) + "\n";
  }
  return list;
}

void PublishReleaseFiles(const std::string& release_dir,
                         const std::map<std::string, std::string>& files,
                         long key) {
  for (const auto& [path, content] : files) {
    WriteFile(release_dir + "/" + path, content);
  }
  WriteFile(release_dir + "/App/version.txt", ChecksumListOf(files, key));
}
