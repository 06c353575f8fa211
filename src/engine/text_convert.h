// Conversions between narrow UTF-8 text and wide text (one UTF-16 code unit
// per 32-bit wchar_t element), number formatting and UTF-8 repair.
#ifndef STARTER_ENGINE_TEXT_CONVERT_H_
#define STARTER_ENGINE_TEXT_CONVERT_H_

#include <string>

#include "engine_starter/irrlicht_types.h"

// `f` formatted as "%2.1f": one digit after the point, to the nearest tenth.
// Values of any magnitude give their full text.
irr::core::stringw f2wchar(float f);
// `i` formatted as "%d".
irr::core::stringw i2wchar(int i);
// UTF-8 text (up to its first NUL) as wide text; invalid sequences become "?"
// and characters above U+FFFF become surrogate pairs.
irr::core::stringw string2wide(const char* str);
irr::core::stringw string2wide(const std::string& str);
// Replaces every invalid UTF-8 sequence of `str` with "?".
void fix_utf8_string(std::string& str);
// Wide text as UTF-8, up to its first 0 element. Each element is taken modulo
// 2^16; a lone or reversed surrogate becomes "?".
std::string wide2string(const irr::core::stringw& str);
// wide2string as the engine's narrow string type.
irr::core::stringc wide2irrstring(const irr::core::stringw& str);

#endif  // STARTER_ENGINE_TEXT_CONVERT_H_
