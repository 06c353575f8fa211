// What a directory tree holds, for tests that prove a program left it alone.
#ifndef STARTER_TESTS_SUPPORT_TREE_SNAPSHOT_H_
#define STARTER_TESTS_SUPPORT_TREE_SNAPSHOT_H_

#include <map>
#include <string>

// Every entry below `root` (relative path, the root itself as ""), without
// following links, to a description of it: its type, permission bits and
// modification time (nanoseconds), and the content of a regular file or the
// target of a link. Nothing is opened but regular files (a FIFO is never
// waited on), and nothing is changed.
std::map<std::string, std::string> SnapshotTree(const std::string& root);

#endif  // STARTER_TESTS_SUPPORT_TREE_SNAPSHOT_H_
