// Types and helpers shared by the catalogue, the joiner and the driver.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Bare file names (no folder part), byte for byte as the folder search gives them.
using NameList = std::vector<std::string>;

// The console's line end: a newline, then a flush. The driver buffers both
// console streams fully, so each line reaches the console in one write (the
// runtime may fail on half a two-byte character), and before anything slow.
std::ostream& line_end(std::ostream& stream);

// The offset of the last c in s that stands as a character of its own, or
// npos. A byte that is the second half of a two-byte character in the
// current locale (GBK's second bytes include "\" and "_") is not a match:
// under a double-byte code page, a lead byte and the byte after it are one.
std::size_t find_last_char(const std::string& s, char c);
