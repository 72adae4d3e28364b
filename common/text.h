// Text for formats that take only valid UTF-8 (JSON, XML): file names may
// hold any bytes, and are shown with U+FFFD for those that are not text.
#pragma once

#include <cstddef>
#include <string_view>

// The length of the well-formed UTF-8 sequence of a character beyond
// ASCII at p (before end), or 0 when the bytes there are not one.
size_t utf8Sequence(const char* p, const char* end);

// `text` as the character data of an XML 1.0 element or attribute: &, <, >
// and " escaped, and each byte that is not part of valid UTF-8, and each
// control character XML does not allow, as U+FFFD.
std::string xmlText(std::string_view text);
