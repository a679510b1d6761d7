#include "joiner/joiner.h"

#include "platform/platform.h"

namespace {

bool report(const message& what, const std::string& path, const platform::failure& why) {
  platform::write_failure({what, path, messages::error_end}, why);
  return false;
}

// Every segment, in order, to the end of out; false at the first failure.
bool append_all(const std::string& folder, const NameList& names, const std::string& output_path,
                platform::output_file* out, platform::progress_title* progress,
                std::vector<std::uint64_t>* sizes) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string path = platform::join_path(folder, names[i]);
    platform::write_line(platform::stream::output, {path});
    platform::input_file in;
    platform::failure why;
    if (!in.open(path, &why)) return report(messages::open_file, path, why);
    // A segment that is the output itself would make the join read what it writes.
    if (out->is(in)) return report(messages::open_file, path, {0, reasons::the_output});
    sizes->push_back(in.size());
    progress->start_piece(i, in.size());
    const platform::copy_result copied = out->append(in, progress, &why);
    if (copied == platform::copy_result::read_failed) return report(messages::read_file, path, why);
    if (copied == platform::copy_result::write_failed)
      return report(messages::write_file, output_path, why);
  }
  return true;
}

}  // namespace

join_result join_files(const std::string& folder, const std::string& out_name,
                       const NameList& names, const std::string& tool_folder,
                       std::vector<std::uint64_t>* sizes) {
  const std::string output_path = platform::join_path(folder, out_name);
  std::string unusable = output_path;
  platform::output_file out;
  platform::failure why;
  if (!out.create(folder, tool_folder, &unusable, &why)) {
    report(messages::open_file, unusable, why);
    return join_result::failed;
  }
  platform::progress_title progress(out_name, names.size());
  if (!append_all(folder, names, output_path, &out, &progress, sizes)) return join_result::failed;
  // Publishing ends the run if an interruption came meanwhile.
  progress.restore();
  switch (out.publish(folder, output_path, &why)) {
    case platform::publish_result::published:
      return join_result::joined;
    case platform::publish_result::exists:
      return join_result::exists;
    default:
      report(messages::write_file, output_path, why);
      return join_result::failed;
  }
}
