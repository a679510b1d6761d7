#include "catalogue/catalogue.h"

#include <algorithm>
#include <cstring>
#include <deque>
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

bool segment_name_less(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size();
  // string_view compares as unsigned bytes (char_traits<char>::lt).
  return a.compare(b) < 0;
}

namespace {

// A name and what it is ordered by: itself, or a key of its own; head holds
// the key's eight bytes after the prefix that every key shares, as a number
// that orders as they do, so that most pairs are told apart without memcmp.
struct keyed_name {
  std::uint64_t head;
  std::string_view key;
  std::string* name;
};

// How many first bytes all keys share (a series' title, "movie.flv_").
std::size_t shared_prefix(const std::vector<keyed_name>& keyed) {
  std::size_t shared = keyed.empty() ? 0 : keyed[0].key.size();
  for (const keyed_name& k : keyed) {
    const std::string_view first = keyed[0].key.substr(0, std::min(shared, k.key.size()));
    shared = std::mismatch(first.begin(), first.end(), k.key.begin()).first - first.begin();
  }
  return shared;
}

// Zeros past the end: keys are compared by bytes only where their lengths are equal.
std::uint64_t head_of(std::string_view key, std::size_t from) {
  std::uint64_t head = 0;
  for (std::size_t i = from; i < from + 8; ++i)
    head = head << 8 | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  return head;
}

}  // namespace

void sort_names(NameList* names) {
  // The sort moves small handles and compares bytes where they lie: only a
  // name that is not its own key (none on POSIX) gets one, kept where it
  // stays put.
  std::deque<std::string> own_keys;
  std::vector<keyed_name> keyed;
  keyed.reserve(names->size());
  std::string key;
  for (std::string& name : *names) {
    const bool other = platform::order_key(name, &key);
    if (other) own_keys.push_back(std::move(key));
    keyed.push_back({0, other ? std::string_view(own_keys.back()) : std::string_view(name), &name});
  }
  const std::size_t shared = shared_prefix(keyed);
  for (keyed_name& k : keyed) k.head = head_of(k.key, shared);
  std::sort(keyed.begin(), keyed.end(), [](const keyed_name& a, const keyed_name& b) {
    // segment_name_less, the bytes compared once and only past the heads' tie.
    if (a.key.size() != b.key.size()) return a.key.size() < b.key.size();
    if (a.head != b.head) return a.head < b.head;
    const int order = a.key.compare(b.key);
    // One key for two names (code page bytes that are another name's UTF-8):
    // the names decide, so that the order never depends on the listing's.
    return order < 0 || (order == 0 && *a.name < *b.name);
  });
  NameList sorted;
  sorted.reserve(names->size());
  for (const keyed_name& k : keyed) sorted.push_back(std::move(*k.name));
  names->swap(sorted);
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
  std::string_view before, counter, after;
};

bool cut_at_counter(std::string_view name, counted_name* cut) {
  const std::size_t dot = find_last_char(name, '.');
  const std::size_t underscore = find_last_char(name, '_');
  if (dot == std::string_view::npos || underscore == std::string_view::npos ||
      underscore + 1 >= dot)
    return false;
  const std::string_view counter = name.substr(underscore + 1, dot - underscore - 1);
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!std::all_of(counter.begin(), counter.end(), digit)) return false;
  *cut = {name.substr(0, underscore + 1), counter, name.substr(dot)};
  return true;
}

// Counters as decimal strings without leading zeros, of any length.
std::string_view value_of(std::string_view counter) {
  const std::size_t first = counter.find_first_not_of('0');
  return counter.substr(first == std::string_view::npos ? counter.size() - 1 : first);
}

bool value_less(std::string_view a, std::string_view b) { return segment_name_less(a, b); }

void add_one(std::string* value) {
  std::size_t i = value->size();
  while (i > 0 && (*value)[i - 1] == '9') (*value)[--i] = '0';
  if (i == 0)
    value->insert(0, 1, '1');
  else
    ++(*value)[i - 1];
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
  return std::string(value_of(a));
}

