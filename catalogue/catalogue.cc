#include "catalogue/catalogue.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/platform.h"

bool list_files(const std::string& folder, const std::string& tool_folder, NameList* names,
                platform::failure* why, std::string* unreadable) {
  platform::file_id tool;
  platform::failure unknown;  // a folder not told apart is listed, and fails as a piece
  const bool tool_known = platform::identify_folder(tool_folder, &tool, &unknown);
  const auto visit = [&](const char* name, unsigned attrib, platform::file_id id) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return;
    // Equality, not a bit test: a directory with any other flag is listed.
    if (attrib == platform::attrib_subdir) return;
    // What Windows hides from everyone, even where hidden files are shown
    // (desktop.ini, Thumbs.db, System Volume Information): no user put it here.
    const unsigned protected_entry = platform::attrib_hidden | platform::attrib_system;
    if ((attrib & protected_entry) == protected_entry) return;
    // Except the tool's own folder, which a copy or a sync may leave read-only
    // or hidden: taken for a piece, it would fail every run. Told by identity,
    // not by name, since the folder search and the tool's path may spell it
    // differently (case, links). The listing may have told it already.
    const bool subdir = tool_known && (attrib & platform::attrib_subdir);
    if (subdir && !id.known())
      platform::identify_folder(platform::join_path(folder, name), &id, &unknown);
    if (subdir && id == tool) return;
    names->emplace_back(name);
  };
  return platform::list_folder(folder, visit, why, unreadable);
}

bool segment_name_less(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  // std::string compares as unsigned bytes (char_traits<char>::lt).
  return a.compare(b) < 0;
}

void sort_names(NameList* names) {
  std::vector<std::pair<std::string, std::string>> keyed;  // key, name
  keyed.reserve(names->size());
  for (std::string& name : *names) keyed.emplace_back(platform::order_key(name), std::move(name));
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    if (segment_name_less(a.first, b.first)) return true;
    // One key for two names (code page bytes that are another name's UTF-8):
    // the names decide, so that the order never depends on the listing's.
    return !segment_name_less(b.first, a.first) && a.second < b.second;
  });
  for (std::size_t i = 0; i < keyed.size(); ++i) (*names)[i] = std::move(keyed[i].second);
}

std::string derive_output_name(const NameList& names) {
  std::string w = names[1];
  std::string title, kind;
  const std::size_t suffix_dot = find_last_char(w, '.');
  if (suffix_dot != std::string::npos) {
    w.resize(suffix_dot);
    const std::size_t q = find_last_char(w, '.');
    const std::size_t kind_start = q == std::string::npos ? 0 : q + 1;
    if (q != std::string::npos) title = w.substr(0, q);
    const std::size_t r = find_last_char(w, '_');
    if (r != std::string::npos) {
      // An underscore before the dot leaves the kind running to the end.
      kind = r >= kind_start ? w.substr(kind_start, r - kind_start) : w.substr(kind_start);
    }
  }
  return title + "." + kind;
}
