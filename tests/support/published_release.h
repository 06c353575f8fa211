// Releases published by hand for the update tests.
#ifndef STARTER_TESTS_SUPPORT_PUBLISHED_RELEASE_H_
#define STARTER_TESTS_SUPPORT_PUBLISHED_RELEASE_H_

#include <map>
#include <string>

// The checksum list of `files` (path below the game directory, without
// "./", to content) under `key`: the header, then one entry a file in path
// order, as the publishing tool writes it.
std::string ChecksumListOf(const std::map<std::string, std::string>& files,
                           long key);

// Writes `files` below `release_dir` and their list (ChecksumListOf) as
// release_dir + "/App/version.txt", replacing an earlier list.
void PublishReleaseFiles(const std::string& release_dir,
                         const std::map<std::string, std::string>& files,
                         long key);

#endif  // STARTER_TESTS_SUPPORT_PUBLISHED_RELEASE_H_