void note(noted_names* noted, std::string_view name) {
  if (noted->names.size() < listed_of_a_kind) noted->names.emplace_back(name);
}

// How many names of a kind there are beyond those listed.
void count_more(noted_names* noted, const std::string& total) {
  const std::string listed = std::to_string(listed_of_a_kind);
  if (value_less(listed, total)) noted->more = minus(total, listed);
}

// A counter of the series, and the place in the join of the piece that has it.
struct placed_value {
  std::string_view value;
  std::size_t place;
};

bool rising(const std::vector<placed_value>& counters) {
  const auto not_above = [](const placed_value& a, const placed_value& b) {
    return !value_less(a.value, b.value);
  };
  return std::adjacent_find(counters.begin(), counters.end(), not_above) == counters.end();
}

// values: the counters that names carry, rising, each once. The gaps are
// walked no further than the first missing listed; the rest are counted: of
// the counters from the first to the largest, those that no name has.
void note_missing(const counted_name& series, const std::vector<placed_value>& values,
                  noted_names* missing) {
  // The series' padding is its second name's: "007" pads to three digits.
  const bool padded = series.counter.size() > 1 && series.counter[0] == '0';
  const std::size_t width = padded ? series.counter.size() : 0;
  const bool from_zero = values.front().value == "0";
  std::string expected = from_zero ? "0" : "1";
  std::string name;
  for (std::size_t i = 0; i < values.size() && missing->names.size() < listed_of_a_kind; ++i) {
    for (; value_less(expected, values[i].value) && missing->names.size() < listed_of_a_kind;
         add_one(&expected)) {
      const std::size_t pad = width > expected.size() ? width - expected.size() : 0;
      name.assign(series.before).append(pad, '0').append(expected).append(series.after);
      note(missing, name);
    }
    expected.assign(values[i].value);
    add_one(&expected);
  }
  std::string span(values.back().value);
  if (from_zero) add_one(&span);
  count_more(missing, minus(span, std::to_string(values.size())));
}

}  // namespace

series_notices check_series(const std::vector<joined_piece>& pieces) {
  series_notices notices;
  counted_name series;
  if (pieces.size() < 2 || !cut_at_counter(pieces[1].name, &series)) return notices;
  std::vector<placed_value> counters;  // the series', in join order
  counters.reserve(pieces.size());
  std::size_t extra = 0, empty = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    counted_name cut;
    if (!cut_at_counter(pieces[i].name, &cut) || cut.before != series.before ||
        cut.after != series.after) {
      note(&notices.extra, pieces[i].name);
      ++extra;
      continue;
    }
    if (pieces[i].bytes == 0) {
      note(&notices.empty, pieces[i].name);
      ++empty;
    }
    counters.push_back({value_of(cut.counter), i});
  }
  // Otherwise one value comes in several widths, or the list is not sorted:
  // the pieces of one value then stay in join order.
  const auto by_value = [](const placed_value& a, const placed_value& b) {
    return value_less(a.value, b.value);
  };
  if (!rising(counters)) std::stable_sort(counters.begin(), counters.end(), by_value);
  // Each piece of a value but its first in the join is a duplicate.
  const auto same_value = [](const placed_value& a, const placed_value& b) {
    return a.value == b.value;
  };
  std::vector<std::size_t> doubled;
  for (std::size_t i = 1; i < counters.size(); ++i)
    if (same_value(counters[i - 1], counters[i])) doubled.push_back(counters[i].place);
  std::sort(doubled.begin(), doubled.end());
  for (std::size_t place : doubled) note(&notices.duplicate, pieces[place].name);
  counters.erase(std::unique(counters.begin(), counters.end(), same_value), counters.end());
  note_missing(series, counters, &notices.missing);
  count_more(&notices.extra, std::to_string(extra));
  count_more(&notices.empty, std::to_string(empty));
  count_more(&notices.duplicate, std::to_string(doubled.size()));
  return notices;
}
