// segment_name_less is a strict weak ordering on any three names.
#include <cstdlib>
#include <string>

#include "catalogue/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  // Three names, separated by NUL bytes, which no file name holds.
  std::string n[3];
  int i = 0;
  for (std::size_t k = 0; k < size && i < 3; ++k) {
    if (data[k] == 0)
      ++i;
    else
      n[i] += static_cast<char>(data[k]);
  }
  const auto less = segment_name_less;
  const auto same = [&](int x, int y) { return !less(n[x], n[y]) && !less(n[y], n[x]); };
  for (int a = 0; a < 3; ++a) {
    if (less(n[a], n[a])) std::abort();
    if (same(a, (a + 1) % 3) != (n[a] == n[(a + 1) % 3])) std::abort();  // only equal names tie
    for (int b = 0; b < 3; ++b) {
      if (less(n[a], n[b]) && less(n[b], n[a])) std::abort();
      const int c = 3 - a - b;
      if (a != b && less(n[a], n[b]) && less(n[b], n[c]) && !less(n[a], n[c])) std::abort();
    }
  }
  return 0;
}
