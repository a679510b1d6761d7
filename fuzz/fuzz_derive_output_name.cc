// derive_output_name stays inside the name and builds title.kind from pieces of it.
#include <clocale>
#include <cstdlib>
#include <string>

#include "catalogue/catalogue.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Two-byte characters exercise the searches' other path.
  if (!std::setlocale(LC_ALL, "zh_CN.GBK")) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  if (name.find(platform::separator) != std::string::npos) return 0;  // not a file name
  const std::string result = derive_output_name({"first", name});
  if (result.find(platform::separator) != std::string::npos) std::abort();

  // Some dot splits the result into a title that begins the name, cut at its
  // last dot, and a kind that follows the title there.
  const std::string w = name.substr(0, name.rfind('.') == std::string::npos ? 0 : name.rfind('.'));
  for (std::size_t dot = result.find('.'); dot != std::string::npos;
       dot = result.find('.', dot + 1)) {
    const std::string title = result.substr(0, dot), kind = result.substr(dot + 1);
    if (w.compare(0, title.size(), title) != 0) continue;
    for (std::size_t at : {title.size(), title.size() + 1})
      if (at <= w.size() && w.compare(at, kind.size(), kind) == 0) return 0;
  }
  std::abort();
}
