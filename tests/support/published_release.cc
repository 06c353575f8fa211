#include "support/published_release.h"

#include "engine/md5.h"
#include "engine/sha256.h"
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

std::string ReleaseTableOf(const std::map<std::string, std::string>& files,
                           const std::set<std::string>& executables) {
  std::string table = "release_files 1\n";
  for (const auto& [path, content] : files) {
    table += "./" + path + " " + std::to_string(content.size()) + " " +
             Sha256Hex(content) + (executables.contains(path) ? " x\n" : " -\n");
  }
  return table;
}

std::string StatementBodyOf(const StatementTerms& terms,
                            const std::string& list, const std::string& table) {
  return "release_statement 1\nserial " + std::to_string(terms.serial) +
         "\nname " + terms.name + "\nissued " + std::to_string(terms.issued) +
         "\nexpires " +
         (terms.expires ? std::to_string(*terms.expires) : "never") +
         "\nlist " + std::to_string(list.size()) + " " + Sha256Hex(list) +
         "\nfiles " + std::to_string(table.size()) + " " + Sha256Hex(table) +
         "\n";
}
