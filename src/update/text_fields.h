// The fields of the space-separated lines of the update's own text files
// (the release file table, the staging record).
#ifndef STARTER_UPDATE_TEXT_FIELDS_H_
#define STARTER_UPDATE_TEXT_FIELDS_H_

#include <string_view>

// The next field of `line` up to a space (or its end), removed from it with
// that space.
inline std::string_view TakeField(std::string_view& line) {
  const std::size_t space = line.find(' ');
  const std::string_view field = line.substr(0, space);
  line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
  return field;
}

#endif  // STARTER_UPDATE_TEXT_FIELDS_H_
