#include "common/common.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>

std::size_t find_last_char(std::string_view s, char c) {
  // ASCII alone, as most names are, pairs no bytes.
  const auto ascii = [](char b) { return static_cast<unsigned char>(b) < 0x80; };
  if (std::all_of(s.begin(), s.end(), ascii)) return s.rfind(c);
  std::size_t found = std::string::npos;
  std::mbstate_t state{};
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t n = std::mbrlen(&s[i], s.size() - i, &state);
    if (n == 0 || n > s.size() - i) {
      // Not a character here (a NUL, an invalid or unfinished sequence).
      // Under a double-byte code page a lead byte still takes the next byte
      // with it, as Windows does for pairs that map to no character here;
      // no such code page uses a byte below 0x40 ("/", ".") as a second byte.
      state = std::mbstate_t{};
      std::mbstate_t probe{};
      const bool lead = MB_CUR_MAX == 2 && std::mbrlen(&s[i], 1, &probe) == std::size_t(-2);
      n = lead && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x40 ? 2 : 1;
    }
    if (n == 1 && s[i] == c) found = i;
    i += n;
  }
  return found;
}

std::string without_controls(const std::string& text, bool utf8) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    const bool c1 = utf8 && c == 0xC2 && next >= 0x80 && next <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      shown += '?';
      if (c1) ++i;
    } else {
      shown += text[i];
    }
  }
  return shown;
}
