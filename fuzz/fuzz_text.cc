// Fuzzes the UTF-8 / wide text conversions and the repair of invalid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <utf8.h>

#include "engine/text_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string narrow(reinterpret_cast<const char*>(data), size);

  std::string repaired = narrow;
  fix_utf8_string(repaired);
  if (!utf8::is_valid(repaired.begin(), repaired.end())) std::abort();

  std::string upto_nul(narrow.c_str());
  std::wstring wide = string2wide(upto_nul);
  if (utf8::is_valid(upto_nul.begin(), upto_nul.end()) &&
      wide2string(wide) != upto_nul) {
    std::abort();  // valid text must survive a round trip
  }

  // Arbitrary wide elements, including lone and reversed surrogates.
  std::wstring raw;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    raw.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  std::string back = wide2string(raw);
  if (!utf8::is_valid(back.begin(), back.end())) std::abort();

  if (size >= sizeof(float)) {
    float f;
    std::memcpy(&f, data, sizeof f);
    (void)f2wchar(f);
  }
  return 0;
}
