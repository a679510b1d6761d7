// Which files take part in a join, in which order, and what the result is called.
#pragma once

#include <string>

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
