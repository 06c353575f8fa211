// Small text tests for assertions on logs and console output.
#ifndef STARTER_TESTS_SUPPORT_TEXT_MATCH_H_
#define STARTER_TESTS_SUPPORT_TEXT_MATCH_H_

#include <string>

// True when `part` occurs in `text`.
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// True when `text` ends with `end`.
inline bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Number of non-overlapping occurrences of `part` in `text`.
inline int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++n;
  }
  return n;
}

#endif  // STARTER_TESTS_SUPPORT_TEXT_MATCH_H_
