// Which files take part in a join, in which order, and what the result is called.
#pragma once

#include <cstdint>
#include <string>
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
bool segment_name_less(const std::string& a, const std::string& b);

// Sorts names by segment_name_less over each name's platform::order_key,
// computed once a name.
void sort_names(NameList* names);

// title.kind out of the second name of the sorted list, title.kind_N.suffix.
// names must hold at least two names.
std::string derive_output_name(const NameList& names);

// Names of one kind that a notice lists: the first ten, and how many more
// there are, in decimal ("" for none), since a gap between two long counters
// may outnumber any integer.
struct noted_names {
  NameList names;
  std::string more;
};

// What the names of a join say of its pieces. The series is the second name's:
// the names title.kind_N.suffix with its bytes before the counter N and after
// it. Missing: counters that no name carries, from 1 (or 0) up to the
// largest, named with the series' padding; extra: names not of the series;
// empty: pieces of the series that held no byte (sizes, one a name); duplicate:
// pieces whose counter an earlier one had. All empty where the second name
// has no counter.
struct series_notices {
  noted_names missing, extra, empty, duplicate;
};
series_notices check_series(const NameList& names, const std::vector<std::uint64_t>& sizes);
