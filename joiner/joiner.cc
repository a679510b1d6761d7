#include "joiner/joiner.h"

#include <iostream>

#include "platform/platform.h"

namespace {

bool report(const char* what, const std::string& path) {
  std::cerr << what << path << " error!" << line_end;
  return false;
}

// Every segment, in order, to the end of out; false at the first failure.
bool append_all(const std::string& output_path, const std::string& folder, const NameList& names,
                const platform::file& out) {
  platform::copy_buffer buffer;
  std::string path = join_path(folder, "");
  const std::size_t folder_part = path.size();
  for (const std::string& name : names) {
    path.resize(folder_part);
    path += name;
    std::cout << path << line_end;
    platform::file in;
    // A segment that is the output itself would make the join read what it writes.
    if (!platform::open_for_reading(path, &in) || platform::same_file(in, out)) {
      platform::close_file(&in);
      return report("open file ", path);
    }
    const platform::copy_result copied = platform::append_file(in, out, &buffer);
    platform::close_file(&in);
    if (copied == platform::copy_result::read_failed) return report("read file ", path);
    if (copied == platform::copy_result::write_failed) return report("write file ", output_path);
  }
  return true;
}

}  // namespace

join_result join_files(const std::string& output_path, const std::string& folder,
                       const NameList& names, const std::string& spare_folder) {
  if (names.empty() || output_path.empty()) {
    std::cerr << "parameter error!" << line_end;
    return join_result::failed;
  }
  platform::file out;
  if (!platform::create_output(folder, spare_folder, &out)) {
    report("open file ", output_path);
    return join_result::failed;
  }
  if (!append_all(output_path, folder, names, out)) {
    platform::discard_output(&out);
    return join_result::failed;
  }
  switch (platform::publish_output(&out, folder, output_path)) {
    case platform::publish_result::published:
      return join_result::joined;
    case platform::publish_result::exists:
      return join_result::exists;
    default:
      report("write file ", output_path);
      return join_result::failed;
  }
}
