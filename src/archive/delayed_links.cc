// The waiting hard links of one archive and the order they are made in.
#include "archive/delayed_links.h"

#include <utility>

void DelayedLinks::Add(DelayedLink link) {
  Cancel(link.name);
  byName_[link.name] = links_.size();
  links_.push_back({std::move(link)});
}

void DelayedLinks::Cancel(const std::string& name) {
  if (byName_.empty()) return;
  const auto it = byName_.find(name);
  if (it == byName_.end()) return;
  links_[it->second].progress = Progress::kDone;
  byName_.erase(it);
}

std::size_t DelayedLinks::Find(const std::string& name) const {
  const auto it = byName_.find(name);
  return it == byName_.end() ? links_.size() : it->second;
}

void DelayedLinks::MakeAll(
    const std::function<void(const DelayedLink&)>& make) {
  // Depth first over "leads to" without recursion, so that a long chain of
  // links cannot exhaust the stack.
  std::vector<std::size_t> pending;
  for (std::size_t first = 0; first < links_.size(); ++first) {
    pending.push_back(first);
    while (!pending.empty()) {
      Entry& entry = links_[pending.back()];
      if (entry.progress == Progress::kWaiting) {
        entry.progress = Progress::kVisiting;
        const std::size_t next = Find(entry.link.target);
        if (next < links_.size() &&
            links_[next].progress == Progress::kWaiting) {
          pending.push_back(next);
          continue;
        }
      }
      pending.pop_back();
      if (entry.progress == Progress::kVisiting) {
        entry.progress = Progress::kDone;
        make(entry.link);
      }
    }
  }
  Clear();
}

void DelayedLinks::Clear() {
  links_.clear();
  byName_.clear();
}
