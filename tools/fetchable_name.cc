#include "fetchable_name.h"

#include <utf8.h>

std::string WhyUnfetchable(const std::string& path) {
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '#') return "contains \"#\", which ends a URL's path";
    if (c == '?') return "contains \"?\", which starts a URL's query";
    if (c == '%') return "contains \"%\", which a web server decodes";
    if (byte < 0x20 || byte == 0x7f) return "contains a control character";
  }
  if (!utf8::is_valid(path.begin(), path.end())) {
    return "is not UTF-8, which a web server decodes into another name";
  }
  return std::string();
}
