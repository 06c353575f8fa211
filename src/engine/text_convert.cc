#include "engine/text_convert.h"

#include <utf8.h>

#include <cstdio>
#include <iterator>

namespace {

constexpr std::uint32_t kReplacement = '?';

bool IsHighSurrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

irr::core::stringw f2wchar(float f) {
  // Room for any float: at most 39 integer digits, a sign and ".d".
  char text[64];
  const int length =
      std::snprintf(text, sizeof text, "%2.1f", static_cast<double>(f));
  return irr::core::stringw(text, text + (length > 0 ? length : 0));
}

irr::core::stringw i2wchar(int i) { return std::to_wstring(i); }

irr::core::stringw string2wide(const char* str) {
  if (str == nullptr) return irr::core::stringw();
  std::string text = str;
  fix_utf8_string(text);
  irr::core::stringw wide;
  utf8::unchecked::utf8to16(text.begin(), text.end(), std::back_inserter(wide));
  return wide;
}

irr::core::stringw string2wide(const std::string& str) {
  return string2wide(str.c_str());
}

void fix_utf8_string(std::string& str) {
  std::string repaired;
  repaired.reserve(str.size());
  utf8::replace_invalid(str.begin(), str.end(), std::back_inserter(repaired),
                        kReplacement);
  str = std::move(repaired);
}

std::string wide2string(const irr::core::stringw& str) {
  std::string narrow;
  narrow.reserve(str.size());
  auto out = std::back_inserter(narrow);
  for (std::size_t i = 0; i < str.size(); ++i) {
    std::uint32_t cp = static_cast<std::uint32_t>(str[i]) & 0xFFFF;
    if (cp == 0) break;
    const std::uint32_t next = i + 1 < str.size() ? str[i + 1] & 0xFFFF : 0;
    if (IsHighSurrogate(cp) && IsLowSurrogate(next)) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
      cp = kReplacement;
    }
    utf8::append(static_cast<char32_t>(cp), out);
  }
  return narrow;
}

irr::core::stringc wide2irrstring(const irr::core::stringw& str) {
  return wide2string(str);
}
