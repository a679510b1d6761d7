#include "joiner/joiner.h"

#include <iostream>

#include "platform/platform.h"

namespace {

bool report(const char* what, const std::string& path) {
  std::cerr << what << path << " error!" << line_end;
  return false;
}

}  // namespace

bool join_files(const std::string& output_path, const std::string& folder, const NameList& names) {
  if (names.empty() || output_path.empty()) {
    std::cerr << "parameter error!" << line_end;
    return false;
  }
  platform::file out;
  if (!platform::open_for_appending(output_path, &out)) return report("open file ", output_path);

  platform::copy_buffer buffer;
  std::string path = join_path(folder, "");
  const std::size_t folder_part = path.size();
  bool ok = true;
  for (const std::string& name : names) {
    path.resize(folder_part);
    path += name;
    std::cout << path << line_end;
    platform::file in;
    // A segment that is the output itself would make the join read what it writes.
    if (!platform::open_for_reading(path, &in) || platform::same_file(in, out)) {
      platform::close_file(&in);
      ok = report("open file ", path);
      break;
    }
    const platform::copy_result copied = platform::append_file(in, out, &buffer);
    platform::close_file(&in);
    if (copied == platform::copy_result::read_failed) ok = report("read file ", path);
    if (copied == platform::copy_result::write_failed) ok = report("write file ", output_path);
    if (!ok) break;
  }
  if (!platform::close_file(&out) && ok) ok = report("write file ", output_path);
  return ok;
}
