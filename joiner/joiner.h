// Appends the segments' bytes, in list order, to the end of the output.
#pragma once

#include <string>

#include "common/common.h"

// Names each segment's path on the output stream as it goes. False, with the
// failure on the error stream, unless every segment was appended whole; what
// was appended before a failure stays.
bool join_files(const std::string& output_path, const std::string& folder, const NameList& names);
