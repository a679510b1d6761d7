// Which files take part in a join, in which order, and what the result is called.
#pragma once

#include <string>

#include "common/common.h"

// Every entry of folder except "." and ".." and plain directories, in the
// order the platform yields them, and never tool_folder, the folder that
// holds this tool, whatever its flags. When the search cannot start, says
// "find no file!" on the error stream and returns nothing.
NameList list_files(const std::string& folder, const std::string& tool_folder);

// Shorter names first, then byte order, so unpadded counters sort by value.
bool segment_name_less(const std::string& a, const std::string& b);

// Sorts names by segment_name_less over each name's platform::order_key,
// computed once a name.
void sort_names(NameList* names);

// title.kind out of the second name of the sorted list, title.kind_N.suffix.
// names must hold at least two names.
std::string derive_output_name(const NameList& names);
