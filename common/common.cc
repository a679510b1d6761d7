#include "common/common.h"

#include <cwchar>

#include "platform/platform.h"

std::string join_path(const std::string& folder, const std::string& name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path += folder;
  path += platform::separator;
  path += name;
  return path;
}

std::ostream& line_end(std::ostream& stream) { return stream << '\n' << std::flush; }

std::size_t find_last_char(const std::string& s, char c) {
  std::size_t found = std::string::npos;
  std::mbstate_t state{};
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t n = std::mbrlen(&s[i], s.size() - i, &state);
    if (n == 0 || n > s.size() - i) {
      // A NUL, an invalid or an unfinished sequence: take the byte alone.
      state = std::mbstate_t{};
      n = 1;
    }
    if (n == 1 && s[i] == c) found = i;
    i += n;
  }
  return found;
}
