// Which files take part in a join, in which order, and what the result is called.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/common.h"
#include "platform/platform.h"

// Adds every entry of folder except "." and ".." and plain directories to
// names, in the order the platform yields them, and never tool_folder, the
// folder that holds this tool, whatever its flags, nor what Windows marks
// hidden and system. False, with the reason, when the search cannot start or
// fails before its end: names then lacks some, and *unreadable names the entry
// whose kind could not be told, where one cut it short.
bool list_files(const std::string& folder, const std::string& tool_folder, NameList* names,
                platform::failure* why, std::string* unreadable);

// Shorter names first, then byte order, so unpadded counters sort by value.
bool segment_name_less(std::string_view a, std::string_view b);

// Sorts names by segment_name_less over each name's platform::order_key,
// computed once a name.
void sort_names(NameList* names);

// title.kind out of the second name of the sorted list, title.kind_N.suffix.
// names must hold at least two names.
std::string derive_output_name(const NameList& names);

// How many names of one kind a notice lists; the rest it counts.
constexpr std::size_t listed_of_a_kind = 10;

// Names of one kind that a notice lists: the first listed_of_a_kind, and how
// many more there are, in decimal ("" for none), since a gap between two long
// counters may outnumber any integer.
struct noted_names {
  NameList names;
  std::string more;
};

// What the names of a join say of its pieces, given in join order. The series
// is the second name's: the names title.kind_N.suffix with its bytes before
// the counter N and after it. Missing: counters that no name carries, from 1
// (or 0) up to the largest, named with the series' padding; extra: names not
// of the series; empty: pieces of the series from which the join moved no
// byte; duplicate: pieces whose counter an earlier one had. All empty where
// the second name has no counter. Linear in the names where the counters
// rise, as they do in a sorted list unless one value comes in several widths
// (_1, _01).
struct series_notices {
  noted_names missing, extra, empty, duplicate;
};
series_notices check_series(const std::vector<joined_piece>& pieces);
