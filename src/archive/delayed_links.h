// Hard links whose targets come later in the archive than the links.
#ifndef STARTER_ARCHIVE_DELAYED_LINKS_H_
#define STARTER_ARCHIVE_DELAYED_LINKS_H_

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

// One hard link entry that waits for the end of the archive.
struct DelayedLink {
  std::string name;    // the entry's normalised name
  std::string linkto;  // the link target as the archive stores it
  std::string target;  // the same target, normalised like an entry name
};

// The hard links of one archive whose targets did not exist yet when their
// entries were read. They are made after the last entry; until then a later
// entry of the same name replaces a waiting link, as it would replace an
// extracted one. Memory grows with the number of waiting links only.
class DelayedLinks {
 public:
  // Adds `link`; a waiting link of the same name is forgotten.
  void Add(DelayedLink link);
  // Forgets the waiting link called `name`, if there is one.
  void Cancel(const std::string& name);
  // Calls `make` once for every waiting link, in archive order, except that
  // a link whose target is itself a waiting link comes after that one (links
  // that lead to each other in a circle come in some order). Then forgets
  // them all.
  void MakeAll(const std::function<void(const DelayedLink&)>& make);
  // Forgets every waiting link.
  void Clear();
  // True when no link waits.
  bool empty() const { return byName_.empty(); }

 private:
  enum class Progress { kWaiting, kVisiting, kDone };
  struct Entry {
    DelayedLink link;
    Progress progress = Progress::kWaiting;
  };

  // The index of the waiting link called `name`, or links_.size().
  std::size_t Find(const std::string& name) const;

  std::vector<Entry> links_;  // in archive order, forgotten ones kDone
  std::unordered_map<std::string, std::size_t> byName_;  // waiting ones
};

#endif  // STARTER_ARCHIVE_DELAYED_LINKS_H_
