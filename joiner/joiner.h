// Appends the segments' bytes, in list order, into a new output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/common.h"
#include "platform/platform.h"

enum class join_result { joined, exists, failed };

// How a join ended, and the interruption that came meanwhile, 0 for none: by
// then the console's title is back and no unfinished output is left, and the
// run is the caller's to end by it (platform::end_by).
struct join_outcome {
  join_result result;
  int interruption;
};

// Names each segment's path on the output stream as it goes. The output
// appears at folder + separator + out_name only once it is whole and on
// stable storage: exists when something took that name meanwhile; failed,
// with the failure on the error stream, when nothing was published. An
// interruption stops the join at once, unless it is publishing, which goes on
// to its end. A named temporary file, where one is needed, lives in
// tool_folder. names is not empty. *joined gets each piece joined, in order,
// with the bytes moved from it; its names refer to names.
join_outcome join_files(const platform::console& console, const std::string& folder,
                        const std::string& out_name, const NameList& names,
                        const std::string& tool_folder, std::vector<joined_piece>* joined);
