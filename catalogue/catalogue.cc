#include "catalogue/catalogue.h"

#include <algorithm>
#include <cstring>
#include <set>
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

namespace {

// A name cut around its counter, the digits between its last "_" and last ".".
struct counted_name {
  std::string before, counter, after;
};

bool cut_at_counter(const std::string& name, counted_name* cut) {
  const std::size_t dot = find_last_char(name, '.');
  const std::size_t underscore = find_last_char(name, '_');
  if (dot == std::string::npos || underscore == std::string::npos || underscore + 1 >= dot)
    return false;
  const std::string counter = name.substr(underscore + 1, dot - underscore - 1);
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!std::all_of(counter.begin(), counter.end(), digit)) return false;
  *cut = {name.substr(0, underscore + 1), counter, name.substr(dot)};
  return true;
}

// Counters as decimal strings without leading zeros, of any length.
std::string value_of(const std::string& counter) {
  const std::size_t first = counter.find_first_not_of('0');
  return first == std::string::npos ? "0" : counter.substr(first);
}

bool value_less(const std::string& a, const std::string& b) { return segment_name_less(a, b); }

std::string plus_one(std::string value) {
  std::size_t i = value.size();
  while (i > 0 && value[i - 1] == '9') value[--i] = '0';
  if (i == 0) return "1" + value;
  ++value[i - 1];
  return value;
}

// a - b, where b is not above a.
std::string minus(std::string a, const std::string& b) {
  int borrow = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::size_t at = a.size() - 1 - i;
    int digit = a[at] - '0' - borrow - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
    borrow = digit < 0;
    a[at] = static_cast<char>('0' + digit + 10 * borrow);
  }
  return value_of(a);
}

void note(noted_names* noted, const std::string& name) {
  if (noted->names.size() < 10) noted->names.push_back(name);
}

// How many names of a kind there are beyond the ten listed.
void count_more(noted_names* noted, const std::string& total) {
  if (value_less("10", total)) noted->more = minus(total, "10");
}

}  // namespace

series_notices check_series(const NameList& names, const std::vector<std::uint64_t>& sizes) {
  series_notices notices;
  counted_name series;
  if (names.size() < 2 || !cut_at_counter(names[1], &series)) return notices;
  std::set<std::string, decltype(&value_less)> values(&value_less);
  std::size_t extra = 0, empty = 0, duplicate = 0;
  // The series' padding is its second name's: "007" pads to three digits.
  const bool padded = series.counter.size() > 1 && series.counter[0] == '0';
  const std::size_t width = padded ? series.counter.size() : 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    counted_name cut;
    if (!cut_at_counter(names[i], &cut) || cut.before != series.before ||
        cut.after != series.after) {
      note(&notices.extra, names[i]);
      ++extra;
      continue;
    }
    if (i < sizes.size() && sizes[i] == 0) {
      note(&notices.empty, names[i]);
      ++empty;
    }
    if (!values.insert(value_of(cut.counter)).second) {
      note(&notices.duplicate, names[i]);
      ++duplicate;
    }
  }
  // The gaps, walked no further than the first ten missing.
  const bool from_zero = *values.begin() == "0";
  std::string expected = from_zero ? "0" : "1";
  for (const std::string& value : values) {
    for (; value_less(expected, value) && notices.missing.names.size() < 10;
         expected = plus_one(expected)) {
      const std::size_t pad = width > expected.size() ? width - expected.size() : 0;
      note(&notices.missing, series.before + std::string(pad, '0') + expected + series.after);
    }
    expected = plus_one(value);
  }
  // Of the counters from the first to the largest, those that no name has.
  const std::string& largest = *values.rbegin();
  const std::string span = from_zero ? plus_one(largest) : largest;
  count_more(&notices.missing, minus(span, std::to_string(values.size())));
  count_more(&notices.extra, std::to_string(extra));
  count_more(&notices.empty, std::to_string(empty));
  count_more(&notices.duplicate, std::to_string(duplicate));
  return notices;
}
