// find_last_char agrees with GBK's lead-byte rule for which bytes start a character.
#include <clocale>
#include <cstdlib>
#include <string>

#include "common/common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::setlocale(LC_ALL, "zh_CN.GBK")) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string s(reinterpret_cast<const char*>(data + 1), size - 1);
  // A lead byte 81..FE and a byte from 40 up after it are one character.
  std::size_t expected = std::string::npos;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char lead = s[i], next = i + 1 < s.size() ? s[i + 1] : 0;
    if (lead >= 0x81 && lead <= 0xFE && next >= 0x40)
      ++i;
    else if (s[i] == static_cast<char>(data[0]))
      expected = i;
  }
  if (find_last_char(s, static_cast<char>(data[0])) != expected) std::abort();
  return 0;
}
