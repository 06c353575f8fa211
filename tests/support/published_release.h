// Releases published by hand for the update tests.
#ifndef STARTER_TESTS_SUPPORT_PUBLISHED_RELEASE_H_
#define STARTER_TESTS_SUPPORT_PUBLISHED_RELEASE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
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

// The file table of `files` as the publishing tool writes it: the header,
// then "./PATH SIZE SHA256 MODE" a file in path order, MODE "x" for the
// paths in `executables`.
std::string ReleaseTableOf(const std::map<std::string, std::string>& files,
                           const std::set<std::string>& executables = {});

// The terms of a release statement made by hand.
struct StatementTerms {
  long long serial = 1;
  std::string name = "1";
  long long issued = 1700000000;
  std::optional<long long> expires;
};

// The lines of a release statement but its signature: `terms`, and the
// sizes and SHA-256 of `list` and `table`.
std::string StatementBodyOf(const StatementTerms& terms,
                            const std::string& list, const std::string& table);

#endif  // STARTER_TESTS_SUPPORT_PUBLISHED_RELEASE_H_
