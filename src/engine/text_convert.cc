#include "engine/text_convert.h"

#include <utf8.h>

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr std::uint32_t kReplacement = '?';

// Narrow ASCII text as wide text, one element per byte.
irr::core::stringw WidenAscii(const char* text, std::size_t length) {
  return irr::core::stringw(text, text + length);
}

// Decodes UTF-8 bytes (repairing invalid sequences with "?") into wide text
// of UTF-16 code units.
irr::core::stringw Utf8ToWide(const char* begin, const char* end) {
  std::string repaired;
  if (!utf8::is_valid(begin, end)) {
    utf8::replace_invalid(begin, end, std::back_inserter(repaired),
                          kReplacement);
    begin = repaired.data();
    end = begin + repaired.size();
  }
  irr::core::stringw wide;
  wide.reserve(static_cast<std::size_t>(end - begin));
  while (begin != end) {
    std::uint32_t cp = utf8::unchecked::next(begin);
    if (cp > 0xFFFF) {
      wide.push_back(static_cast<wchar_t>(((cp >> 10) + 0xD7C0) & 0xFFFF));
      wide.push_back(static_cast<wchar_t>((cp & 0x3FF) + 0xDC00));
    } else {
      wide.push_back(static_cast<wchar_t>(cp));
    }
  }
  return wide;
}

bool IsHighSurrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

irr::core::stringw f2wchar(float f) {
  const double value = f;
  char small[64];
  int length = std::snprintf(small, sizeof small, "%2.1f", value);
  if (length < 0) return irr::core::stringw();
  if (static_cast<std::size_t>(length) < sizeof small) {
    return WidenAscii(small, static_cast<std::size_t>(length));
  }
  std::string large(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(large.data(), large.size(), "%2.1f", value);
  return WidenAscii(large.data(), static_cast<std::size_t>(length));
}

irr::core::stringw i2wchar(int i) {
  char text[16];
  int length = std::snprintf(text, sizeof text, "%d", i);
  return WidenAscii(text, static_cast<std::size_t>(length > 0 ? length : 0));
}

irr::core::stringw string2wide(const char* str) {
  if (str == nullptr) return irr::core::stringw();
  return Utf8ToWide(str, str + std::strlen(str));
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
    const std::uint32_t unit = static_cast<std::uint32_t>(str[i]) & 0xFFFF;
    if (unit == 0) break;
    if (IsHighSurrogate(unit) && i + 1 < str.size()) {
      const std::uint32_t next =
          static_cast<std::uint32_t>(str[i + 1]) & 0xFFFF;
      if (IsLowSurrogate(next)) {
        const std::uint32_t cp =
            0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
        utf8::append(static_cast<char32_t>(cp), out);
        ++i;
        continue;
      }
    }
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      narrow.push_back('?');
    } else {
      utf8::append(static_cast<char32_t>(unit), out);
    }
  }
  return narrow;
}

irr::core::stringc wide2irrstring(const irr::core::stringw& str) {
  return wide2string(str);
}
